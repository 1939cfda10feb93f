# Installs the build tree into WORK_DIR/prefix, then builds the consumers
# twice: through find_package(kivrel) and through pkg-config; and the
# examples' project (EXAMPLES_DIR) as a user would build it.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "install failed")
endif()
foreach(f include/kivrel.h include/kivrel.hpp include/kivrel_host.h lib/libkivrel.so
    lib/libkivrel-host.so lib/pkgconfig/kivrel.pc lib/pkgconfig/kivrel-host.pc
    lib/cmake/kivrel/kivrelConfig.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "missing from the installed tree: ${f}")
  endif()
endforeach()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cm -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "configuring the find_package consumer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/cm RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the find_package consumer failed")
endif()
foreach(exe consumer host_consumer)
  execute_process(COMMAND ${WORK_DIR}/cm/${exe} RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "the find_package consumer ${exe} failed: ${rc}")
  endif()
endforeach()

set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs kivrel OUTPUT_VARIABLE flags
  RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(rc)
  message(FATAL_ERROR "pkg-config does not know kivrel")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND cc ${SOURCE_DIR}/main.c ${flags} -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/pc-consumer
  RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the pkg-config consumer failed")
endif()
execute_process(COMMAND ${WORK_DIR}/pc-consumer RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the pkg-config consumer failed: ${rc}")
endif()

execute_process(COMMAND pkg-config --cflags --libs kivrel-host OUTPUT_VARIABLE flags
  RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(rc)
  message(FATAL_ERROR "pkg-config does not know kivrel-host")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND cc ${SOURCE_DIR}/host_main.c ${flags} -Wl,-rpath,${prefix}/lib
  -o ${WORK_DIR}/pc-host-consumer RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the pkg-config host consumer failed")
endif()
execute_process(COMMAND ${WORK_DIR}/pc-host-consumer RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the pkg-config host consumer failed: ${rc}")
endif()

execute_process(COMMAND ${CMAKE_COMMAND} -S ${EXAMPLES_DIR} -B ${WORK_DIR}/examples -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "configuring the examples against the installed tree failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/examples RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "building the examples against the installed tree failed")
endif()
# Without arguments the client only prints its usage (status 2): it runs.
execute_process(COMMAND ${WORK_DIR}/examples/add_client RESULT_VARIABLE rc ERROR_QUIET)
if(NOT rc EQUAL 2)
  message(FATAL_ERROR "the installed-tree add_client did not run: ${rc}")
endif()
