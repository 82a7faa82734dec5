# No system bus at all: the sender cannot start its service. The bus and the message
# service are started again afterwards.
. ./lib.sh
no_service
/etc/init.d/S30dbus stop >/dev/null
[ -e /var/run/dbus/system_bus_socket ] || echo "no system bus socket"
send 16 'hello'
/etc/init.d/S30dbus start >/dev/null
await 10 "the system bus" test -S /var/run/dbus/system_bus_socket
service
send 16 'hello again'
