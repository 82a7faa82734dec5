# No message service on the bus: the bus answers the call with an error at once.
. ./lib.sh
no_service
send 16 'anybody there'
