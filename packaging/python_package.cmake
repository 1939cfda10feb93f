# Builds the Python package's wheel offline with the system's setuptools and
# unpacks it into OUT_DIR, the tree that goes to dist-packages unchanged (the
# package's files and its kivrel-VERSION.dist-info, as Debian's own Python
# packages hold them). Works on a copy, so that the build leaves nothing in
# the source tree; the copy follows kivrel/VERSION, a link to the project's
# VERSION.
#   cmake -DPYTHON=... -DSOURCE_DIR=python -DWORK_DIR=... -DOUT_DIR=... -P python_package.cmake
file(REMOVE_RECURSE ${WORK_DIR} ${OUT_DIR})
file(GLOB files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/pyproject.toml ${SOURCE_DIR}/README.md
  ${SOURCE_DIR}/kivrel/*.py ${SOURCE_DIR}/kivrel/py.typed ${SOURCE_DIR}/kivrel/VERSION)
foreach(f ${files})
  configure_file(${SOURCE_DIR}/${f} ${WORK_DIR}/src/${f} COPYONLY)
endforeach()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1
    ${PYTHON} -m pip wheel --quiet --no-cache-dir --no-build-isolation --no-index --no-deps
    --wheel-dir ${WORK_DIR}/wheel ${WORK_DIR}/src
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB wheel ${WORK_DIR}/wheel/*.whl)
if(rc OR NOT wheel)
  message(FATAL_ERROR "the Python package's wheel failed to build:\n${out}\n${err}")
endif()
file(ARCHIVE_EXTRACT INPUT ${wheel} DESTINATION ${OUT_DIR})
