# The Debian changelog must name the version it ships: a version bump without
# an entry would give packages whose changelog lies. Included, it defines
# veld_check_changelog; run with cmake -DCHANGELOG=... -DVERSION=... -P, it checks.
function(veld_check_changelog changelog version)
  file(STRINGS ${changelog} head LIMIT_COUNT 1)
  string(REPLACE "." "\\." version_pattern "${version}")
  if(NOT head MATCHES "^veld \\(${version_pattern}\\) ")
    message(FATAL_ERROR "${changelog} does not start with an entry for ${version}: add one "
      "(its first line is \"${head}\")")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED CHANGELOG)
  veld_check_changelog(${CHANGELOG} ${VERSION})
endif()
