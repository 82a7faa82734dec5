#!/bin/sh
# Builds the libFuzzer targets with clang into ./build-fuzz and runs each one for
# SECONDS (default 60) on a scratch copy of its seed corpus (tests/fuzz/corpus/TARGET).
# Fails on any crash, failed check, leak or timeout; prints per target the executions,
# executions per second, coverage (libFuzzer's cov and ft) and the corpus reached.
#   scripts/fuzz.sh [SECONDS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$top/build-fuzz"
targets="watch_config boot_record install_record send"

"$top/scripts/deps.sh" fuzz
CC=clang-14 CXX=clang++-14 cmake -S "$top" -B "$build" -G Ninja \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DBUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target fuzzers

# The targets keep every file they write under TMPDIR, where the daemon's fixed
# directories are redirected too: a scratch directory of this run, in memory when
# /dev/shm allows (files are written and removed at every execution).
mkdir -p "$build/logs" "$build/artifacts"
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm="$build"
scratch=$(mktemp -d "$shm/fuzz-scratch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
# Neither of the daemon's own directories may appear on this machine.
absent=""
for dir in /data /tmp/.uci; do
	[ -e "$dir" ] || absent="$absent $dir"
done

# A value from libFuzzer's last status line: "#N DONE cov: C ft: F corp: U/Sb ...".
field() { echo "$done_line" | sed -n "s/.* $1: \([^ ]*\).*/\1/p"; }

# fuzz_target T: runs fuzz_T on a scratch copy of its seed corpus, then writes its row of the
# table to $build/logs/T.row, and "failed" to $build/logs/T.failed when it failed.
fuzz_target()
{
	t=$1
	corpus="$build/corpus/$t"
	log="$build/logs/$t.log"
	rm -rf "$corpus" "$build/logs/$t.failed"
	mkdir -p "$corpus"
	cp "$top/tests/fuzz/corpus/$t/"* "$corpus/"
	dict=""
	[ "$t" = send ] || dict="-dict=$top/tests/fuzz/json.dict"
	# shellcheck disable=SC2086
	TMPDIR="$scratch" "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
		-rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
		$dict "$corpus" >"$log" 2>&1 || echo failed >"$build/logs/$t.failed"
	done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
	execs=$(sed -n 's/^stat::number_of_executed_units: //p' "$log")
	rate=$(sed -n 's/^stat::average_exec_per_sec: //p' "$log")
	printf '%-22s %12s %9s %6s %7s %16s\n' "fuzz_$t" "${execs:-?}" "${rate:-?}" \
		"$(field cov)" "$(field ft)" "$(field corp)" >"$build/logs/$t.row"
}

started=$(date +%s)
status=0
failed=0
# Two targets at a time, one a processor: each runs for SECONDS whatever runs beside it.
# shellcheck disable=SC2086
set -- $targets
while [ $# -gt 0 ]; do
	fuzz_target "$1" &
	[ $# -lt 2 ] || fuzz_target "$2" &
	wait
	shift
	[ $# -eq 0 ] || shift
done
printf '%-22s %12s %9s %6s %7s %16s\n' target executions exec/s cov ft corpus
for t in $targets; do
	cat "$build/logs/$t.row"
	if [ -f "$build/logs/$t.failed" ]; then
		status=1
		failed=$((failed + 1))
		echo "fuzz_$t FAILED; end of $build/logs/$t.log:" >&2
		tail -n 40 "$build/logs/$t.log" >&2
	fi
done

for dir in $absent; do
	if [ -e "$dir" ]; then
		echo "$dir appeared during the fuzz runs" >&2
		status=1
	fi
done
echo "fuzz runs took $(($(date +%s) - started)) s"
# shellcheck disable=SC2086
set -- $targets
echo "fuzz: $(($# - failed)) passed, $failed failed"
exit $status
