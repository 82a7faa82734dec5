#!/bin/sh
# Checks what an ELF program or library needs at run time, for any target (readelf reads
# every ELF): its NEEDED libraries are the C library (libc, its loader) and the named
# LIBs only, so no C++ runtime (libstdc++, libgcc_s); and it carries no C++ exception
# tables, personality routine or type information, the marks of exceptions and RTTI.
#
# usage: runtime_deps.sh FILE [LIB]...     LIB: a library's name, e.g. cjson for libcjson.so.1
set -eu
file=$1
shift
[ -f "$file" ] || { echo "$file: missing" >&2; exit 2; }

status=0
for lib in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
	ok=0
	case $lib in
	libc.so | libc.so.* | ld.so.* | ld-linux*.so.* | ld-musl-*.so.* | ld-uClibc.so.*) ok=1 ;;
	esac
	for allowed in "$@"; do
		case $lib in
		"lib$allowed.so" | "lib$allowed.so".*) ok=1 ;;
		esac
	done
	if [ "$ok" = 1 ]; then
		echo "needs $lib"
	else
		echo "needs $lib: not allowed" >&2
		status=1
	fi
done

if readelf -S -W "$file" | grep -q '\.gcc_except_table'; then
	echo "has C++ exception tables (.gcc_except_table)" >&2
	status=1
fi
# Symbol names, defined or not: typeinfo (_ZTI, _ZTS), the personality routine, throw.
marks=$(readelf -s -W "$file" | awk '{ print $8 }' | sed 's/@.*//' |
	grep -E '^(_ZTI|_ZTS|__gxx_personality_v0$|__cxa_throw$|__cxa_begin_catch$)' | sort -u) || true
if [ -n "$marks" ]; then
	# shellcheck disable=SC2086 # one line, the names split
	echo "has exception or RTTI symbols:" $marks >&2
	status=1
fi
exit $status
