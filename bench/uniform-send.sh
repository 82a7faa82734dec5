#!/bin/sh
# Times one whole send, process start to exit, of uniform-send against the stock D-Bus
# command-line clients, all sending the same (qus) message to the same sample message
# service on a private bus: dbus-send (libdbus), gdbus call (GDBus), and busctl (sd-bus)
# when it can reach a bus without systemd. Prints mean and min of each, then the ratios
# of uniform-send to gdbus call and to dbus-send.
# Usage: bench/uniform-send.sh [BUILD_DIR] [RUNS]   (defaults: ./build, 300)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-./build}" && pwd)
runs=${2:-300}
sender=$build/uniform-send/uniform-send
[ -x "$sender" ] || { echo "bench: no $sender; build first" >&2; exit 1; }

"$top/scripts/deps.sh" bench

. "$top/scripts/private-bus.sh"
private_bus_up usend-bench -q
socket=$work/socket

dest=com.velder.p47h18
path=/com/velder/p47h18
iface=com.velder.p47h18.sendmsg
set -- \
	-n uniform-send "$sender com.velder.bench.sender 256 hello" \
	-n dbus-send "dbus-send --system --print-reply --dest=$dest $path $iface.UniformSendMsg uint16:256 uint32:5 string:hello" \
	-n "gdbus call" "gdbus call --system --dest $dest --object-path $path --method $iface.UniformSendMsg 256 5 hello"
busctl_call="busctl --address=unix:path=$socket call $dest $path $iface UniformSendMsg qus 256 5 hello"
if command -v busctl >/dev/null && $busctl_call >/dev/null 2>&1; then
	set -- "$@" -n busctl "$busctl_call"
else
	echo "bench: busctl cannot reach the private bus here; left out" >&2
fi

# Every command must succeed before it is timed.
"$sender" com.velder.bench.sender 256 hello | grep -q '^successful send len(5)$' ||
	{ echo "bench: uniform-send did not get its message accepted" >&2; exit 1; }

hyperfine -N --warmup 20 --runs "$runs" --export-json "$work/times.json" "$@" >/dev/null

/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
results = {r['command']: r for r in json.load(open(sys.argv[1]))['results']}
print(f"{'command':<14}{'mean ms':>9}{'min ms':>9}{'user ms':>9}{'sys ms':>9}")
for name, r in results.items():
    print(f"{name:<14}{r['mean']*1e3:9.2f}{r['min']*1e3:9.2f}{r['user']*1e3:9.2f}{r['system']*1e3:9.2f}")
us = results['uniform-send']
for other, goal in (('gdbus call', 0.9), ('dbus-send', 1.3)):
    mean = us['mean'] / results[other]['mean']
    low = us['min'] / results[other]['min']
    print(f"uniform-send / {other}: {mean:.2f} (mean), {low:.2f} (min); goal <= {goal}")
PY
