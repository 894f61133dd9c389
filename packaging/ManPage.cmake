# Writes the manual page clbtool(1) around the text that `clbtool --help`
# prints, so that the page and the program's own help never disagree.
#   cmake -DCLBTOOL=<program> -DOUT=<file> -DVERSION=<x.y> -P ManPage.cmake
execute_process(COMMAND ${CLBTOOL} --help OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${CLBTOOL} --help failed (${rc}): ${err}")
endif()
set(usage "${out}${err}")
# Text for troff: backslashes escaped, no line taken for a request.
string(REPLACE "\\" "\\e" usage "${usage}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" usage "${usage}")
string(REGEX REPLACE "\n$" "" usage "${usage}")
file(WRITE ${OUT} ".\\\" -*- coding: UTF-8 -*-
.TH CLBTOOL 1 \"\" \"clbtool ${VERSION}\" \"User Commands\"
.SH NAME
clbtool \\- read out, save and write the calibration coefficients of meters on a serial line
.SH SYNOPSIS
.B clbtool
[\\fIOPTIONS\\fR] \\fICOMMAND\\fR [\\fIARGS\\fR]
.SH DESCRIPTION
The command\\-line front of the calibration tool: the same read\\-out, coefficient files and
writing as the window program
.BR clbview ,
without windows. The options and commands, as
.B clbtool \\-\\-help
prints them:
.PP
.nf
.ft CR
${usage}
.ft
.fi
.SH PORTS
A port is given as COM1..COM16 (mapped to device paths in the settings file) or as a device
path. USB adapters are best given by their stable name under
.IR /dev/serial/by\\-id/ ;
.B clbtool ports
lists the serial devices present and what keeps a user from opening them.
.SH FILES
.TP
.I ~/.local/share/clbtool/clbtool.ini
the settings file (UTF\\-8 or code page 1251), with the folders
.IR config/ \", \" saved/ \" and \" Info/
beside it; \\fB$XDG_DATA_HOME\\fR replaces \\fI~/.local/share\\fR when set.
.TP
.I ~/.local/share/clbtool/journal.csv
the journal of every write into a meter (\\fBclbtool journal\\fR lists it); the
values a meter held before a write are kept under
.IR saved/<type>/backup/ .
.SH SEE ALSO
.BR clbview (1),
.BR metersim (1)
")
