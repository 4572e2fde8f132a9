# Install directories. On a multiarch system (Debian and its kind) the library
# goes to lib/<triplet>, as the distribution's own libraries do, whatever the
# prefix: GNUInstallDirs picks the triplet only for the prefix /usr, and the
# packages are installed under /usr by CPack from a build configured for
# /usr/local. Set once per build directory; -DCMAKE_INSTALL_LIBDIR=... still wins.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE AND NOT VELD_LIBDIR_CHOSEN)
  if(NOT DEFINED CMAKE_INSTALL_LIBDIR OR CMAKE_INSTALL_LIBDIR STREQUAL "lib")
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
      "Object code libraries (lib/<multiarch triplet>)" FORCE)
  endif()
  set(VELD_LIBDIR_CHOSEN ON CACHE INTERNAL "the multiarch library directory has been chosen")
endif()
include(GNUInstallDirs)
