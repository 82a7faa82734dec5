#!/bin/sh
# Footprint and speed on the target: boots the gateway image under qemu-system-mips (building
# what is missing with scripts/gateway.sh build) and measures, inside it and in the same boot
# (bench/gateway-footprint-guest.sh):
# - our static uClibc-ng daemon and BusyBox runsv (static, the same C library), each
#   supervising one sleeping child: the stripped size of the file each runs from (for runsv
#   the whole BusyBox), RSS, PSS and Private_Dirty from the guest's /proc/PID/smaps_rollup,
#   and the wake-ups (context switches) over 20 idle seconds. The daemon and its child run
#   from a disk of their own (ext4, on /data), as from a gateway's flash, runsv from the
#   system's BusyBox. Then where each one's resident and dirty pages are, by mapping, and the line
#   "private_dirty ratio X; pss ratio Y", ours over runsv's. PSS divides each shared page
#   among the processes that map it: BusyBox's text is shared with init, the shell and the
#   other applets that run, the daemon's with nobody.
# - one send of the same message to the same fast service (the message service's stand-in,
#   logging nothing) on the image's system bus, by uniform-send, dbus-send and gdbus call,
#   all built with the SDK: the wall time from fork to reaping and the peak resident set
#   (ru_maxrss) over 50 runs each, in alternating rounds of 5, and the ratios of
#   uniform-send's to the others'; then
#   each file uniform-send maps (the program, libcapi3, GLib, the C library: the image's
#   files are stripped) with its size, and its memory while it waits for an answer.
# Needs root (apt-get for what is missing: scripts/gateway.sh build installs what the gateway
# needs, the tools used here among them).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build-gateway
work=$out/footprint

"$top/scripts/gateway.sh" build >&2
rm -rf "$work"
mkdir -p "$work/overlay/usr/lib/gateway" "$work/disk/footprint"
mkdir -p "$work/overlay/usr/bin"
cp "$top/bench/gateway-footprint-guest.sh" "$work/overlay/usr/lib/gateway/footprint"
cp "$out/image/sample/bin/time-runs" "$work/overlay/usr/bin/"
root=$out/image/root
cp "$root/usr/sbin/supervisor" "$work/disk/footprint/"
cp "$root/usr/sbin/sample-exit" "$work/disk/footprint/sleeper"
printf '{"__watch": {"processes": [{"base": "sleeper"}]}}\n' >"$work/disk/footprint/config"
mke2fs -q -t ext4 -d "$work/disk" "$work/disk.img" 16M >/dev/null
echo "booting the gateway image; 20 s idle spell, then 3 x 55 sends (console in ${work#"$top"/}/console.log)" >&2
timeout 600 "$top/scripts/gateway.sh" boot footprint "$work/console.log" "$work/results" "$work/overlay" "$work/disk.img"

tr -d '\r' <"$work/results" | awk '
	NF == 6 && ($1 == "supervisor" || $1 == "runsv") {
		n++; name[n] = $1; size[n] = $2; rss[n] = $3; pss[n] = $4; pd[n] = $5; wake[n] = $6
	}
	$1 == "map" { maps[$2] = maps[$2] sprintf("  %6d %6d  %s\n", $3, $4, $5) }
	$1 == "pagesize" { pagesize = $2 }
	$1 == "send" {
		if (!($2 in runs)) { s++; cmd[s] = $2; low[$2] = $6 }
		runs[$2] += $3; sum[$2] += $3 * $4; medians[$2] = medians[$2] " " $5
		if ($6 < low[$2]) low[$2] = $6
		if ($7 > peak[$2]) peak[$2] = $7
		bad[$2] += $8
	}
	$1 == "loads" { loads = loads sprintf("  %9d  %s\n", $3, $2); total += $3 }
	$1 == "waiting" { waiting = sprintf("RSS %d kB, PSS %d kB, Private_Dirty %d kB", $2, $3, $4) }
	# median LIST: the median of the numbers of a blank-separated list.
	function median(list,    v, k, i, j, t) {
		k = split(list, v, " ")
		for (i = 2; i <= k; i++)
			for (j = i; j > 1 && v[j - 1] + 0 > v[j] + 0; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
		return k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
	}
	END {
		if (n != 2) { print "gateway-footprint: no figures from the guest" > "/dev/stderr"; exit 1 }
		printf "%-12s %14s %9s %9s %19s %18s\n", "program", "stripped size", "RSS kB", "PSS kB",
			"Private_Dirty kB", "wake-ups in 20 s"
		for (i = 1; i <= n; i++)
			printf "%-12s %14d %9d %9d %19d %18d\n", name[i], size[i], rss[i], pss[i], pd[i], wake[i]
		printf "\nwhere the resident pages are (kB; the kernel'"'"'s page size is %d kB):\n", pagesize
		for (i = 1; i <= n; i++)
			printf "%s:\n     RSS  dirty  mapping\n%s", name[i], maps[name[i]]
		printf "\nprivate_dirty ratio %.2f; pss ratio %.2f\n", pd[1] / pd[2], pss[1] / pss[2]
		if (s != 3) { print "gateway-footprint: no send figures from the guest" > "/dev/stderr"; exit 1 }
		printf "\none send, %d runs each in rounds of %d, alternating, in the guest:\n", runs[cmd[1]], 5
		printf "%-14s %9s %16s %8s %13s %7s\n", "command", "mean ms", "median of rounds", "min ms",
			"peak RSS kB", "failed"
		for (i = 1; i <= s; i++) {
			c = cmd[i]; mean[c] = sum[c] / runs[c]; med[c] = median(medians[c])
			printf "%-14s %9.1f %16.1f %8.1f %13d %7d\n", c, mean[c] / 1000, med[c] / 1000, low[c] / 1000,
				peak[c], bad[c]
		}
		for (i = 2; i <= s; i++)
			printf "uniform-send / %s: time %.2f (mean), %.2f (median), %.2f (min); peak memory %.2f\n",
				cmd[i], mean[cmd[1]] / mean[cmd[i]], med[cmd[1]] / med[cmd[i]], low[cmd[1]] / low[cmd[i]],
				peak[cmd[1]] / peak[cmd[i]]
		printf "\nwhat uniform-send maps, stripped sizes in bytes:\n%s  %9d  in all\n", loads, total
		printf "uniform-send while it waits for its answer: %s\n", waiting
		for (c in bad) if (bad[c]) exit 1
	}'
