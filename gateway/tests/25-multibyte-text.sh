# A text with multi-byte characters: its length is counted in bytes, and the service
# receives it unchanged.
. ./lib.sh
service
send 1 'Grüße ✓ 网关'
received
