# Installation and the Debian packages: the headless service (component "server", package
# oskserverd) and the desktop console (component "console", package oskserver), so that a server
# without a desktop needs no GUI libraries.
include(GNUInstallDirs)

set(OSK_DOC_DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/oskserver)

install(TARGETS oskserverd oskserverctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/oskserverctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME oskserverctl COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/oskserver.sysusers
        DESTINATION lib/sysusers.d RENAME oskserver.conf COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/oskserver.tmpfiles
        DESTINATION lib/tmpfiles.d RENAME oskserver.conf COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${OSK_DOC_DESTINATION} COMPONENT server)

# The unit names the installed executable, and the prefix is only known at install time
# (cmake --install --prefix, or /usr when CPack stages the package), so it is written then.
install(CODE "
  set(OSK_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  if(NOT IS_ABSOLUTE \"\${OSK_BINDIR}\")
    set(OSK_BINDIR \"\${CMAKE_INSTALL_PREFIX}/\${OSK_BINDIR}\")
  endif()
  set(OSK_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${OSK_DOC_DESTINATION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/oskserverd.service.in\"
                 \"${PROJECT_BINARY_DIR}/packaging/oskserverd.service\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\" TYPE FILE
       FILES \"${PROJECT_BINARY_DIR}/packaging/oskserverd.service\")
" COMPONENT server)

if(TARGET oskserver)
  install(TARGETS oskserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT console)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/oskserver.desktop
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications COMPONENT console)
  foreach(size 16 32 48 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/src/shell/icons/oskserver-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps
            RENAME oskserver.png COMPONENT console)
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/src/shell/icons/oskserver.svg
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps COMPONENT console)
endif()

set(CPACK_PACKAGE_NAME oskserver)
set(CPACK_PACKAGE_VENDOR "Osk Server")
set(CPACK_PACKAGE_CONTACT "Osk Server maintainers <oskserver@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Osk Server, session server for the Osk 2.0 client programs")
set(CPACK_COMPONENTS_ALL server)
if(TARGET oskserver)
  list(APPEND CPACK_COMPONENTS_ALL console)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The package's runtime dependencies are read off the linked libraries (dpkg-shlibdeps, package
# dpkg-dev); CPackPolicy.cmake refuses to build a package without them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt opens the TLS library of the web administration's HTTPS at run time, so no linked library names it;
# the web page loads the chart library of the system's package.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "libssl3, libjs-chart.js")
set(CPACK_DEBIAN_CONSOLE_PACKAGE_DEPENDS "libssl3, libjs-chart.js")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackPolicy.cmake)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME oskserverd)
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "The headless service oskserverd, run by systemd as the system user oskserver with its program folder in /var/lib/oskserver. It needs no desktop libraries.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME oskserver)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_CONSOLE_DESCRIPTION
    "The desktop console oskserver: the session service with its main window, menus, tray icon and the database commands. It carries the whole server and runs in the desktop user's session with its own program folder.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
