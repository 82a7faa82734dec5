#!/bin/sh
# Soak of the supervisor under the address, leak and undefined-behaviour sanitizers:
# the daemon, built with them into build-soak/, runs in the test sandbox with one
# watched program that exits at once, through CYCLES exits (each one a restart after
# the intercepted 10-second delay), and then through CYCLES exits with status 160 (each
# one a new cycle: killall, the boot-check record read, the program started). Its
# resident memory (all, and anonymous) and open descriptors are taken after the first
# exit and after the last one, where a preloaded hook (bench/soak_hook.c) ends it with
# exit(0) so that the leak checker runs. Prints one table row per run: exits, program
# starts, the figures first and at the end, the lock file's size, the daemon's exit
# status, the number of sanitizer reports and the seconds taken; exits 1 when a run went
# wrong.
# Needs root (the sandbox).
# Usage: bench/soak.sh [CYCLES]   (default 10000)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cycles=${1:-10000}
build=$top/build-soak

"$top/scripts/deps.sh" build bench
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
	-DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" --target supervisor sleep_shim >/dev/null
cc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$build/soak_hook.so" "$top/bench/soak_hook.c" -ldl

# run NAME STATUS: one soak of a watched program that exits with STATUS at once.
run() {
	work=$build/soak-$2
	rm -rf "$work"
	mkdir -p "$work/bin" "$work/seed/data"
	cp "$build/supervisor/supervisor" "$work/bin/supervisor"
	printf '{"__watch":{"processes":[{"base":"prog"}]}}' >"$work/bin/config"
	printf '#!/bin/sh\necho >>/tmp/starts\nexit %s\n' "$2" >"$work/bin/prog"
	chmod 755 "$work/bin/prog"
	printf '{"version":"4.8.01.1","plugindata":0}' >"$work/seed/data/.bootchk"

	begin=$(date +%s)
	# The hook comes before the sanitizer runtime in the library list, hence
	# verify_asan_link_order=0. Without a quarantine, freed memory is used again at
	# once, so that the resident memory can be compared; the sleep interposer waits 0 ms.
	env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/ TZ=UTC0 SANDBOX_LIMIT=7200 \
		"$top/tests/harness/sandbox.sh" -b "$build" "$work" -- \
		env LD_PRELOAD="$build/soak_hook.so:$build/tests/harness/sleep_shim.so" \
		SLEEP_SHIM_MS=0 SOAK_EXITS="$cycles" SOAK_REPORT="$work/figures" \
		ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0:quarantine_size_mb=0:thread_local_quarantine_size_kb=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		"$work/bin/supervisor" >"$work/out" 2>"$work/err" || true
	seconds=$(($(date +%s) - begin))

	status=$(cat "$work/status" 2>/dev/null || echo none)
	# Every exit is followed by a start; the exit log keeps only its newest lines.
	starts=$(wc -l <"$work/snap/tmp/starts")
	exits=$((starts - 1))
	log=$(wc -c <"$work/snap/tmp/.uci/supervisor.run")
	reports=$(grep -c -E 'ERROR: (Address|Leak)Sanitizer|runtime error' "$work/err" || true)
	# figures: "first|end VMRSS_KB RSSANON_KB FDS EXITS"
	set -- "$1" $(awk '$1 == "first" { print $2, $3, $4 }' "$work/figures") \
		$(awk '$1 == "end" { print $2, $3, $4 }' "$work/figures")
	row "$1" "$exits" "$starts" "${2:-?}" "${5:-?}" "${3:-?}" "${6:-?}" "${4:-?}" "${7:-?}" \
		"$log" "$status" "$reports" "$seconds"
	# Anonymous memory (heap, stacks) and descriptors must not move; VmRSS also counts
	# pages of shared libraries' code that are read in when first run.
	[ "$status" = 0 ] && [ "$reports" = 0 ] && [ "$exits" = "$cycles" ] && [ $# = 7 ] &&
		[ "$3" = "$6" ] && [ "$4" = "$7" ] || failed=1
}

row() {
	printf '%-17s %6s %6s %7s %7s %7s %7s %5s %5s %6s %6s %7s %5s\n' "$@"
}

failed=0
row run exits starts "rss1 kB" "rssN kB" "anon1" "anonN" fds1 fdsN "log B" status reports secs
run "exit 0, restarts" 0
run "exit 160, cycles" 160
[ "$failed" = 0 ] || { echo "soak: a run went wrong; see $build/soak-*/err and out" >&2; exit 1; }
