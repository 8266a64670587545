#!/bin/sh
# What help2man reads as corvane-cli's help: the program's own --help, then each command's
# description and options from "corvane-cli COMMAND --help", so the manual covers them all.
# Anything but --help goes straight to the program.
# Usage: manualhelp.sh PROGRAM COMMAND... OPTION
program=$1
shift
commands=
while [ $# -gt 1 ]; do
    commands="$commands $1"
    shift
done
[ "$1" = --help ] || exec "$program" "$1"

# The second usage line marked as one, so that the synopsis shows both.
"$program" --help | sed '2s/^ *\([a-z]\)/  or: \1/'
for command in $commands; do
    echo
    echo "The $command command:"
    "$program" "$command" --help | sed -e '1,2d' -e '/^  -h, --help/d' \
        -e '/^Options:/,$!s/^/  /' \
        -e "s/^Options:/Options of $command:/" -e "s/^Arguments:/Arguments of $command:/"
done
