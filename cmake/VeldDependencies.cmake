# Every dependency comes from the distribution's packages; nothing is downloaded.
function(veld_require found package what)
  if(NOT ${found})
    message(FATAL_ERROR "veld needs ${what}: install the Debian package '${package}' "
                        "(or run 'make deps' as root).")
  endif()
endfunction()

find_package(ZLIB)
veld_require(ZLIB_FOUND zlib1g-dev "zlib")
find_package(Threads REQUIRED)

if(NOT WIN32)
  find_package(OpenSSL COMPONENTS Crypto)
  veld_require(OPENSSL_FOUND libssl-dev "OpenSSL's libcrypto")
endif()

if(VELD_BUILD_TESTS)
  find_package(GTest)
  veld_require(GTest_FOUND libgtest-dev "GoogleTest")
endif()

if(VELD_BUILD_TOOLS)
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
