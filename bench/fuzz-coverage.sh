#!/bin/sh
# Source coverage of the product's units reached by the fuzz corpora: builds the fuzz
# targets again with clang's source-based coverage into ./build-fuzz-cov, replays each
# target's corpus once (the one grown by scripts/fuzz.sh in build-fuzz/corpus when it is
# there, else the seeds) and prints, per target, the line and branch coverage of the
# units it exercises.
# Usage: bench/fuzz-coverage.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz-cov"

"$top/scripts/deps.sh" fuzz bench
CC=clang-14 CXX=clang++-14 cmake -S "$top" -B "$build" -G Ninja \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DBUILD_FUZZERS=ON \
	"-DCMAKE_CXX_FLAGS=-fprofile-instr-generate -fcoverage-mapping" \
	-DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate >/dev/null
cmake --build "$build" --target fuzzers >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
printf '%-20s %-18s %7s %16s %16s\n' target unit inputs lines branches
for entry in watch_config:supervisor/watch_config.cpp boot_record:supervisor/boot_record.cpp \
	install_record:supervisor/upgrade.cpp install_record:supervisor/atomic_file.cpp \
	send:uniform-send/main.cpp send:uniform-send/k93_api.cpp; do
	t=${entry%%:*}
	unit=${entry#*:}
	corpus="$top/build-fuzz/corpus/$t"
	[ -d "$corpus" ] || corpus="$top/tests/fuzz/corpus/$t"
	if [ ! -f "$scratch/$t.profdata" ]; then
		LLVM_PROFILE_FILE="$scratch/$t.profraw" TMPDIR="$scratch" \
			"$build/tests/fuzz/fuzz_$t" -runs=0 "$corpus" >/dev/null 2>&1
		llvm-profdata-14 merge -o "$scratch/$t.profdata" "$scratch/$t.profraw"
	fi
	# The unit's row of the report: regions, functions, lines, branches (total, missed, %).
	row=$(llvm-cov-14 report "$build/tests/fuzz/fuzz_$t" -instr-profile="$scratch/$t.profdata" \
		"$top/$unit" | grep "^$top/$unit ")
	# shellcheck disable=SC2086
	set -- $row
	printf '%-20s %-18s %7s %16s %16s\n' "fuzz_$t" "$(basename "$unit")" "$(ls "$corpus" | wc -l)" \
		"$(($8 - $9))/$8 ${10}" "$((${11} - ${12}))/${11} ${13}"
done
