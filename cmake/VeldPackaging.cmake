# Debian packages made by CPack (`make package`), one per install component:
#   libveld0       lib      the shared library
#   libveld-dev    dev      headers, CMake package, veld.pc, the libveld.so link
#   veld           program  the program and its man page
#   python3-veld   python   the Python module
# The packages install under /usr; the library's own dependencies are found
# by dpkg-shlibdeps, the others depend on libveld0 of the same version.

include(GNUInstallDirs)

# The man page, from the program's help texts.
find_program(VELD_HELP2MAN help2man)
if(VELD_HELP2MAN AND TARGET veld_cli)
  set(VELD_MAN_PAGE ${CMAKE_BINARY_DIR}/man/veld.1.gz)
  add_custom_command(OUTPUT ${VELD_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DVELD=$<TARGET_FILE:veld_cli> -DHELP2MAN=${VELD_HELP2MAN}
      -DOUT=${VELD_MAN_PAGE} -P ${PROJECT_SOURCE_DIR}/cmake/VeldManPage.cmake
    DEPENDS veld_cli ${PROJECT_SOURCE_DIR}/cmake/VeldManPage.cmake
    COMMENT "Writing the man page veld.1 with help2man")
  add_custom_target(veld_man ALL DEPENDS ${VELD_MAN_PAGE})
  install(FILES ${VELD_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
elseif(TARGET veld_cli)
  message(STATUS "help2man not found: no man page (install the Debian package 'help2man')")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veld)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file streams for data files compressed in zlib blocks")
set(CPACK_PACKAGE_CONTACT "veld developers <veld-dev@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev program)
if(TARGET veld_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)

set(same_lib "libveld0 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libveld0)
set(CPACK_DEBIAN_LIB_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_LIB_DESCRIPTION
  "veld shared library\n The raw file, the buffered stream and the compressed stream of veld:\n data files whose case data is stored as independent zlib blocks with a\n position table, readable with random access and appendable.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libveld-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${same_lib}")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "veld development files\n Headers, the CMake package (find_package(veld), veld::veld) and the\n pkg-config file veld.pc for building against libveld.")

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME veld)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "${same_lib}, libc6, libstdc++6, libgcc-s1, zlib1g")
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION
  "pack, inspect, extract, verify and append to compressed data files\n The veld program puts the veld library to work on real files.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-veld)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "${same_lib}, python3 (>= ${VELD_PYTHON_VERSION}), python3 (<< ${VELD_PYTHON_VERSION}.99), python3-numpy, libc6, libstdc++6, libgcc-s1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-dask, python3-distributed, python3-pandas")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python module for veld data files\n veld.open (a binary file object with random access), veld.read_records\n (NumPy arrays), veld.Writer and veld.append, and veld.dask for Dask\n arrays whose chunks follow the files' blocks.")

include(CPack)

if(VELD_BUILD_TESTS AND TARGET veld_python)
  add_test(NAME veld_packages_test
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packages/check_packages.sh
      ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${VELD_PYTHON_EXECUTABLE})
  set_tests_properties(veld_packages_test PROPERTIES TIMEOUT 600)
endif()
