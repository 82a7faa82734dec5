# A message that the message service refuses: it answers with reply type 0x101.
. ./lib.sh
service -r 0x101
send 16 'not this one'
received
