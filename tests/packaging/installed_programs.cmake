cmake_minimum_required(VERSION 3.25)
# Installs the build tree into WORK_DIR/prefix, moves the tree elsewhere and
# runs every installed program's --version with an empty environment: they
# find the installed libraries through their relative run path alone.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
# Wherever the tree is put, it works the same.
file(RENAME ${WORK_DIR}/prefix ${WORK_DIR}/moved)
set(prefix ${WORK_DIR}/moved)

foreach(program ${PROGRAMS})
  set(path ${prefix}/${BINDIR}/${program})
  if(NOT EXISTS ${path})
    message(FATAL_ERROR "not installed: ${BINDIR}/${program}")
  endif()
  execute_process(COMMAND env -i ${path} --version
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc OR NOT out STREQUAL "${program} (kivrel) ${VERSION}\n")
    message(FATAL_ERROR "installed ${program} --version: status ${rc}, said '${out}' '${err}'")
  endif()
  if(MAN_PAGES AND NOT EXISTS ${prefix}/${MANDIR}/man1/${program}.1.gz)
    message(FATAL_ERROR "no man page ${MANDIR}/man1/${program}.1.gz")
  endif()
endforeach()
message(STATUS "installed programs start: ${PROGRAMS}")
