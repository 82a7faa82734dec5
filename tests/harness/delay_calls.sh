#!/bin/sh
# Checks that a program waits only through sleep(3), the one call the sleep interposer
# replaces: it imports none of the C library's other waits, in any of their names (with
# 64-bit time on 32-bit targets they are __nanosleep64, __clock_nanosleep_time64,
# __thrd_sleep64). A wait the interposer misses would make the black-box tests really wait.
#
# usage: delay_calls.sh FILE
set -eu
imports=$(readelf --dyn-syms -W "$1" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
found=$(echo "$imports" | grep -E '^(__)?(nanosleep|clock_nanosleep|usleep|thrd_sleep|select|pselect|poll|ppoll)(64|_time64)?$' || true)
if [ -n "$found" ]; then
	# shellcheck disable=SC2086 # one line, the names split
	echo "waits the interposer does not replace:" $found >&2
	exit 1
fi
