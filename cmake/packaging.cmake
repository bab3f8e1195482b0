# Installing and packaging. `cmake --install` puts the program, its manual
# page and the README in place; `cpack` makes the zip of the Windows build.
# The Debian package is made by debhelper from debian/ (`make package`).
include(GNUInstallDirs)

if(WIN32)
  # A zip holds velmox.exe, the README, the nightly task's script, job and
  # installer, and a scheduled task to import by hand.
  install(TARGETS velmox RUNTIME DESTINATION .)
  install(FILES README.md packaging/windows/velmox-nightly.xml packaging/windows/install-task.cmd
                packaging/windows/velmox-task.cmd packaging/windows/velmox-job.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velmox-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # The zip takes velmox.exe stripped (its debug sections are most of its
  # size; `make package` keeps them beside it as velmox.exe.debug), and
  # packing builds nothing more than the program it ships.
  set(CPACK_STRIP_FILES ON)
  set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
else()
  install(TARGETS velmox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/velmox.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
set(CPACK_PACKAGE_NAME velmox)
set(CPACK_PACKAGE_VENDOR Velmox)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Copies a directory tree with the rights of a backup operator")
include(CPack)
