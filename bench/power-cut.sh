#!/bin/sh
# bench/power-cut.sh N: N power cuts during installs on the emulated gateway (a SIGKILL of
# qemu at a random moment of each install), each checked from the host on the disk image and
# from the guest at the next boot. Prints each cut, then the table of where the cuts landed
# and what they left; the last line is "cuts: N, torn: T". More options: gateway/power-cut/harness.py.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 N [harness options]" >&2; exit 2; }
top=$(cd "$(dirname "$0")/.." && pwd)
n=$1
shift
exec sh "$top/gateway/gateway.sh" power-cut "$@" "$n"
