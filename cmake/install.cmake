# One self-contained folder: the program, its icon, its desktop entry. The
# program keeps name.txt beside itself, so the folder must stay writable.
install(TARGETS relay-panel RUNTIME DESTINATION .)
if(TARGET relayctl)
    install(TARGETS relayctl RUNTIME DESTINATION .)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/ui/icons/relay-panel.png DESTINATION .)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/install-desktop-entry.sh DESTINATION .)
install(CODE "set(RELAY_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")")
install(CODE [[
    set(RELAY_DIR "${CMAKE_INSTALL_PREFIX}")
    configure_file("${RELAY_SOURCE_DIR}/packaging/relay-panel.desktop.in"
                   "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/relay-panel.desktop" @ONLY)
    message(STATUS "Installing: $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/relay-panel.desktop")
]])

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME relay-panel)
set(CPACK_PACKAGE_VENDOR "relay-panel")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Control panel for a 16-channel serial relay board")
set(CPACK_PACKAGE_FILE_NAME "relay-panel-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
