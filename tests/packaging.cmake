# Installed and packaged programs start on their own. The package test
# builds every Debian package (slow): label "package", left out of the
# sanitizer passes.
set(KIVREL_INSTALLED_PROGRAMS kivrel-call robot-sim)
foreach(program Skarvel skarvel-web)
  if(TARGET ${program})
    list(APPEND KIVREL_INSTALLED_PROGRAMS ${program})
  endif()
endforeach()
set(KIVREL_MAN_PAGES OFF)
if(TARGET man_pages)
  set(KIVREL_MAN_PAGES ON)
endif()
add_test(NAME InstalledProgramsStartFromTheirOwnTree
  COMMAND ${CMAKE_COMMAND}
    -DBUILD_DIR=${PROJECT_BINARY_DIR}
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/installed-programs
    "-DPROGRAMS=${KIVREL_INSTALLED_PROGRAMS}"
    -DVERSION=${PROJECT_VERSION}
    -DBINDIR=${CMAKE_INSTALL_BINDIR}
    -DMANDIR=${CMAKE_INSTALL_MANDIR}
    -DMAN_PAGES=${KIVREL_MAN_PAGES}
    -P ${CMAKE_CURRENT_LIST_DIR}/packaging/installed_programs.cmake)
set_tests_properties(InstalledProgramsStartFromTheirOwnTree PROPERTIES LABELS install TIMEOUT 300)

find_program(KIVREL_DPKG_DEB dpkg-deb)
if(KIVREL_DPKG_DEB AND TARGET Skarvel)
  add_test(NAME DebianPackagesHoldTheirFilesAndStart
    COMMAND ${CMAKE_COMMAND}
      -DBUILD_DIR=${PROJECT_BINARY_DIR}
      -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/packages
      -DCPACK=${CMAKE_CPACK_COMMAND}
      -DVERSION=${PROJECT_VERSION}
      -DSOVERSION=${PROJECT_VERSION_MAJOR}
      -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
      -P ${CMAKE_CURRENT_LIST_DIR}/packaging/packages.cmake)
  set_tests_properties(DebianPackagesHoldTheirFilesAndStart PROPERTIES LABELS package TIMEOUT 300)
endif()

add_test(NAME EveryScriptAnswersHelpWithoutWorking
  COMMAND ${CMAKE_COMMAND}
    -DSCRIPTS_DIR=${PROJECT_SOURCE_DIR}/scripts
    -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/scripts-help
    -P ${CMAKE_CURRENT_LIST_DIR}/packaging/scripts_help.cmake)
set_tests_properties(EveryScriptAnswersHelpWithoutWorking PROPERTIES LABELS install TIMEOUT 120)
