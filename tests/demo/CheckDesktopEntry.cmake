# The desktop entry and the firmware file type, checked as the desktop reads
# them: both entries validate, the application's entry opens a file given
# to it (%f) and declares the type that the shared-mime-info file defines
# for "*.mot", and that file builds a MIME database that maps "*.mot" to it.
#
#   cmake -DPACKAGING_DIR=... -DWORK_DIR=... -P CheckDesktopEntry.cmake
find_program(VALIDATE desktop-file-validate REQUIRED)
find_program(UPDATE_MIME update-mime-database REQUIRED)

foreach(entry velmoraupgrade.desktop velmoraupgrade-demo.desktop)
  execute_process(COMMAND ${VALIDATE} ${PACKAGING_DIR}/${entry}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR out MATCHES "error:" OR err MATCHES "error:")
    message(FATAL_ERROR "${entry} does not validate:\n${out}${err}")
  endif()
endforeach()

file(STRINGS ${PACKAGING_DIR}/velmoraupgrade.desktop lines)
set(exec "")
set(mime "")
foreach(l ${lines})
  if(l MATCHES "^Exec=(.*)$")
    set(exec "${CMAKE_MATCH_1}")
  elseif(l MATCHES "^MimeType=(.*)$")
    set(mime "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT exec STREQUAL "VelmoraUpgrade %f")
  message(FATAL_ERROR "Exec is \"${exec}\", not \"VelmoraUpgrade %f\"")
endif()

file(READ ${PACKAGING_DIR}/velmoraupgrade-mime.xml xml)
if(NOT xml MATCHES "<mime-type type=\"([^\"]+)\">")
  message(FATAL_ERROR "velmoraupgrade-mime.xml defines no type")
endif()
set(type "${CMAKE_MATCH_1}")
if(NOT mime STREQUAL "${type};")
  message(FATAL_ERROR "MimeType is \"${mime}\", the type defined is \"${type}\"")
endif()

set(db ${WORK_DIR}/mime)
file(REMOVE_RECURSE ${db})
file(MAKE_DIRECTORY ${db}/packages)
configure_file(${PACKAGING_DIR}/velmoraupgrade-mime.xml ${db}/packages/velmoraupgrade.xml COPYONLY)
execute_process(COMMAND ${UPDATE_MIME} ${db} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "update-mime-database refuses velmoraupgrade-mime.xml:\n${err}")
endif()
file(STRINGS ${db}/globs2 globs REGEX "\\*\\.mot$")
if(NOT globs MATCHES ":${type}:\\*\\.mot")
  message(FATAL_ERROR "*.mot is not given the type ${type}: ${globs}")
endif()
message(STATUS "desktop entries, Exec=${exec}, MimeType=${mime}: *.mot -> ${type}")
