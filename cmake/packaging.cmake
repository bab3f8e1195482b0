# Installing and packaging. `cmake --install` puts the program, its manual
# page and the README in place; `cpack` makes a .deb of the Linux build and a
# zip of the Windows build.
include(GNUInstallDirs)

if(WIN32)
  # A zip holds velmox.exe and the README side by side.
  install(TARGETS velmox RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velmox-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS velmox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/velmox.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The package grants the capabilities to the installed program and lets
  # only root and the members of the group velmox run it (see postinst).
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libcap2, libcap2-bin, adduser")
  if(NOT VELMOX_STATIC_CXX_RUNTIME)
    string(PREPEND CPACK_DEBIAN_PACKAGE_DEPENDS "libstdc++6 (>= 12), libgcc-s1, ")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
set(CPACK_PACKAGE_NAME velmox)
set(CPACK_PACKAGE_VENDOR Velmox)
set(CPACK_PACKAGE_CONTACT "Velmox developers <velmox@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Copies a directory tree with the rights of a backup operator")
include(CPack)
