#!/bin/sh
# Cross build of uniform-send, the libcapi3 stand-in and the daemon for 32-bit MIPS with
# Debian's GLib into ./build-mipsel, with cmake/mips-linux-gnu.cmake.
#
# The gateway is big-endian MIPS, which Debian does not ship; its closest 32-bit MIPS
# port is little-endian "mipsel", whose GLib, cJSON and C library are used here. The
# target's packages are fetched with `apt-get download` through a private apt
# configuration under build-mipsel/deps/apt and unpacked with `dpkg -x` into the root
# build-mipsel/sysroot (Debian's multiarch layout, usr/lib/mipsel-linux-gnu); nothing
# is installed into this machine for the target, and its apt set-up is only read.
# The sysroot also holds the target's C library, so that `qemu-mipsel -L SYSROOT` runs
# the programs (scripts/test-mipsel.sh does).
#
#   scripts/cross-build-sender.sh     build, then show the programs' file types, sizes
#                                     and the libraries they need
#
# Needs root only to install what is missing on the host (apt-get).
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build-mipsel
deps=$out/deps
debs=$deps/debs
sysroot=$out/sysroot
triple=mipsel-linux-gnu
toolchain=$top/cmake/mips-linux-gnu.cmake

# Headers, pkg-config files and libraries to compile and link against GLib/GIO and cJSON
# (the -dev packages that the .pc files require, privately too), and the run-time
# libraries that the programs load. The C library's headers come with the cross
# compiler; the target's libc6 is here for running under qemu.
packages="libglib2.0-dev libglib2.0-0 libffi-dev libffi8 libpcre2-dev libpcre2-8-0
zlib1g-dev zlib1g libmount-dev libmount1 libblkid-dev libblkid1 libselinux1-dev
libselinux1 libsepol-dev libsepol2 libcjson-dev libcjson1 libc6"

# --- Tools -------------------------------------------------------------------------------
"$top/scripts/deps.sh" mipsel

# --- Target packages, downloaded once -----------------------------------------------------
mkdir -p "$debs"
missing=""
for p in $packages; do
	ls "$debs/${p}"_*_"${triple%%-*}".deb >/dev/null 2>&1 || missing="$missing $p:mipsel"
done
if [ -n "$missing" ]; then
	. "$top/scripts/private-apt.sh"
	private_apt "$deps/apt" "deb [arch=mipsel]"
	# apt downloads as its unprivileged user, which needs to write there.
	chown _apt "$debs" 2>/dev/null || true
	# shellcheck disable=SC2086
	(cd "$debs" && apt-get download -qq $missing)
	unset APT_CONFIG
fi

# --- The sysroot, unpacked afresh -----------------------------------------------------------
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$debs"/*.deb; do
	dpkg -x "$deb" "$sysroot"
done
echo "target packages (Debian bookworm, mipsel):"
for deb in "$debs"/*.deb; do
	printf '  %s %s\n' "$(dpkg-deb -f "$deb" Package)" "$(dpkg-deb -f "$deb" Version)"
done

# --- The programs ----------------------------------------------------------------------------
cmake -S "$top" -B "$out" -G Ninja \
	-DCMAKE_TOOLCHAIN_FILE="$toolchain" \
	-DTARGET_TRIPLE="$triple" \
	-DCMAKE_SYSROOT="$sysroot" \
	-DCMAKE_BUILD_TYPE=MinSizeRel \
	-DBUILD_TESTING=OFF >/dev/null
cmake --build "$out" -j2

cd "$out"
for f in uniform-send/uniform-send stand-ins/libcapi3/libcapi3.so.1 supervisor/supervisor; do
	echo "--- $f"
	file -L "$f" | sed 's/^[^:]*: //'
	"$triple-strip" -o stripped.tmp "$f"
	echo "size: $(wc -c <"$f") bytes, stripped $(wc -c <stripped.tmp) bytes"
	rm -f stripped.tmp
	"$triple-readelf" -d "$f" | sed -n 's/.*(\(NEEDED\|RUNPATH\|RPATH\|SONAME\)).*\[\(.*\)\]/\1 \2/p'
done
