# Makes the manual page of morvane-offline from its --help text, so that the
# two never disagree, gzipped as Debian keeps manual pages:
#   cmake -DPROGRAM=<morvane-offline> -DVERSION=<x.y.z> -DDATE=<yyyy-mm-dd> -DOUTPUT=<file.1.gz> -P manpage.cmake
# The usage text's shape: the usage line (and one more form below it), the description, the options (each
# "  --name [ARG]  text", "  --name[=ARG]  text", "  -n [ARG]  text" or "  -n, --name  text", continued on lines that begin with
# spaces), and the exit codes from the line that begins with "Exit codes:". The files, the way back, the
# examples and the other pages to read are written here.
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
  elseif(line MATCHES "^ +(\\[.*)$" AND section_description STREQUAL "")
    string(APPEND synopsis " ${CMAKE_MATCH_1}")
  elseif(line MATCHES "^Exit codes: (.*)$")
    set(part section_exit)
    string(APPEND section_exit "${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  ((\\\\-[a-zA-Z], )?(\\\\-[a-zA-Z]|\\\\-\\\\-[a-z\\\\-]+))( [A-Z]+|\\[=[A-Z]+\\])? +(.*)$")
    set(part section_options)
    string(APPEND section_options ".TP\n\\fB${CMAKE_MATCH_1}\\fR\\fI${CMAKE_MATCH_4}\\fR\n${CMAKE_MATCH_5}\n")
  elseif(line MATCHES "^ +(.*)$" AND part STREQUAL "section_options")
    string(APPEND section_options "${CMAKE_MATCH_1}\n")
  else()
    string(APPEND ${part} "${line}\n")
  endif()
endforeach()

string(CONCAT page
  ".TH MORVANE\\-OFFLINE 1 \"${DATE}\" \"morvane\\-offline ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n"
  "morvane\\-offline \\- repairs the .exe, .bat and .com associations of a Windows that is not running\n"
  ".SH SYNOPSIS\n"
  ".B morvane\\-offline\n${synopsis}\n"
  ".SH DESCRIPTION\n${section_description}"
  ".SH OPTIONS\n${section_options}"
  ".SH EXIT STATUS\n${section_exit}"
  ".SH FILES\n"
  ".TP\n\\fIWINDOWS_ROOT\\fR/Morvane/Morvane.txt\n"
  "The log (C:\\eMorvane\\eMorvane.txt on Windows), UTF\\-16LE with CR LF line ends, for Notepad; a later run "
  "writes Morvane\\-2.txt, Morvane\\-3.txt... beside it. On Linux: "
  "\\fBiconv \\-f UTF\\-16 \\-t UTF\\-8\\fR \\fIWINDOWS_ROOT\\fR/Morvane/Morvane.txt\n"
  ".TP\n\\fIWINDOWS_ROOT\\fR/Morvane/Morvane\\-undo.reg\n"
  "The undo file: what each key and value the run changed held before, as a .reg file "
  "(Morvane\\-undo\\-2.reg... for a later run).\n"
  ".TP\n\\fIhive\\fR.morvane\\-backup\n"
  "Beside each registry file written (Windows/System32/config/SOFTWARE, a profile's NTUSER.DAT and "
  "UsrClass.dat), the file as it was before the run; a later run that writes it again keeps "
  "\\fIhive\\fR.morvane\\-backup\\-2...\n"
  ".SH THE WAY BACK\n"
  "With that Windows running, as administrator and with the users it names logged on: "
  "\\fBreg import \"C:\\eMorvane\\eMorvane\\-undo.reg\"\\fR. "
  "From the rescue system, Windows shut down, a whole registry file comes back by copying its backup over "
  "it, as the log's summary shows: \\fBcp \"\\fIhive\\fB.morvane\\-backup\" \"\\fIhive\\fB\"\\fR; "
  "or the undo file is applied to the registry files it names, each after a backup beside it: "
  "\\fBmorvane\\-offline \\-\\-apply\\-undo\\fR \\fIWINDOWS_ROOT\\fR (the project's undo guide, "
  "docs/undo.md, tells more).\n"
  ".SH EXAMPLES\n"
  "A Windows volume mounted here, first seen without a change, then repaired:\n"
  ".PP\n.nf\n"
  "mkdir \\-p /mnt/windows\n"
  "mount \\-t ntfs\\-3g /dev/sda2 /mnt/windows\n"
  "morvane\\-offline \\-\\-dry\\-run /mnt/windows\n"
  "morvane\\-offline /mnt/windows\n"
  "umount /mnt/windows\n"
  ".fi\n.PP\n"
  "What that run changed, put back from its undo file, first seen without a change:\n"
  ".PP\n.nf\n"
  "morvane\\-offline \\-\\-dry\\-run \\-\\-apply\\-undo /mnt/windows\n"
  "morvane\\-offline \\-\\-apply\\-undo /mnt/windows\n"
  ".fi\n.PP\n"
  "The Windows in a virtual machine's disk image (the package morvane\\-offline\\-image), unattended:\n"
  ".PP\n.nf\n"
  "morvane\\-offline \\-\\-yes \\-a win10.qcow2\n"
  ".fi\n"
  ".SH SEE ALSO\n"
  ".BR ntfs\\-3g (8),\n"
  ".BR hivexregedit (1),\n"
  ".BR virt\\-win\\-reg (1)\n")
string(REPLACE "<semicolon>" ";" page "${page}")
get_filename_component(folder "${OUTPUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" plain "${OUTPUT}")
file(WRITE "${plain}" "${page}")
# No name or time stamp in the gzip header: the same page gives the same bytes.
execute_process(COMMAND gzip -9nf "${plain}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed: ${status}")
endif()
