# CPack run after the packages are built (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package holding shared libraries a postinst and a postrm that
# call ldconfig. Our library package has its ldconfig trigger instead, as
# Debian's own library packages do, and must have no postrm: dpkg keeps a
# removed package with a postrm in state "rc" until it is purged. So the
# library package is taken apart and put together again without the two.
foreach(deb ${CPACK_PACKAGE_FILES})
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^libkivrel[0-9]+_")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "cannot take apart ${deb}")
  endif()
  if(NOT EXISTS ${tree}/DEBIAN/triggers)
    message(FATAL_ERROR "${name} has no ldconfig trigger")
  endif()
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb}
    RESULT_VARIABLE rc OUTPUT_QUIET)
  file(REMOVE_RECURSE ${tree})
  if(rc)
    message(FATAL_ERROR "cannot put together ${deb}")
  endif()
endforeach()
