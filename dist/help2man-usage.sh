#!/bin/sh
# help2man PROGRAM OPTION...: runs PROGRAM as help2man asks and hands on its
# output with each further usage line ("       PROGRAM --status [DIR]" under
# "Usage: PROGRAM ...") written as "  or: PROGRAM ...", the one form help2man
# takes into SYNOPSIS; it would put them into DESCRIPTION otherwise.
program=$1
shift
name=${program##*/}
"$program" "$@" | sed "/^Usage:/,/^\$/ s/^ \{1,\}\($name \)/  or: \1/"
