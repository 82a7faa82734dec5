#!/bin/sh
# uniform-send in action: a private message bus and the sample message service on it,
# one message that the service accepts and one that it refuses (an empty text).
# Usage: demo-uniform-send.sh [BUILD_DIR] (default ./build). The machine's own buses
# are not touched: the sender finds the private bus through DBUS_SYSTEM_BUS_ADDRESS.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-./build}" && pwd)
sender=$build/uniform-send/uniform-send

. "$top/scripts/private-bus.sh"
private_bus_up usend-demo

echo "== uniform-send: private bus at $DBUS_SYSTEM_BUS_ADDRESS, sample message service up"
for text in 'hello gateway' ''; do
	echo "\$ uniform-send com.velder.demo.sender 0x10 '$text'"
	"$sender" com.velder.demo.sender 0x10 "$text"
	echo "(exit status $?)"
done
echo "== what the sample message service received"
cat "$work/service.log"
