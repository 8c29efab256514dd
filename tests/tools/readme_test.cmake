# The README is in step with the program: a section for every command that
# `kl7046 --help` lists, whose table has a row for every option of that
# command's --help.
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help COMMAND_ERROR_IS_FATAL ANY)
file(READ ${README} readme)
# The commands are the unindented words under "Commands:".
string(REGEX REPLACE ".*\nCommands:\n" "" listed "${help}")
string(REGEX MATCHALL "(^|\n)[a-z]+\n" commands "${listed}")
string(REGEX REPLACE "\n" "" commands "${commands}")
if(NOT commands)
  message(FATAL_ERROR "kl7046 --help lists no commands")
endif()
foreach(command IN LISTS commands)
  set(heading "### `kl7046 ${command}`\n")
  string(FIND "${readme}" "${heading}" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "the README has no section \"${heading}\"")
  endif()
  string(LENGTH "${heading}" length)
  math(EXPR start "${start} + ${length}")
  string(SUBSTRING "${readme}" ${start} -1 section)
  string(FIND "${section}" "\n#" end)
  string(SUBSTRING "${section}" 0 ${end} section)
  # What the rows of the section's table name: their first column (a ";"
  # would split the list of rows).
  string(REPLACE ";" "," section "${section}")
  string(REGEX MATCHALL "\n\\| [^\n]*" rows "${section}")
  string(REGEX REPLACE " \\| [^;]*" "" named "${rows}")
  # The command's options, without the examples that follow them.
  execute_process(COMMAND ${PROGRAM} ${command} --help OUTPUT_VARIABLE options
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX REPLACE "\nExamples:.*" "" options "${options}")
  string(REGEX MATCHALL "--[a-z][a-z0-9-]*" options "${options}")
  list(REMOVE_DUPLICATES options)
  list(REMOVE_ITEM options --help)
  foreach(option IN LISTS options)
    if(NOT named MATCHES "`${option}[` ]")
      message(FATAL_ERROR "the README's table of kl7046 ${command} lacks ${option}")
    endif()
  endforeach()
endforeach()
