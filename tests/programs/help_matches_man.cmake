# Every option that PROGRAM --help lists is described in the manual page
# MAN, and every option the page describes is in --help.
#   cmake -DPROGRAM=... -DMAN=... -P help_matches_man.cmake
execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help: status ${status}")
endif()

# The options of a piece of text, e.g. "-x, --exclude=GLOB" gives -x;--exclude.
function(options_of text out)
  string(REGEX MATCHALL "(^|[ ,\"])--?[A-Za-z][-A-Za-z0-9]*" found "${text}")
  list(TRANSFORM found REPLACE "^[ ,\"]" "")
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# --help: an option line is indented and begins with "-"; its options end
# where two spaces begin the description.
set(from_help "")
string(REPLACE "\n" ";" lines "${help}")
foreach(line IN LISTS lines)
  if(line MATCHES "^ +-")
    string(STRIP "${line}" line)
    string(REGEX REPLACE "  .*" "" line "${line}")
    options_of("${line}" found)
    list(APPEND from_help ${found})
  endif()
endforeach()

# The page: the line after each .TP names an entry's options.
file(STRINGS ${MAN} page)
set(from_man "")
set(after_tp OFF)
foreach(line IN LISTS page)
  if(after_tp)
    string(REPLACE "\\-" "-" line "${line}")
    string(REGEX REPLACE "\\\\f[BIRP]" "" line "${line}")
    string(REGEX REPLACE "^\\.[A-Z]+ " "" line "${line}")
    options_of("${line}" found)
    list(APPEND from_man ${found})
  endif()
  if(line MATCHES "^\\.TP")
    set(after_tp ON)
  else()
    set(after_tp OFF)
  endif()
endforeach()

list(REMOVE_DUPLICATES from_help)
list(REMOVE_DUPLICATES from_man)
if(NOT from_help)
  message(FATAL_ERROR "no options found in ${PROGRAM} --help")
endif()
set(only_help ${from_help})
list(REMOVE_ITEM only_help ${from_man})
set(only_man ${from_man})
list(REMOVE_ITEM only_man ${from_help})
if(only_help OR only_man)
  message(FATAL_ERROR "${PROGRAM} --help and ${MAN} disagree:\n"
    "  in --help alone: ${only_help}\n  in the page alone: ${only_man}")
endif()
message(STATUS "${MAN}: ${from_help}")
