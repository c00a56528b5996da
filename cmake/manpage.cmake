# Makes the manual page of morvane-offline from its --help text, so that the
# two never disagree, gzipped as Debian keeps manual pages:
#   cmake -DPROGRAM=<morvane-offline> -DVERSION=<x.y.z> -DOUTPUT=<file.1.gz> -P manpage.cmake
# The usage text's shape: the usage line (and one more form below it), the description, the options (each
# "  --name [ARG]  text", "  -n [ARG]  text" or "  -n, --name  text", continued on lines that begin with
# spaces), and the exit codes from the line that begins with "Exit codes:".
cmake_policy(VERSION 3.21)
execute_process(COMMAND "${PROGRAM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed: ${status}")
endif()
# roff: a backslash is \e, a hyphen \-; a list separator is kept as text.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REPLACE ";" "<semicolon>" help "${help}")
string(REGEX REPLACE "\n$" "" help "${help}")
string(REPLACE "\n" ";" lines "${help}")

set(synopsis "")
set(section_description "")
set(section_options "")
set(section_exit "")
set(part section_description)
foreach(line IN LISTS lines)
  if(line MATCHES "^usage: morvane\\\\-offline (.*)$")
    set(synopsis "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^ +morvane\\\\-offline (.*)$" AND part STREQUAL "section_description")
    string(APPEND synopsis "\n.br\n.B morvane\\-offline\n${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Exit codes: (.*)$")
    set(part section_exit)
    string(APPEND section_exit "${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  ((\\\\-[a-zA-Z], )?(\\\\-[a-zA-Z]|\\\\-\\\\-[a-z\\\\-]+))( [A-Z]+)? +(.*)$")
    set(part section_options)
    string(APPEND section_options ".TP\n\\fB${CMAKE_MATCH_1}\\fR\\fI${CMAKE_MATCH_4}\\fR\n${CMAKE_MATCH_5}\n")
  elseif(line MATCHES "^ +(.*)$" AND part STREQUAL "section_options")
    string(APPEND section_options "${CMAKE_MATCH_1}\n")
  else()
    string(APPEND ${part} "${line}\n")
  endif()
endforeach()

string(CONCAT page
  ".TH MORVANE\\-OFFLINE 1 \"\" \"morvane\\-offline ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n"
  "morvane\\-offline \\- repairs the .exe, .bat and .com associations of a mounted Windows volume\n"
  ".SH SYNOPSIS\n"
  ".B morvane\\-offline\n${synopsis}\n"
  ".SH DESCRIPTION\n${section_description}"
  ".SH OPTIONS\n${section_options}"
  ".SH EXIT STATUS\n${section_exit}")
string(REPLACE "<semicolon>" ";" page "${page}")
get_filename_component(folder "${OUTPUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE "${plain}" "${page}")
# No name or time stamp in the gzip header: the same page gives the same bytes.
execute_process(COMMAND gzip -9nf "${plain}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed: ${status}")
endif()
