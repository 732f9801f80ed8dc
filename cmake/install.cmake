# One self-contained folder: the program, its icon, its desktop entry. The
# program keeps name.txt beside itself, so the folder must stay writable.
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
