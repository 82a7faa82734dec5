#!/bin/sh
# Hunts for tests that fail now and then: runs the black-box suites (blackbox_*) and the
# D-Bus suites (uniform-send-*) of the sanitizer build N times, one run after the other,
# while two CPU-bound processes of its own run beside them the whole time, as on a busy
# machine. Prints one line per run, then how many runs failed and how often each test
# failed. The log of a failed run is kept in build-san/flake-hunt/run-I.log. Exits 1
# when a run failed. Builds build-san/ first (scripts/build.sh sanitize); needs root.
# To spare other work on the machine, run it under nice: the two processes inherit it,
# so the tests meet the same load.
#   bench/flake-hunt.sh [N]   (default 20)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-20}
build=$top/build-san
logs=$build/flake-hunt

"$top/scripts/deps.sh" build test
"$top/scripts/build.sh" sanitize
rm -rf "$logs"
mkdir -p "$logs"

hogs=""
stop_hogs() {
	# shellcheck disable=SC2086 # one pid per word
	[ -z "$hogs" ] || kill $hogs 2>/dev/null || true
}
trap stop_hogs EXIT
trap 'exit 130' INT TERM
for _ in 1 2; do
	sh -c 'while :; do :; done' &
	hogs="$hogs $!"
done

failed=0
i=1
while [ "$i" -le "$runs" ]; do
	begin=$(date +%s)
	result=passed
	(cd "$build" && ctest --no-tests=error -j2 --output-on-failure \
		-R '^(blackbox_|uniform-send-)') >"$logs/run-$i.log" 2>&1 || result=FAILED
	seconds=$(($(date +%s) - begin))
	if [ "$result" = FAILED ]; then
		failed=$((failed + 1))
		# "NUMBER:NAME" per failed test; none when ctest itself could not run.
		names=$(sed 's/^[0-9]*://' "$build/Testing/Temporary/LastTestsFailed.log" 2>/dev/null |
			tr '\n' ' ' || true)
		echo "$names" | tr ' ' '\n' | sed '/^$/d' >>"$logs/failed-tests"
		echo "run $i/$runs: FAILED in $seconds s: ${names:-(see $logs/run-$i.log)}"
	else
		rm -f "$logs/run-$i.log"
		echo "run $i/$runs: passed in $seconds s"
	fi
	i=$((i + 1))
done

echo "flake-hunt: $failed of $runs runs failed"
if [ -s "$logs/failed-tests" ]; then
	sort "$logs/failed-tests" | uniq -c | sort -rn | while read -r count name; do
		echo "  $name failed in $count runs"
	done
fi
[ "$failed" = 0 ]
