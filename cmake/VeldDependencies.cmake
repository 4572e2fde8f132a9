# Every dependency comes from the distribution's packages; nothing is downloaded.
function(veld_require found package what)
  if(NOT ${found})
    message(FATAL_ERROR "veld needs ${what}: install the Debian package '${package}' "
                        "(or run 'make deps' as root).")
  endif()
endfunction()

if(WIN32)
  # Linked into veld.dll, so the DLL needs nothing beside it but the system's own.
  set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB)
if(WIN32)
  veld_require(ZLIB_FOUND libz-mingw-w64-dev "zlib for MinGW-w64")
else()
  veld_require(ZLIB_FOUND zlib1g-dev "zlib")
endif()
find_package(Threads REQUIRED)

if(NOT WIN32)
  find_package(OpenSSL COMPONENTS Crypto)
  veld_require(OPENSSL_FOUND libssl-dev "OpenSSL's libcrypto")
endif()

if(VELD_BUILD_TESTS)
  if(CMAKE_CROSSCOMPILING)
    # No GoogleTest is packaged for the target: build it from the sources
    # Debian's googletest package installs, as part of this build.
    set(VELD_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
    set(VELD_GTEST_SOURCES_FOUND FALSE)
    if(EXISTS ${VELD_GTEST_SOURCE_DIR}/googletest/CMakeLists.txt)
      set(VELD_GTEST_SOURCES_FOUND TRUE)
    endif()
    veld_require(VELD_GTEST_SOURCES_FOUND googletest "GoogleTest's sources")
    set(BUILD_GMOCK OFF CACHE BOOL "")
    set(INSTALL_GTEST OFF CACHE BOOL "")
    set(gtest_force_shared_crt ON CACHE BOOL "")
    add_subdirectory(${VELD_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  else()
    find_package(GTest)
    veld_require(GTest_FOUND libgtest-dev "GoogleTest")
  endif()
endif()

if(VELD_BUILD_TOOLS AND CMAKE_CROSSCOMPILING)
  # CLI11 is header-only, so the host's copy serves the target too. Only its
  # CLI/ directory is copied into the build tree: putting the host's
  # /usr/include on the target's include path would shadow the target's C library.
  find_path(VELD_HOST_CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  veld_require(VELD_HOST_CLI11_DIR libcli11-dev "CLI11")
  file(COPY ${VELD_HOST_CLI11_DIR}/CLI DESTINATION ${CMAKE_BINARY_DIR}/cli11-include)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/cli11-include)
elseif(VELD_BUILD_TOOLS)
  find_package(CLI11 CONFIG QUIET)
  if(NOT CLI11_FOUND)
    find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp)
    veld_require(CLI11_INCLUDE_DIR libcli11-dev "CLI11")
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${CLI11_INCLUDE_DIR})
  endif()
endif()

if(VELD_BUILD_BENCH AND NOT CMAKE_CROSSCOMPILING)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    message(STATUS "Google Benchmark not found (libbenchmark-dev): bench/ is skipped")
  endif()
endif()
