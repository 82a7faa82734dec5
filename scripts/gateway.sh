#!/bin/sh
# The gateway in a box (gateway/): build | demo | test.
exec "$(dirname "$0")/../gateway/gateway.sh" "$@"
