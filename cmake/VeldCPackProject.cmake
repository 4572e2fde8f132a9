# Read by cpack: the shared library's package gets its dependencies from
# dpkg-shlibdeps, as the other packages do through CPack, but without CPack's
# ldconfig maintainer scripts (see VeldPackaging.cmake).
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_VELD_LIBRARY)
  find_program(VELD_SHLIBDEPS dpkg-shlibdeps)
  if(NOT VELD_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps not found: install the Debian package 'dpkg-dev'")
  endif()
  set(scratch ${CPACK_PACKAGE_DIRECTORY}/_shlibdeps)
  file(MAKE_DIRECTORY ${scratch}/debian)
  file(WRITE ${scratch}/debian/control "")
  execute_process(COMMAND ${VELD_SHLIBDEPS} -O ${CPACK_VELD_LIBRARY}
    WORKING_DIRECTORY ${scratch}
    OUTPUT_VARIABLE shlibdeps ERROR_VARIABLE shlibdeps_error RESULT_VARIABLE status
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REMOVE_RECURSE ${scratch})
  if(NOT status EQUAL 0 OR NOT shlibdeps MATCHES "shlibs:Depends=(.+)")
    message(FATAL_ERROR "dpkg-shlibdeps failed on ${CPACK_VELD_LIBRARY}: ${shlibdeps_error}")
  endif()
  set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
