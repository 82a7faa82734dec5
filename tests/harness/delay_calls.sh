#!/bin/sh
# Checks that every wait a program imports from the C library is one that the sleep
# interposer replaces, under the same name: sleep(3) and clock_nanosleep(2), which with
# 64-bit time on 32-bit targets is __clock_nanosleep_time64. Any other (nanosleep,
# usleep, thrd_sleep, select, poll, in any of their names) would make the black-box
# tests really wait.
#
# usage: delay_calls.sh PROGRAM INTERPOSER
set -eu
symbols() {
	readelf --dyn-syms -W "$1" | awk -v want="$2" '($7 == "UND") == (want == "imported") {
		sub(/@.*/, "", $8); print $8 }'
}
waits=$(symbols "$1" imported |
	grep -E '^(__)?(sleep|nanosleep|clock_nanosleep|usleep|thrd_sleep|select|pselect|poll|ppoll)(64|_time64)?$' || true)
replaced=$(symbols "$2" defined)
missed=
for name in $waits; do
	echo "$replaced" | grep -qxF "$name" || missed="$missed $name"
done
if [ -n "$missed" ]; then
	echo "waits the interposer does not replace:$missed" >&2
	exit 1
fi
