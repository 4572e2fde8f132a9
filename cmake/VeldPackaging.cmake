# Debian packages made by CPack (`make package`), one per install component:
#   libveld0       lib      the shared library
#   libveld-dev    dev      headers, CMake package, veld.pc, the libveld.so link
#   veld           program  the program and its man page
#   python3-veld   python   the Python module
# The packages install under /usr and pass lintian (.ci/run checks it): each
# holds its copyright and changelog, binaries are stripped, the library
# brings its shlibs and an ldconfig trigger.

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

set(VELD_DEB_LIB libveld0)
set(VELD_DEB_DEV libveld-dev)
set(VELD_DEB_PROGRAM veld)
set(VELD_DEB_PYTHON python3-veld)
set(VELD_DEB_COMPONENTS LIB DEV PROGRAM)
if(TARGET veld_python)
  list(APPEND VELD_DEB_COMPONENTS PYTHON)
endif()

set(VELD_DEB_DIR ${PROJECT_SOURCE_DIR}/cmake/debian)
include(${PROJECT_SOURCE_DIR}/cmake/VeldChangelog.cmake)
veld_check_changelog(${VELD_DEB_DIR}/changelog ${PROJECT_VERSION})

# copyright, machine-readable, from the repository's LICENSE.
set(VELD_DEB_BUILD ${CMAKE_BINARY_DIR}/debian)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license_text}")
set(license_holder "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^MIT License\n\nCopyright[^\n]*\n\n" "" license_body "${license_text}")
string(STRIP "${license_body}" license_body)
string(REGEX REPLACE "\n\n" "\n.\n" license_body "${license_body}")
string(REGEX REPLACE "\n" "\n " license_body "${license_body}")
file(WRITE ${VELD_DEB_BUILD}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: veld\n\n"
  "Files: *\n"
  "Copyright: ${license_holder}\n"
  "License: Expat\n\n"
  "License: Expat\n ${license_body}\n")
# Debian installs changelogs compressed, without a time stamp in the gzip header.
execute_process(COMMAND gzip -9nc ${VELD_DEB_DIR}/changelog
  OUTPUT_FILE ${VELD_DEB_BUILD}/changelog.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of the Debian changelog failed (${status})")
endif()
foreach(component IN LISTS VELD_DEB_COMPONENTS)
  string(TOLOWER ${component} lower)
  install(FILES ${VELD_DEB_BUILD}/copyright ${VELD_DEB_BUILD}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VELD_DEB_${component}} COMPONENT ${lower})
endforeach()

# The library's shlibs and trigger are written here rather than by CPack,
# whose own way of adding them also puts an ldconfig call in postinst and
# postrm, which the trigger replaces.
file(WRITE ${VELD_DEB_BUILD}/shlibs "libveld 0 ${VELD_DEB_LIB} (>= ${PROJECT_VERSION})\n")
configure_file(${VELD_DEB_DIR}/triggers ${VELD_DEB_BUILD}/triggers COPYONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veld)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the veld developers")
set(CPACK_PACKAGE_CONTACT "veld developers <veld-dev@veld.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
string(TOLOWER "${VELD_DEB_COMPONENTS}" CPACK_COMPONENTS_ALL)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Each package's first description line is its own synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
# dpkg-shlibdeps finds the library of this build, which no installed package
# describes yet: the dependency on it is given by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(same_lib "${VELD_DEB_LIB} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_LIB_PACKAGE_NAME ${VELD_DEB_LIB})
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA "${VELD_DEB_BUILD}/shlibs;${VELD_DEB_BUILD}/triggers")
set(CPACK_DEBIAN_LIB_DESCRIPTION [[
compressed data file streams (shared library)
The veld library gives a data-analysis application its file streams: a
raw file with optional encipherment, a buffered stream, and a compressed
stream whose case data is stored as independent zlib blocks with a
position table, read with random access and appended to in place, with
background threads that read ahead and compress.
.
This package holds the shared library.]])

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VELD_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${same_lib}")
set(CPACK_DEBIAN_DEV_DESCRIPTION [[
compressed data file streams (development files)
The veld library gives a data-analysis application its file streams, among
them a compressed stream of independent zlib blocks with random access.
.
This package holds the headers (included as <veld/veld.h>), the CMake
package (find_package(veld), target veld::veld) and the pkg-config file
veld.pc.]])

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME ${VELD_DEB_PROGRAM})
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS "${same_lib}")
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION [[
pack, inspect, extract, verify and append to compressed data files
The veld program puts the veld library to work on data files whose case
data is stored as independent zlib blocks with a position table: it packs
a plain file, unpacks it, prints byte ranges, reports the layout, checks
every block, appends case data and recovers the blocks of a damaged file.]])

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${VELD_DEB_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "${same_lib}, python3 (>= ${VELD_PYTHON_VERSION}), python3 (<< ${VELD_PYTHON_VERSION}.99), python3-numpy")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-pandas, python3-dask, python3-distributed")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION [[
Python module for compressed data files
The veld module reads and writes data files whose case data is stored as
independent zlib blocks: veld.open gives a binary file object with random
access, veld.read_records NumPy arrays, veld.read_dataframe a pandas
DataFrame, veld.Writer and veld.append write, and veld.dask makes Dask
arrays whose chunks follow the files' blocks.]])

# The library's own dependencies, by dpkg-shlibdeps when CPack runs.
set(CPACK_VELD_LIBRARY ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libveld.so.${PROJECT_VERSION})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/VeldCPackProject.cmake)

include(CPack)

if(VELD_BUILD_TESTS)
  # A changelog whose latest entry is another version stops configuration.
  add_test(NAME veld_changelog_test
    COMMAND ${CMAKE_COMMAND} -DCHANGELOG=${VELD_DEB_DIR}/changelog -DVERSION=0.0.0-not-this
      -P ${PROJECT_SOURCE_DIR}/cmake/VeldChangelog.cmake)
  set_tests_properties(veld_changelog_test PROPERTIES
    PASS_REGULAR_EXPRESSION "does not start with an entry for[ \n]+0\\.0\\.0-not-this")
  add_test(NAME veld_changelog_current_test
    COMMAND ${CMAKE_COMMAND} -DCHANGELOG=${VELD_DEB_DIR}/changelog -DVERSION=${PROJECT_VERSION}
      -P ${PROJECT_SOURCE_DIR}/cmake/VeldChangelog.cmake)
endif()
if(VELD_BUILD_TESTS AND TARGET veld_python)
  add_test(NAME veld_packages_test
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packages/check_packages.sh
      ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${VELD_PYTHON_EXECUTABLE})
  set_tests_properties(veld_packages_test PROPERTIES TIMEOUT 600)
endif()
