#!/bin/sh
# uniform-send in action: a private message bus and the sample message service on it,
# one message that the service accepts and one that it refuses (an empty text).
# Usage: demo-uniform-send.sh [BUILD_DIR] (default ./build). The machine's own buses
# are not touched: the sender finds the private bus through DBUS_SYSTEM_BUS_ADDRESS.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-./build}" && pwd)
sender=$build/uniform-send/uniform-send

work=$(mktemp -d /tmp/usend-demo.XXXXXX)
bus_pid=""
service_pid=""
cleanup() {
	[ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null
	[ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
	wait
	rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to 10 s for a command to succeed.
wait_for() {
	tries=0
	until "$@" >/dev/null 2>&1; do
		tries=$((tries + 1))
		[ "$tries" -lt 200 ] || { echo "demo: timed out waiting for: $*" >&2; exit 1; }
		sleep 0.05
	done
}

dbus-daemon --nofork --nosyslog --config-file "$top/tests/dbus/bus.conf" \
	--address "unix:path=$work/socket" --print-address >"$work/address" 2>/dev/null &
bus_pid=$!
wait_for test -s "$work/address"
DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/address")
export DBUS_SYSTEM_BUS_ADDRESS

/usr/bin/python3 "$top/stand-ins/msg-service/msg-service.py" 2>"$work/service.log" &
service_pid=$!
wait_for sh -c 'gdbus call --system --dest org.freedesktop.DBus \
	--object-path /org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner \
	com.velder.p47h18 | grep -q true'

echo "== uniform-send: private bus at $DBUS_SYSTEM_BUS_ADDRESS, sample message service up"
for text in 'hello gateway' ''; do
	echo "\$ uniform-send com.velder.demo.sender 0x10 '$text'"
	"$sender" com.velder.demo.sender 0x10 "$text"
	echo "(exit status $?)"
done
echo "== what the sample message service received"
cat "$work/service.log"
