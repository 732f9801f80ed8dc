# Two layouts. "folder" (the default, scripts/install and the tarball): one
# self-contained folder with the program, its icon and its desktop entry; the
# panel keeps name.txt beside itself, so the folder stays writable. "system"
# (the Debian packages, scripts/package): the usual places under the prefix,
# the service's unit and configuration included; the panel then keeps name.txt
# in the user's own folder (names/name_location.h).
set(RELAY_INSTALL_LAYOUT folder CACHE STRING "folder (one folder of its own) or system")
set_property(CACHE RELAY_INSTALL_LAYOUT PROPERTY STRINGS folder system)

if(RELAY_INSTALL_LAYOUT STREQUAL "system")
    include(GNUInstallDirs)
    install(TARGETS relay-panel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    foreach(tool relayctl relay-board-sim)
        install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endforeach()
    # A daemon, and --add-user is for the administrator.
    install(TARGETS relayd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    install(FILES ${CMAKE_SOURCE_DIR}/ui/icons/relay-panel.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)
    set(RELAY_EXEC relay-panel)
    set(RELAY_ICON relay-panel)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/relay-panel.desktop.in
                   ${CMAKE_BINARY_DIR}/relay-panel.desktop @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/relay-panel.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    configure_file(${CMAKE_SOURCE_DIR}/packaging/relayd.service
                   ${CMAKE_BINARY_DIR}/relayd.service @ONLY)
    # Debian's systemd (252) looks in /lib; dh_installsystemd enables it there.
    install(FILES ${CMAKE_BINARY_DIR}/relayd.service DESTINATION /lib/systemd/system)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/relayd.conf
            DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/relayd)
    return()
endif()

install(TARGETS relay-panel RUNTIME DESTINATION .)
foreach(tool relayctl relayd)
    if(TARGET ${tool})
        install(TARGETS ${tool} RUNTIME DESTINATION .)
    endif()
endforeach()
if(TARGET relayd)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/relayd.conf.example DESTINATION .)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/ui/icons/relay-panel.png DESTINATION .)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/install-desktop-entry.sh DESTINATION .)
install(CODE "set(RELAY_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")")
install(CODE [[
    set(RELAY_DIR "${CMAKE_INSTALL_PREFIX}")
    set(RELAY_EXEC "\"${RELAY_DIR}/relay-panel\"")
    set(RELAY_PATH "Path=${RELAY_DIR}")
    set(RELAY_ICON "${RELAY_DIR}/relay-panel.png")
    configure_file("${RELAY_SOURCE_DIR}/packaging/relay-panel.desktop.in"
                   "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/relay-panel.desktop" @ONLY)
    message(STATUS "Installing: $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/relay-panel.desktop")
    if(EXISTS "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/relayd")
        # The service runs as whoever installed it, never as root by default.
        set(RELAY_USER "$ENV{USER}")
        if(RELAY_USER STREQUAL "" OR RELAY_USER STREQUAL "root")
            set(RELAY_USER "relay")
        endif()
        configure_file("${RELAY_SOURCE_DIR}/packaging/relayd.service.in"
                       "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/relayd.service" @ONLY)
        message(STATUS "Installing: $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/relayd.service")
    endif()
]])

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME relay-panel)
set(CPACK_PACKAGE_VENDOR "relay-panel")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control panel for a 16-channel serial relay board")
set(CPACK_PACKAGE_FILE_NAME "relay-panel-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
