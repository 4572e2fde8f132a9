# Writes veld.1.gz from the program's own help texts: help2man takes
# `veld --help` and `veld --version`, and each command's `--help` goes into
# a COMMANDS section. Run with cmake -P and VELD, HELP2MAN, OUT set.
# The commands are those that `veld --help` lists.
execute_process(COMMAND ${VELD} --help OUTPUT_VARIABLE main_help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "veld --help failed (${status})")
endif()
string(REGEX REPLACE ".*\nSubcommands:\n" "" listed "${main_help}")
string(REGEX REPLACE "\n\n.*" "" listed "${listed}")  # the list ends at a blank line
string(REGEX MATCHALL "(^|\n)  [a-z][a-z0-9-]*" commands "${listed}")
list(TRANSFORM commands STRIP)
if(NOT commands)
  message(FATAL_ERROR "no commands found in veld --help")
endif()
set(include_text "[COMMANDS]\n")
foreach(command IN LISTS commands)
  execute_process(COMMAND ${VELD} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "veld ${command} --help failed (${status})")
  endif()
  # roff: backslashes are escaped, and no line may start a request.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND include_text ".SS \"veld ${command}\"\n.nf\n${help}.fi\n")
endforeach()
get_filename_component(dir ${OUT} DIRECTORY)
file(WRITE ${dir}/veld-commands.h2m "${include_text}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1
    "--name=pack, inspect, extract, verify and append to compressed data files"
    --include=${dir}/veld-commands.h2m --output=${dir}/veld.1 ${VELD}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed (${status})")
endif()
# Debian installs man pages compressed, without a time stamp in the gzip header.
execute_process(COMMAND gzip -9nf ${dir}/veld.1 RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed (${status})")
endif()
