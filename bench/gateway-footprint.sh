#!/bin/sh
# Footprint on the target: boots the gateway image under qemu-system-mips (building what is
# missing with scripts/gateway.sh build) and measures, inside it and in the same boot, our
# static uClibc-ng daemon and BusyBox runsv (static, the same C library), each supervising
# one sleeping child: the stripped size of the file each runs from (for runsv the whole
# BusyBox), RSS, PSS and Private_Dirty from the guest's /proc/PID/smaps_rollup, and the
# wake-ups (context switches) over 20 idle seconds (bench/gateway-footprint-guest.sh). The
# daemon and its child run from a disk of their own (ext4, on /data), as from a gateway's
# flash, runsv from the system's BusyBox. Then the mappings that hold our private dirty
# memory, and last the line "private_dirty ratio X; pss ratio Y", ours over runsv's.
# PSS divides each shared page among the processes that map it: BusyBox's text is shared
# with init, the shell and the other applets that run, the daemon's with nobody.
# Needs root (apt-get for what is missing: scripts/gateway.sh build installs what the gateway
# needs, the tools used here among them).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${GATEWAY_OUT:-$top/build-gateway}
work=$out/footprint

"$top/scripts/gateway.sh" build >&2
rm -rf "$work"
mkdir -p "$work/overlay/usr/lib/gateway" "$work/disk/footprint"
cp "$top/bench/gateway-footprint-guest.sh" "$work/overlay/usr/lib/gateway/footprint"
root=$out/image/root
cp "$root/usr/sbin/supervisor" "$work/disk/footprint/"
cp "$root/usr/sbin/sample-exit" "$work/disk/footprint/sleeper"
printf '{"__watch": {"processes": [{"base": "sleeper"}]}}\n' >"$work/disk/footprint/config"
mke2fs -q -t ext4 -d "$work/disk" "$work/disk.img" 16M >/dev/null
echo "booting the gateway image; 20 s idle spell (console in ${work#"$top"/}/console.log)" >&2
"$top/scripts/gateway.sh" boot footprint "$work/console.log" "$work/results" "$work/overlay" "$work/disk.img"

tr -d '\r' <"$work/results" | awk '
	NF == 6 { n++; name[n] = $1; size[n] = $2; rss[n] = $3; pss[n] = $4; pd[n] = $5; wake[n] = $6 }
	$1 == "map" { maps = maps sprintf("  %6d kB  %s\n", $2, $3) }
	END {
		if (n != 2) { print "gateway-footprint: no figures from the guest" > "/dev/stderr"; exit 1 }
		printf "%-12s %14s %9s %9s %19s %18s\n", "program", "stripped size", "RSS kB", "PSS kB",
			"Private_Dirty kB", "wake-ups in 20 s"
		for (i = 1; i <= n; i++)
			printf "%-12s %14d %9d %9d %19d %18d\n", name[i], size[i], rss[i], pss[i], pd[i], wake[i]
		printf "\nthe private dirty memory of %s, by mapping:\n%s\n", name[1], maps
		printf "private_dirty ratio %.2f; pss ratio %.2f\n", pd[1] / pd[2], pss[1] / pss[2]
	}'
