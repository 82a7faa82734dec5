# A text that is not valid UTF-8 (the byte 0xff): D-Bus strings must be UTF-8, so the
# sender refuses it before touching the bus, and the service receives nothing.
. ./lib.sh
service
send 1 "$(printf 'ab\377')"
received
