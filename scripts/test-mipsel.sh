#!/bin/sh
# Cross-builds uniform-send and the libcapi3 stand-in for 32-bit MIPS (mipsel, with
# scripts/cross-build-sender.sh) and runs the sender's D-Bus tests on the built sender
# under qemu-mipsel. The private bus and the mock message service run on this machine;
# only the sender is emulated, with the target root as its file system prefix. The
# sender finds the stand-in library through its build-tree run path.
#
#   scripts/test-mipsel.sh [PYTEST-ARGUMENT]...
#
# Needs root only to install what is missing (apt-get).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build-mipsel

"$top/scripts/deps.sh" mipsel
"$top/scripts/cross-build-sender.sh"

# qemu-mipsel is a program of this machine: a library path or preload meant for this
# machine must reach neither it nor the sender, which gets its environment from it.
UNIFORM_SEND=$out/uniform-send/uniform-send
UNIFORM_SEND_PREFIX="env -u LD_PRELOAD -u LD_LIBRARY_PATH qemu-mipsel -L '$out/sysroot'"
export UNIFORM_SEND UNIFORM_SEND_PREFIX
cd "$top/tests/dbus"
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider -rs . "$@"
