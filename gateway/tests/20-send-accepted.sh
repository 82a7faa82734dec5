# A message that the message service accepts, on the system bus that init started: the
# sender is built for the gateway (big-endian, uClibc-ng, GLib of the SDK), so its message
# arrives in big-endian byte order ('B').
. ./lib.sh
[ -S /var/run/dbus/system_bus_socket ] && echo "system bus: /var/run/dbus/system_bus_socket"
service
send 0x10 'hello gateway'
received
