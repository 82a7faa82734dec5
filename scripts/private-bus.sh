# Sourced by the uniform-send demo and bench: a private message bus with the sample
# message service on it, both ended (and their folder removed) when the sourcing script
# exits. The machine's own buses are never touched: the sender and the clients find the
# private bus through DBUS_SYSTEM_BUS_ADDRESS.
#
#   private_bus_up NAME [SERVICE_ARG]...
#
# needs $top (the project's folder); sets $work (a new folder under /tmp named after
# NAME, holding the bus socket and the service's log service.log) and exports
# DBUS_SYSTEM_BUS_ADDRESS.

bus_pid=""
service_pid=""
work=""

private_bus_down() {
	[ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null
	[ -n "$bus_pid" ] && kill "$bus_pid" 2>/dev/null
	wait
	[ -n "$work" ] && rm -rf "$work"
}

# Waits up to 10 s for a command to succeed.
wait_for() {
	tries=0
	until "$@" >/dev/null 2>&1; do
		tries=$((tries + 1))
		[ "$tries" -lt 200 ] || { echo "timed out waiting for: $*" >&2; exit 1; }
		sleep 0.05
	done
}

private_bus_up() {
	work=$(mktemp -d "/tmp/$1.XXXXXX")
	shift
	trap private_bus_down EXIT
	trap 'exit 130' INT TERM

	dbus-daemon --nofork --nosyslog --config-file "$top/tests/dbus/bus.conf" \
		--address "unix:path=$work/socket" --print-address >"$work/address" 2>/dev/null &
	bus_pid=$!
	wait_for test -s "$work/address"
	DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/address")
	export DBUS_SYSTEM_BUS_ADDRESS

	/usr/bin/python3 "$top/stand-ins/msg-service/msg-service.py" "$@" 2>"$work/service.log" &
	service_pid=$!
	wait_for sh -c 'gdbus call --system --dest org.freedesktop.DBus \
		--object-path /org/freedesktop/DBus --method org.freedesktop.DBus.NameHasOwner \
		com.velder.p47h18 | grep -q true'
}
