cmake_minimum_required(VERSION 3.25)
# Builds the Debian packages from the build tree with CPack, checks each
# one's files and dependencies with dpkg-deb, unpacks them all into one
# tree and starts every program there with an empty environment.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/out
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc)
  message(FATAL_ERROR "cpack failed:\n${out}\n${err}")
endif()

# name -> files it must hold (paths after ./usr/), dependencies it must name
set(lib ${LIBDIR})
set(libkivrel1_files "${lib}/libkivrel.so.1" "${lib}/libkivrel-host.so.1")
set(libkivrel1_depends "libc6" "libxml2")
set(libkivrel1_not "${lib}/libkivrel.so" "include/kivrel.h")
set(libkivrel-dev_files "include/kivrel.h" "include/kivrel_host.h" "${lib}/libkivrel.so"
  "${lib}/libkivrel-host.so" "${lib}/pkgconfig/kivrel.pc" "${lib}/pkgconfig/kivrel-host.pc"
  "${lib}/cmake/kivrel/kivrelConfig.cmake" "${lib}/cmake/kivrel/kivrelTargets.cmake")
set(libkivrel-dev_depends "libkivrel1 (= ${VERSION})" "libxml2-dev")
set(libkivrel-dev_not "${lib}/libkivrel.so.1")
set(kivrel-tools_files "bin/kivrel-call" "bin/robot-sim" "share/man/man1/kivrel-call.1.gz"
  "share/man/man1/robot-sim.1.gz")
set(kivrel-tools_depends "libkivrel1 (= ${VERSION})" "libc6" "libqt6widgets6")
set(kivrel-tools_not "bin/robot-sim-load" "bin/Skarvel" "bin/skarvel-web")
set(skarvel_files "bin/Skarvel" "share/applications/skarvel.desktop"
  "share/icons/hicolor/16x16/apps/skarvel.png" "share/icons/hicolor/32x32/apps/skarvel.png"
  "share/man/man1/Skarvel.1.gz" "bin/skarvel-web" "share/man/man1/skarvel-web.1.gz")
set(skarvel_depends "libkivrel1 (= ${VERSION})" "libc6" "libqt6widgets6")
set(skarvel_not "bin/kivrel-call")

set(seen)
foreach(package libkivrel1 libkivrel-dev kivrel-tools skarvel)
  file(GLOB deb ${WORK_DIR}/out/${package}_${VERSION}_*.deb)
  list(LENGTH deb found)
  if(NOT found EQUAL 1)
    message(FATAL_ERROR "expected one ${package}_${VERSION}_*.deb, found '${deb}'")
  endif()
  execute_process(COMMAND dpkg-deb -f ${deb} Package Version Depends
    RESULT_VARIABLE rc OUTPUT_VARIABLE fields)
  execute_process(COMMAND dpkg-deb -c ${deb} RESULT_VARIABLE rc2 OUTPUT_VARIABLE listing)
  if(rc OR rc2)
    message(FATAL_ERROR "dpkg-deb cannot read ${deb}")
  endif()
  if(NOT fields MATCHES "Package: ${package}\nVersion: ${VERSION}\n")
    message(FATAL_ERROR "${package}: control fields are\n${fields}")
  endif()
  string(REGEX MATCH "Depends: [^\n]*" depends "${fields}")
  foreach(d ${${package}_depends})
    string(FIND "${depends}" "${d}" at)
    if(at LESS 0)
      message(FATAL_ERROR "${package} does not depend on '${d}': ${depends}")
    endif()
  endforeach()
  # dpkg-deb -c lists "mode owner size date time ./path"; keep the files.
  string(REGEX MATCHALL "\\./usr/[^\n]*[^/\n]\n" paths "${listing}")
  list(TRANSFORM paths REPLACE "^\\./usr/([^\n]*)\n$" "\\1")
  list(TRANSFORM paths REPLACE " -> .*$" "")
  foreach(f ${${package}_files})
    if(NOT f IN_LIST paths)
      message(FATAL_ERROR "${package} lacks ${f}; it holds:\n${listing}")
    endif()
  endforeach()
  foreach(f ${${package}_not})
    if(f IN_LIST paths)
      message(FATAL_ERROR "${package} holds ${f}, which belongs elsewhere")
    endif()
  endforeach()
  foreach(f ${paths})
    if(f IN_LIST seen)
      message(FATAL_ERROR "${f} is in two packages")
    endif()
  endforeach()
  list(APPEND seen ${paths})
  execute_process(COMMAND dpkg-deb -x ${deb} ${WORK_DIR}/root RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "cannot unpack ${deb}")
  endif()
  file(SIZE ${deb} size)
  message(STATUS "${package}: ${size} bytes, ${depends}")
endforeach()

# Programs built elsewhere against the library get their dependency from
# its shlibs file.
file(GLOB deb ${WORK_DIR}/out/libkivrel1_${VERSION}_*.deb)
execute_process(COMMAND dpkg-deb --ctrl-tarfile ${deb} COMMAND tar -xO ./shlibs
  RESULT_VARIABLE rc OUTPUT_VARIABLE shlibs)
if(rc OR NOT shlibs MATCHES "(^|\n)libkivrel ${SOVERSION} libkivrel1 \\(>= ${VERSION}\\)"
   OR NOT shlibs MATCHES "(^|\n)libkivrel-host ${SOVERSION} libkivrel1 \\(>= ${VERSION}\\)")
  message(FATAL_ERROR "libkivrel1's shlibs file is '${shlibs}'")
endif()

# Every installed file belongs to a package.
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component Unspecified
  --prefix ${WORK_DIR}/unspecified OUTPUT_QUIET)
file(GLOB_RECURSE stray ${WORK_DIR}/unspecified/*)
if(stray)
  message(FATAL_ERROR "installed without a package (no COMPONENT): ${stray}")
endif()

foreach(program kivrel-call robot-sim Skarvel skarvel-web)
  execute_process(COMMAND env -i ${WORK_DIR}/root/usr/bin/${program} --version
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc OR NOT out STREQUAL "${program} (kivrel) ${VERSION}\n")
    message(FATAL_ERROR "unpacked ${program} --version: status ${rc}, said '${out}' '${err}'")
  endif()
endforeach()
