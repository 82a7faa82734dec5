#!/bin/sh
# The gateway in a box: an SDK (uClibc-ng sysroot and CMake toolchain file), BusyBox and a
# big-endian MIPS kernel, all built from Debian's source packages, and an initramfs image
# that boots under qemu-system-mips with the daemon started by init.
#
#   scripts/gateway.sh build    SDK, BusyBox, kernel and image, into build-gateway/
#   scripts/gateway.sh demo     boots the image and shows the daemon at work on its console
#   scripts/gateway.sh test     the in-image tests and the black-box suite on uClibc-ng
#
# Builds are reused while their inputs are unchanged (each is keyed by a hash of them).
# Needs root (apt-get for what is missing, the sandbox of the black-box suite).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
out=${GATEWAY_OUT:-$top/build-gateway}

# --- SDK: uClibc-ng sysroot, cJSON, toolchain file ------------------------------------------

# --- BusyBox ---------------------------------------------------------------------------------

# --- The daemon on uClibc-ng: static for the image, dynamic for the black-box suite ----------

# --- Kernel ------------------------------------------------------------------------------------

# --- Image -------------------------------------------------------------------------------------

# --- Demo --------------------------------------------------------------------------------------

# --- Tests -------------------------------------------------------------------------------------

case "${1:-}" in
build) ;;
demo) ;;
test) ;;
*) echo "usage: $0 build | demo | test" >&2; exit 2 ;;
esac
