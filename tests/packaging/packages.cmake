cmake_minimum_required(VERSION 3.25)
# Builds the Debian packages from the build tree with CPack, checks each
# one's files, dependencies and Debian documents with dpkg-deb, lets lintian
# judge them, unpacks them all into one tree and starts every program there
# with an empty environment, reads its man pages and imports the Python
# package.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/out
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc)
  message(FATAL_ERROR "cpack failed:\n${out}\n${err}")
endif()

set(deb_version ${VERSION}-${DEBIAN_REVISION})
set(packages libkivrel1 libkivrel-dev kivrel-tools skarvel python3-kivrel)
# name -> files it must hold (paths after ./usr/), dependencies it must name
set(lib ${LIBDIR})
set(py lib/python3/dist-packages)
set(libkivrel1_files "${lib}/libkivrel.so.1" "${lib}/libkivrel-host.so.1")
set(libkivrel1_depends "libc6" "libxml2")
set(libkivrel1_not "${lib}/libkivrel.so" "include/kivrel.h")
set(libkivrel-dev_files "include/kivrel.h" "include/kivrel_host.h" "${lib}/libkivrel.so"
  "${lib}/libkivrel-host.so" "${lib}/pkgconfig/kivrel.pc" "${lib}/pkgconfig/kivrel-host.pc"
  "${lib}/cmake/kivrel/kivrelConfig.cmake" "${lib}/cmake/kivrel/kivrelTargets.cmake")
set(libkivrel-dev_depends "libkivrel1 (= ${deb_version})" "libxml2-dev")
set(libkivrel-dev_not "${lib}/libkivrel.so.1")
set(kivrel-tools_files "bin/kivrel-call" "bin/robot-sim" "share/man/man1/kivrel-call.1.gz"
  "share/man/man1/robot-sim.1.gz" "share/man/man7/kivrel-robot.7.gz")
set(kivrel-tools_depends "libkivrel1 (= ${deb_version})" "libc6" "libqt6widgets6")
set(kivrel-tools_not "bin/robot-sim-load" "bin/Skarvel" "bin/skarvel-web")
set(skarvel_files "bin/Skarvel" "share/applications/skarvel.desktop" "share/man/man1/Skarvel.1.gz"
  "bin/skarvel-web" "share/man/man1/skarvel-web.1.gz")
foreach(size 16 22 24 32 48 64 128 256)
  list(APPEND skarvel_files "share/icons/hicolor/${size}x${size}/apps/skarvel.png")
endforeach()
set(skarvel_depends "libkivrel1 (= ${deb_version})" "libc6" "libqt6widgets6")
set(skarvel_not "bin/kivrel-call")
set(python3-kivrel_files "${py}/kivrel/__init__.py" "${py}/kivrel/robot.py" "${py}/kivrel/py.typed"
  "${py}/kivrel/VERSION" "${py}/kivrel-${VERSION}.dist-info/METADATA")
set(python3-kivrel_depends "python3 (>= 3.11)")
set(python3-kivrel_not "bin/kivrel-call" "${lib}/libkivrel.so.1")
# What Debian wants of every package.
foreach(package ${packages})
  list(APPEND ${package}_files "share/doc/${package}/copyright"
    "share/doc/${package}/changelog.Debian.gz" "share/doc/${package}/changelog.gz")
endforeach()

set(seen)
set(debs)
foreach(package ${packages})
  file(GLOB deb ${WORK_DIR}/out/${package}_${deb_version}_*.deb)
  list(LENGTH deb found)
  if(NOT found EQUAL 1)
    message(FATAL_ERROR "expected one ${package}_${deb_version}_*.deb, found '${deb}'")
  endif()
  list(APPEND debs ${deb})
  if(package STREQUAL "libkivrel1")
    set(lib_deb ${deb})
  endif()
  execute_process(COMMAND dpkg-deb -f ${deb} Package Version Depends
    RESULT_VARIABLE rc OUTPUT_VARIABLE fields)
  execute_process(COMMAND dpkg-deb -c ${deb} RESULT_VARIABLE rc2 OUTPUT_VARIABLE listing)
  if(rc OR rc2)
    message(FATAL_ERROR "dpkg-deb cannot read ${deb}")
  endif()
  if(NOT fields MATCHES "Package: ${package}\nVersion: ${deb_version}\n")
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
  # The Debian changelog starts with this very version. No package has
  # conffiles or a postrm, so remove leaves nothing: the library package
  # has its ldconfig trigger and shlibs, the Python package compiles and
  # cleans its byte code.
  execute_process(COMMAND gzip -dc ${WORK_DIR}/root/usr/share/doc/${package}/changelog.Debian.gz
    OUTPUT_VARIABLE changelog)
  if(NOT changelog MATCHES "^${package} \\(${deb_version}\\) ")
    message(FATAL_ERROR "${package}'s changelog.Debian does not start with ${deb_version}")
  endif()
  execute_process(COMMAND dpkg-deb --ctrl-tarfile ${deb} COMMAND tar -t OUTPUT_VARIABLE control)
  string(REGEX REPLACE "\\./(control|md5sums)?\n" "" control "${control}")
  if(package STREQUAL "libkivrel1")
    set(expected "./shlibs\n./triggers\n")
  elseif(package STREQUAL "python3-kivrel")
    set(expected "./postinst\n./prerm\n")
  else()
    set(expected "")
  endif()
  if(NOT control STREQUAL expected)
    message(FATAL_ERROR "${package}'s further control files are '${control}', not '${expected}'")
  endif()
  file(SIZE ${deb} size)
  message(STATUS "${package}: ${size} bytes, ${depends}")
endforeach()

execute_process(COMMAND dpkg-deb --ctrl-tarfile ${lib_deb} COMMAND tar -xO ./triggers OUTPUT_VARIABLE triggers)
if(NOT triggers STREQUAL "activate-noawait ldconfig\n")
  message(FATAL_ERROR "libkivrel1's triggers are '${triggers}'")
endif()

# lintian is the referee: no errors and no warnings (infos are listed with
# their reasons in packaging/lintian-notes.md). A tree configured for
# another prefix than /usr has the plain libdir, where lintian rightly
# notes that a cross-compiler's pkg-config does not look; scripts/package
# builds for /usr with the multiarch libdir.
set(suppress)
if(NOT LIBDIR MATCHES "/")
  set(suppress --suppress-tags pkg-config-unavailable-for-cross-compilation)
endif()
execute_process(COMMAND lintian --fail-on error,warning ${suppress} ${debs}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lintian (status ${rc}):\n${out}${err}")
endif()

# Programs built elsewhere against the library get their dependency from
# its shlibs file.
execute_process(COMMAND dpkg-deb --ctrl-tarfile ${lib_deb} COMMAND tar -xO ./shlibs
  RESULT_VARIABLE rc OUTPUT_VARIABLE shlibs)
if(rc OR NOT shlibs MATCHES "(^|\n)libkivrel ${SOVERSION} libkivrel1 \\(>= ${deb_version}\\)"
   OR NOT shlibs MATCHES "(^|\n)libkivrel-host ${SOVERSION} libkivrel1 \\(>= ${deb_version}\\)")
  message(FATAL_ERROR "libkivrel1's shlibs file is '${shlibs}'")
endif()

# Every installed file belongs to a package.
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component Unspecified
  --prefix ${WORK_DIR}/unspecified OUTPUT_QUIET)
file(GLOB_RECURSE stray ${WORK_DIR}/unspecified/*)
if(stray)
  message(FATAL_ERROR "installed without a package (no COMPONENT): ${stray}")
endif()

# Every packaged program (the file lists above name the three known ones)
# starts, says the project's version and has its man page.
file(GLOB programs RELATIVE ${WORK_DIR}/root/usr/bin ${WORK_DIR}/root/usr/bin/*)
foreach(program ${programs})
  execute_process(COMMAND env -i ${WORK_DIR}/root/usr/bin/${program} --version
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc OR NOT out STREQUAL "${program} (kivrel) ${VERSION}\n")
    message(FATAL_ERROR "unpacked ${program} --version: status ${rc}, said '${out}' '${err}'")
  endif()
  if(NOT EXISTS ${WORK_DIR}/root/usr/share/man/man1/${program}.1.gz)
    message(FATAL_ERROR "packaged ${program} has no man page")
  endif()
endforeach()

# The man pages render without a warning, none names itself under SEE ALSO,
# and every option of a program's page has its description beside it
# (help2man writes .HP for an option whose description it did not find).
file(GLOB pages ${WORK_DIR}/root/usr/share/man/man*/*.gz)
list(LENGTH pages count)
if(count LESS 4)
  message(FATAL_ERROR "only ${count} man pages: ${pages}")
endif()
foreach(page ${pages})
  execute_process(COMMAND env MANWIDTH=80 man --warnings -l ${page}
    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE warnings)
  execute_process(COMMAND gzip -dc ${page} OUTPUT_VARIABLE source)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "\\.([0-9])\\.gz$" "" name "${name}")
  string(REGEX REPLACE ".*\n\\.SH \"?SEE ALSO\"?\n" "" see_also "${source}")
  string(REGEX REPLACE "\n\\.SH .*" "" see_also "${see_also}")
  if(rc OR warnings OR see_also STREQUAL source OR see_also MATCHES "B[R]? ${name} \\("
     OR source MATCHES "\n\\.HP\n")
    message(FATAL_ERROR "man page ${name}: status ${rc}, warnings '${warnings}', "
      "SEE ALSO '${see_also}'")
  endif()
endforeach()

# The Python package imports from the unpacked tree, with its version.
execute_process(COMMAND env -i PYTHONPATH=${WORK_DIR}/root/usr/${py} PYTHONDONTWRITEBYTECODE=1
  ${PYTHON} -c "import kivrel, kivrel.robot; print(kivrel.__version__, kivrel.__file__)"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc OR NOT out STREQUAL "${VERSION} ${WORK_DIR}/root/usr/${py}/kivrel/__init__.py\n")
  message(FATAL_ERROR "import kivrel from the unpacked tree: status ${rc}, said '${out}' '${err}'")
endif()
