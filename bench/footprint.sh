#!/bin/sh
# Footprint of the supervisor daemon beside the process supervisors a gateway engineer
# would otherwise pick, all from Debian: runit's runsv, s6's s6-supervise and
# daemontools' supervise. Each supervises one child that sleeps; for each the table
# gives the stripped binary size, the shared libraries it needs (and the size of those
# beyond the C library), RSS, PSS and Private_Dirty from /proc/PID/smaps_rollup, and
# the context switches and CPU ticks (utime + stime) over an idle spell. Last come the
# ratios of our daemon to the smallest peer for stripped size and for PSS.
#
# Fairness: the four run at the same time, each in its own PID and mount namespace
# with a tmpfs over /tmp, each with the same child (a shell script that execs sleep),
# the same C library, kernel and load, and are sampled within the same moment. PSS
# divides every shared page by the number of processes mapping it then, so the pages
# of the C library, which every process on the machine shares, weigh the same for all
# four; the column "PSS-libc" leaves the C library and the dynamic loader out
# altogether and does not depend on what else runs on the machine. Libraries that
# only one of them uses (cJSON, skalibs) count in full for it.
#
# The peers are fetched with apt-get download through a private apt configuration and
# unpacked with dpkg -x under BUILD_DIR/footprint, never installed (their install
# scripts would touch this machine's init). With the gateway's dynamic daemon present
# (build-gateway/supervisor-shared, from scripts/gateway.sh build), a second table compares
# the stripped size and the libraries of that big-endian MIPS daemon on uClibc-ng with the
# peers' 32-bit mipsel binaries (Debian has no big-endian MIPS port); the memory of a process
# under qemu-user says nothing about the device and is not measured (bench/gateway-footprint.sh
# measures it in the booted image).
#
# Each supervisor's /proc/PID/smaps at the end is kept in BUILD_DIR/footprint/run/NAME.smaps.
# Needs root (namespaces; apt-get for missing tools).
# Usage: bench/footprint.sh [BUILD_DIR] [IDLE_SECONDS]   (defaults: ./build, 20)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-./build}" && pwd)
idle=${2:-20}
daemon=$build/supervisor/supervisor
mips_daemon=$top/build-gateway/supervisor-shared/supervisor/supervisor
[ -x "$daemon" ] || { echo "footprint: no $daemon; build first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "footprint: needs root" >&2; exit 1; }

"$top/scripts/deps.sh" bench

work=$build/footprint
peers="runsv s6-supervise supervise"

# --- The peers, fetched and unpacked once per architecture ----------------------------------
# fetch_peers ARCH: unpacks runit, s6 with its skalibs library, and daemontools for ARCH
# into $work/ARCH.
fetch_peers()
{
	fp_root=$work/$1
	[ -x "$fp_root/usr/bin/runsv" ] && [ -x "$fp_root/usr/bin/s6-supervise" ] &&
		[ -x "$fp_root/usr/bin/supervise" ] && return 0
	(
		# shellcheck source=scripts/private-apt.sh
		. "$top/scripts/private-apt.sh"
		private_apt "$work/apt-$1" "deb [arch=$1]"
		skalibs=$(apt-cache depends --important s6:"$1" |
			sed -n 's/^ *Depends: \(libskarnet[^: ]*\).*/\1/p' | head -n 1)
		[ -n "$skalibs" ] || { echo "footprint: s6 names no skalibs library" >&2; exit 1; }
		mkdir -p "$work/debs-$1"
		# apt downloads as its unprivileged user, which needs to write there.
		chown _apt "$work/debs-$1" 2>/dev/null || true
		cd "$work/debs-$1"
		apt-get download -qq runit:"$1" s6:"$1" "$skalibs:$1" daemontools:"$1"
		rm -rf "$fp_root"
		for deb in ./*.deb; do
			dpkg -x "$deb" "$fp_root"
		done
	)
}
fetch_peers amd64

# --- Static figures -----------------------------------------------------------------------------
# size_of STRIP FILE: bytes of FILE once stripped.
size_of()
{
	"$1" -o "$work/stripped.tmp" "$2"
	wc -c <"$work/stripped.tmp" | tr -d ' '
	rm -f "$work/stripped.tmp"
}
# needed FILE: the NEEDED libraries of FILE, comma-separated.
needed()
{
	readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd, -
}
# extra_lib_size FILE LIBDIR...: bytes of the NEEDED libraries other than the C library
# and the dynamic loader, looked up in the LIBDIRs.
extra_lib_size()
{
	el_file=$1
	shift
	el_total=0
	for lib in $(needed "$el_file" | tr , ' '); do
		case $lib in libc.so.* | ld-* | ld.so.*) continue ;; esac
		for dir in "$@"; do
			if [ -e "$dir/$lib" ]; then
				el_total=$((el_total + $(wc -c <"$dir/$lib")))
				break
			fi
		done
	done
	echo "$el_total"
}

# --- The sandboxes ------------------------------------------------------------------------------
run=$work/run
rm -rf "$run"
mkdir -p "$run"
peer_root=$work/amd64
peer_libs=$peer_root/usr/lib/x86_64-linux-gnu
host_libs=/usr/lib/x86_64-linux-gnu

# The one child of every supervisor.
child_script='#!/bin/sh
exec sleep 100000000
'

# Our daemon, stripped as it would be shipped, with its config naming the child "idle"
# beside it.
mkdir -p "$run/ours"
strip -o "$run/ours/supervisor" "$daemon"
printf '%s' "$child_script" >"$run/ours/idle"
chmod 755 "$run/ours/idle"
cat >"$run/ours/config" <<'EOF'
{ "__watch": { "processes": [ { "base": "idle" } ] } }
EOF

# The peers: one service directory each, whose run script is the child.
for p in $peers; do
	mkdir -p "$run/$p/svc"
	printf '%s' "$child_script" >"$run/$p/svc/run"
	chmod 755 "$run/$p/svc/run"
done

sandboxes=""
cleanup()
{
	for s in $sandboxes; do
		kill -KILL "$s" 2>/dev/null || true
	done
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# sandbox NAME DIR CMD...: runs CMD in DIR in a private PID and mount namespace with a
# tmpfs over /tmp (and /data, where the machine has one: it is never created), under a
# shell that only waits for it; output goes to $run/NAME.log. The host's pid of unshare
# goes to $run/NAME.unshare.
sandbox()
{
	sb_name=$1
	shift
	# shellcheck disable=SC2016
	unshare --pid --fork --kill-child --mount-proc --mount --propagation private sh -c '
		mount -t tmpfs footprint-tmp /tmp
		if [ -d /data ]; then mount -t tmpfs footprint-data /data; fi
		log=$1
		cd "$2"
		shift 2
		"$@" </dev/null >"$log" 2>&1 &
		wait' sh "$run/$sb_name.log" "$@" &
	echo $! >"$run/$sb_name.unshare"
	sandboxes="$sandboxes $!"
}

# supervisor_pid NAME: the host's pid of the supervisor in sandbox NAME, once it has its
# child sleeping; empty until then.
supervisor_pid()
{
	sp_init=$(ps -o pid= --ppid "$(cat "$run/$1.unshare")" | tr -d ' ')
	[ -n "$sp_init" ] || return 0
	sp_pid=$(ps -o pid= --ppid "$sp_init" | tr -d ' ')
	[ -n "$sp_pid" ] || return 0
	ps -o comm= --ppid "$sp_pid" | grep -qx sleep && echo "$sp_pid"
	return 0
}

# Pages of a file written moments ago are still dirty in the page cache and would count
# as the process's Private_Dirty: every measured file reaches the disk first.
sync "$run/ours/supervisor" "$peer_root/usr/bin/"* "$peer_libs/"*

cd "$run"
sandbox ours "$run/ours" "$run/ours/supervisor"
sandbox runsv "$run/runsv" "$peer_root/usr/bin/runsv" svc
sandbox s6-supervise "$run/s6-supervise" env LD_LIBRARY_PATH="$peer_libs" \
	"$peer_root/usr/bin/s6-supervise" svc
sandbox supervise "$run/supervise" "$peer_root/usr/bin/supervise" svc

names="ours $peers"
for n in $names; do
	tries=0
	while pid=$(supervisor_pid "$n") && [ -z "$pid" ]; do
		tries=$((tries + 1))
		if [ "$tries" -gt 100 ]; then
			echo "footprint: $n did not start its child; its output:" >&2
			cat "$run/$n.log" >&2 || true
			exit 1
		fi
		sleep 0.1
	done
	echo "$pid" >"$run/$n.pid"
done
# Start-up is over (the child runs); let the supervisors settle before counting.
sleep 2

# sample NAME WHEN: ctxt switches and CPU ticks of NAME's supervisor into $run/NAME.WHEN.
sample()
{
	sa_pid=$(cat "$run/$1.pid")
	sa_sw=$(awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n }' \
		"/proc/$sa_pid/status")
	# utime and stime are fields 14 and 15; the command name (field 2) has no blank here.
	sa_ticks=$(awk '{ print $14 + $15 }' "/proc/$sa_pid/stat")
	echo "$sa_sw $sa_ticks" >"$run/$1.$2"
}
# memory NAME: Rss Pss Private_Dirty and PSS without the C library and the loader (kB).
memory()
{
	me_pid=$(cat "$run/$1.pid")
	me_roll=$(awk '$1 == "Rss:" { r = $2 } $1 == "Pss:" { p = $2 }
		$1 == "Private_Dirty:" { d = $2 } END { print r, p, d }' "/proc/$me_pid/smaps_rollup")
	me_libc=$(awk '/^[0-9a-f]+-[0-9a-f]+ / { lib = ($6 ~ /\/(libc\.so|ld-linux)[^\/]*$/) }
		lib && $1 == "Pss:" { n += $2 } END { print n + 0 }' "/proc/$me_pid/smaps")
	echo "$me_roll $me_libc"
}

for n in $names; do sample "$n" start; done
sleep "$idle"
for n in $names; do sample "$n" end; done
for n in $names; do
	memory "$n" >"$run/$n.mem"
	# Kept for a closer look, mapping by mapping.
	cp "/proc/$(cat "$run/$n.pid")/smaps" "$run/$n.smaps"
done
for n in $names; do
	kill -KILL "$(cat "$run/$n.unshare")" 2>/dev/null || true
done
wait 2>/dev/null || true
sandboxes=""

# --- The table ----------------------------------------------------------------------------------
row()
{
	printf '%-13s %6s %-36s %6s %6s %6s %8s %8s %5s %5s\n' "$@"
}
echo "x86-64, $(getconf GNU_LIBC_VERSION); each supervising one sleeping child; all four at once;" \
	"ctxsw and ticks (1/$(getconf CLK_TCK) s) over ${idle} s idle; PSS-libc: PSS less libc and ld.so"
row program "bin B" "needed" "libs B" "RSS kB" "PSS kB" "PSS-libc" "PrivDirt" "ctxsw" "ticks"
for n in $names; do
	if [ "$n" = ours ]; then
		file=$run/ours/supervisor label=supervisor
	else
		file=$peer_root/usr/bin/$n label=$n
	fi
	size=$(size_of strip "$file")
	read -r rss pss dirty libc <"$run/$n.mem"
	read -r sw0 t0 <"$run/$n.start"
	read -r sw1 t1 <"$run/$n.end"
	row "$label" "$size" "$(needed "$file")" "$(extra_lib_size "$file" "$peer_libs" "$host_libs")" \
		"$rss" "$pss" "$((pss - libc))" "$dirty" "$((sw1 - sw0))" "$((t1 - t0))"
	echo "$n $size $pss $((pss - libc))" >>"$run/figures"
done

# --- MIPS: stripped size and libraries only -------------------------------------------------------
mips_ratio=""
if [ -x "$mips_daemon" ] && command -v mips-linux-gnu-strip >/dev/null; then
	fetch_peers mipsel
	echo
	echo "32-bit MIPS: our daemon big-endian on uClibc-ng (cJSON static), the peers Debian's mipsel;" \
		"memory n/a under qemu-user"
	row program "bin B" "needed" "libs B" "RSS kB" "PSS kB" "PSS-libc" "PrivDirt" "ctxsw" "ticks"
	ours=$(size_of mips-linux-gnu-strip "$mips_daemon")
	row supervisor "$ours" "$(needed "$mips_daemon")" \
		"$(extra_lib_size "$mips_daemon" "$top/build-gateway/sdk/sysroot/usr/lib")" n/a n/a n/a n/a n/a n/a
	smallest=""
	for p in $peers; do
		file=$work/mipsel/usr/bin/$p
		size=$(size_of mips-linux-gnu-strip "$file")
		row "$p" "$size" "$(needed "$file")" \
			"$(extra_lib_size "$file" "$work/mipsel/usr/lib/mipsel-linux-gnu")" \
			n/a n/a n/a n/a n/a n/a
		if [ -z "$smallest" ] || [ "$size" -lt "${smallest#* }" ]; then smallest="$p $size"; fi
	done
	mips_ratio=$(awk -v o="$ours" -v p="${smallest% *}" -v s="${smallest#* }" 'BEGIN {
		printf "MIPS stripped size: supervisor / %s = %.2f\n", p, o / s }')
else
	echo
	echo "(no MIPS table: run scripts/gateway.sh build first)"
fi

# --- Ratios to the smallest peer ------------------------------------------------------------------
echo
[ -z "$mips_ratio" ] || echo "$mips_ratio (goal <= 1.0)"
awk '$1 == "ours" { size = $2; pss = $3; own = $4; next }
	{ if (!bs || $2 < bs) { bs = $2; bn = $1 } if (!bp || $3 < bp) { bp = $3; bpn = $1; bo = $4 } }
	END {
		printf "stripped size: supervisor / %s = %.2f (goal <= 1.0)\n", bn, size / bs
		printf "PSS: supervisor / %s = %.2f (goal <= 1.0); without the C library %.2f\n", bpn, pss / bp, own / bo
	}' "$run/figures"
