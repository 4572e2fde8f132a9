# Install directories. On a multiarch system (Debian and its kind) the library
# goes to lib/<triplet>, as the distribution's own libraries do, whatever the
# prefix: GNUInstallDirs picks the triplet only for the prefix /usr, and the
# packages are installed under /usr by CPack from a build configured for
# /usr/local. Decided once per build directory: a CMAKE_INSTALL_LIBDIR given on
# the command line wins, and so does a later change of the cached value; a
# "lib" that GNUInstallDirs cached before this rule existed is replaced.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE AND NOT VELD_LIBDIR_CHOSEN)
  get_property(libdir_help CACHE CMAKE_INSTALL_LIBDIR PROPERTY HELPSTRING)
  if(NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR}
     OR (CMAKE_INSTALL_LIBDIR STREQUAL "lib" AND libdir_help MATCHES "^Object code libraries"))
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
      "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE})" FORCE)
  endif()
  set(VELD_LIBDIR_CHOSEN ON CACHE INTERNAL "the library directory has been chosen")
endif()
include(GNUInstallDirs)
