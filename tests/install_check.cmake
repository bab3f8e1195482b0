# Installs the build into a fresh prefix and checks what a user gets: the
# program, the README and a manual page that renders.
#   cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(file bin/velmox share/man/man1/velmox.1 share/doc/velmox/README.md)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
find_program(MAN man)
if(MAN)
  execute_process(COMMAND ${MAN} -l ${PREFIX}/share/man/man1/velmox.1 OUTPUT_VARIABLE page
                  ERROR_VARIABLE warnings RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT page MATCHES "SYNOPSIS" OR NOT page MATCHES "EXIT STATUS")
    message(FATAL_ERROR "the manual page does not render: ${warnings}")
  endif()
endif()
file(REMOVE_RECURSE ${PREFIX})
