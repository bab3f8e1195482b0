# The rooms of src/ include one way: run drives copy, copy uses report and
# platform, report uses platform. A file that includes a room above its own
# fails this check, naming the file and the include. The one door upward is
# the platform's process entry, which hands the command line to the run.
#   cmake -DSOURCE_DIR=<src> -P rooms_check.cmake
set(above_copy run)
set(above_report run copy)
set(above_platform run copy report)
set(faults "")
foreach(room copy report platform)
  file(GLOB_RECURSE files ${SOURCE_DIR}/${room}/*.h ${SOURCE_DIR}/${room}/*.cpp)
  foreach(file ${files})
    if(room STREQUAL "platform" AND file MATCHES "/entry\\.cpp$")
      continue()
    endif()
    file(STRINGS ${file} includes REGEX "^#include \"")
    foreach(line ${includes})
      foreach(upper ${above_${room}})
        if(line MATCHES "\"(\\.\\./)+${upper}/")
          list(APPEND faults "${file}: ${line}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endforeach()
if(faults)
  list(JOIN faults "\n" text)
  message(FATAL_ERROR "includes from a room above:\n${text}")
endif()
