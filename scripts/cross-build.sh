#!/bin/sh
# Cross build of the daemon for the gateway (32-bit big-endian MIPS, Linux) into
# ./build-mips, with cmake/mips-linux-gnu.cmake.
#
# Debian has no big-endian MIPS port, so the target's cJSON is built here from Debian's
# source package, as a static library, into the root build-mips/sysroot (usr/include,
# usr/lib, usr/lib/pkgconfig/libcjson.pc). The source comes through a private apt
# configuration under build-mips/deps/apt (its own sources, lists and cache); the
# machine's own apt set-up is only read, never changed. uniform-send and the stand-ins
# (GLib for the target) are left out. The tree also holds the sleep interposer built for
# the target and the black-box tests, which run the daemon under qemu-mips and start the
# stand-in program of the host build in ./build (scripts/test-mips.sh runs them).
#
#   scripts/cross-build.sh            build, then show the daemon's file type and size
#   scripts/cross-build.sh --check    also start the built daemon once under qemu-mips in a
#                                     sandbox, with a config naming a missing program
#   scripts/cross-build.sh --musl     the same for this machine's processor against musl, a
#                                     small C library (cmake/x86_64-linux-musl.cmake), into
#                                     ./build-musl; its programs run natively
#
# Needs root only to install what is missing (apt-get) and for the sandbox of --check.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=$top/build-mips
triple=mips-linux-gnu

check=0
case "${1:-}" in
--check) check=1 ;;
--musl) out=$top/build-musl triple=x86_64-linux-musl ;;
"") ;;
*) echo "usage: $0 [--check | --musl]" >&2; exit 2 ;;
esac
deps=$out/deps
sysroot=$out/sysroot
toolchain=$top/cmake/$triple.cmake

# --- Tools -------------------------------------------------------------------------------
"$top/scripts/deps.sh" cross

# --- cJSON source, through a private apt configuration ----------------------------------
src=$deps/src
mkdir -p "$src"
cjson_src=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'cjson-*' | head -n 1)
if [ -z "$cjson_src" ]; then
	. "$top/scripts/private-apt.sh"
	private_apt "$deps/apt" deb-src
	# apt downloads as its unprivileged user, which needs to write there.
	chown _apt "$src" 2>/dev/null || true
	(cd "$src" && apt-get source -qq cjson)
	unset APT_CONFIG
	cjson_src=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'cjson-*' | head -n 1)
	[ -n "$cjson_src" ] || { echo "apt-get source cjson unpacked nothing" >&2; exit 1; }
fi

# --- cJSON for the target: static, installed into the sysroot --------------------------
cmake -S "$cjson_src" -B "$deps/cjson-build" -G Ninja \
	-DCMAKE_TOOLCHAIN_FILE="$toolchain" \
	-DCMAKE_BUILD_TYPE=MinSizeRel \
	-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib \
	-DCMAKE_POSITION_INDEPENDENT_CODE=ON \
	-DBUILD_SHARED_LIBS=OFF -DENABLE_CJSON_UTILS=OFF -DENABLE_CJSON_TEST=OFF \
	-DENABLE_TARGET_EXPORT=OFF -Wno-deprecated >/dev/null
cmake --build "$deps/cjson-build"
DESTDIR=$sysroot cmake --install "$deps/cjson-build" >/dev/null
for f in usr/lib/libcjson.a usr/lib/pkgconfig/libcjson.pc usr/include/cjson/cJSON.h; do
	[ -f "$sysroot/$f" ] || { echo "cJSON install lacks $f" >&2; exit 1; }
done

# --- The daemon -------------------------------------------------------------------------
cmake -S "$top" -B "$out" -G Ninja \
	-DCMAKE_TOOLCHAIN_FILE="$toolchain" \
	-DCMAKE_SYSROOT="$sysroot" \
	-DCMAKE_BUILD_TYPE=MinSizeRel \
	-DBUILD_TESTING=ON -DHOST_FAKE_PROG="$top/build/stand-ins/watched-program/watched-program" \
	-DBUILD_UNIFORM_SEND=OFF >/dev/null
cmake --build "$out"

daemon=$out/supervisor/supervisor
(cd "$top" && file "${out#"$top"/}/supervisor/supervisor")
echo "size: $(wc -c <"$daemon") bytes"

[ "$check" = 1 ] || exit 0

# --- Optional check: the daemon starts under qemu-mips -----------------------------------
# A throwaway folder outside /tmp (the sandbox gets its own /tmp, so the host's
# /tmp/.uci is never touched), a config naming a program that does not exist: the
# daemon must report the failed exec and end.
run=$out/qemu-check
rm -rf "$run"
mkdir -p "$run"
cp "$daemon" "$run/supervisor"
cat >"$run/config" <<'EOF'
{
	"__watch": {
		"processes": [
			{ "base": "no-such-program" }
		]
	}
}
EOF
echo "--- qemu-mips ./supervisor (sandboxed)"
cd "$run"
# shellcheck disable=SC2016
status=0
timeout 60 unshare --pid --fork --mount-proc --mount --propagation private sh -c '
	mount -t tmpfs tmpfs /tmp
	[ -d /data ] && mount -t tmpfs tmpfs /data
	exec qemu-mips -L /usr/'"$triple"' -U LD_PRELOAD ./supervisor' 2>&1 || status=$?
echo "--- exit status $status"
