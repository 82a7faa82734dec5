#!/bin/sh
# The gateway in a box: an SDK (uClibc-ng sysroot with GLib and D-Bus, CMake toolchain file,
# Meson cross file), BusyBox and a big-endian MIPS kernel, all built from Debian's source
# packages, and an initramfs image that boots under qemu-system-mips with the daemon, the
# system bus and the message service started by init, and the sender beside them.
#
#   scripts/gateway.sh build    SDK, BusyBox, kernel and image, into build-gateway/
#   scripts/gateway.sh sdk      the SDK alone (build-gateway/sdk)
#   scripts/gateway.sh demo     boots the image and shows the daemon at work on its console,
#                               then a message sent and acknowledged
#   scripts/gateway.sh test     the in-image tests, the black-box suite on uClibc-ng and the
#                               sender's D-Bus tests against the big-endian sender
#   scripts/gateway.sh power-cut [HARNESS OPTIONS] CUTS
#                               power cuts during installs (gateway/power-cut/harness.py)
#
# Each of these installs what it needs (scripts/deps.sh) before it starts; the steps that
# CTest, the bench and the power-cut harness call (scenarios, cuts, boot, ubi-disk) install
# nothing. Builds are reused while their inputs are unchanged (each is keyed by a hash of
# them). Needs root (apt-get for what is missing, the sandbox of the black-box suite).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
out=${GATEWAY_OUT:-$top/build-gateway}

# --- SDK: uClibc-ng sysroot, cJSON, toolchain file ------------------------------------------
cross=mips-linux-gnu
sdk=$out/sdk
sysroot=$sdk/sysroot

# A build is reused while the key of its inputs is the one stamped in its output directory:
# input_key hashes files (their text) and words (package versions, source directories).
input_key()
{
	for i; do
		if [ -f "$i" ]; then cat "$i"; else echo "$i"; fi
	done | sha256sum | cut -c1-16
}
fresh() { [ "$(cat "$1/.key" 2>/dev/null)" = "$2" ]; }
stamp() { echo "$2" >"$1/.key"; }
pkg_version() { dpkg-query -W -f='${Version}' "$1"; }

# fetch_source PKG: the directory of Debian's source package PKG, unpacked under $out/src
# the first time through the project's private apt configuration.
fetch_source()
{
	fs_dir=$(find "$out/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" 2>/dev/null | head -n 1)
	if [ -z "$fs_dir" ]; then
		mkdir -p "$out/src"
		(
			. "$top/scripts/private-apt.sh"
			private_apt "$out/apt" deb-src >&2
			# apt downloads as its unprivileged user, which needs to write there.
			chown _apt "$out/src" 2>/dev/null || true
			cd "$out/src" && apt-get source -qq "$1" >&2
		)
		fs_dir=$(find "$out/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n 1)
		[ -n "$fs_dir" ] || { echo "apt-get source $1 unpacked nothing" >&2; return 1; }
	fi
	echo "$fs_dir"
}

# check_fragment DIR FRAGMENT: each option set in FRAGMENT holds in DIR/.config (an option
# whose dependencies are missing is dropped silently otherwise).
check_fragment()
{
	grep -E '^[A-Za-z0-9_]+=|^# [A-Za-z0-9_]+ is not set' "$2" | while IFS= read -r line; do
		grep -qxF "$line" "$1/.config" || { echo "$2: not taken: $line" >&2; return 1; }
	done
}

# The sysroot: Linux's headers (linux-libc-dev-mips-cross), uClibc-ng from uclibc-source with
# gateway/uclibc/config and its patches, then cJSON from Debian's source package; beside it
# the CMake toolchain file and the Meson cross file made from it.
build_sdk()
{
	tarball=$(dpkg -L uclibc-source | grep '/uClibc-ng-[^/]*\.tar\.xz$' | head -n 1)
	cjson_src=$(fetch_source cjson)
	key=$(input_key "$tarball" "$(pkg_version uclibc-source)" "$(pkg_version linux-libc-dev-mips-cross)" \
		"$($cross-gcc --version | head -n 1)" "${cjson_src##*/}" $(find "$here/uclibc" -maxdepth 1 -type f | sort))
	fresh "$sdk" "$key" && return 0
	echo "--- SDK: uClibc-ng, cJSON (into ${sdk#"$top"/})"

	work=$out/sdk-work
	rm -rf "$sdk" "$work"
	mkdir -p "$sysroot/usr/include" "$work"
	for d in $(dpkg -L linux-libc-dev-mips-cross | sed -n "s|^/usr/$cross/include/\([^/]*\)/.*|\1|p" | sort -u); do
		cp -a "/usr/$cross/include/$d" "$sysroot/usr/include/"
	done

	tar -xJf "$tarball" -C "$work"
	uclibc=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'uClibc-ng-*')
	for p in "$here"/uclibc/*.patch; do
		patch -d "$uclibc" -p1 --quiet <"$p"
	done
	make -C "$uclibc" ARCH=mips defconfig >/dev/null
	# Where it builds from and installs to; the options themselves are in the fragment.
	printf '%s\n' "KERNEL_HEADERS=\"$sysroot/usr/include\"" "CROSS_COMPILER_PREFIX=\"$cross-\"" \
		'RUNTIME_PREFIX="/"' 'DEVEL_PREFIX="/usr/"' 'SHARED_LIB_LOADER_PREFIX="/lib"' |
		cat "$here/uclibc/config" - >>"$uclibc/.config"
	make -C "$uclibc" olddefconfig >/dev/null 2>&1
	check_fragment "$uclibc" "$here/uclibc/config"
	make -C "$uclibc" -j2 >"$work/uclibc.log" 2>&1 || { tail -n 30 "$work/uclibc.log" >&2; return 1; }
	make -C "$uclibc" PREFIX="$sysroot" install >>"$work/uclibc.log" 2>&1 ||
		{ tail -n 30 "$work/uclibc.log" >&2; return 1; }
	cp "$here/uclibc/toolchainfile.cmake" "$sdk/toolchainfile.cmake"
	cmake -DTOOLCHAIN="$sdk/toolchainfile.cmake" -DOUT="$sdk/meson-cross.ini" -P "$here/uclibc/meson-cross.cmake"

	cmake -S "$cjson_src" -B "$work/cjson" -G Ninja -Wno-deprecated \
		-DCMAKE_TOOLCHAIN_FILE="$sdk/toolchainfile.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
		-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
		-DBUILD_SHARED_LIBS=OFF -DENABLE_CJSON_UTILS=OFF -DENABLE_CJSON_TEST=OFF \
		-DENABLE_TARGET_EXPORT=OFF >/dev/null
	cmake --build "$work/cjson" >/dev/null
	DESTDIR=$sysroot cmake --install "$work/cjson" >/dev/null
	stamp "$sdk" "$key"
}

# --- The SDK's libraries: GLib and D-Bus, with what they need --------------------------------
# Each is a folder gateway/NAME: "source" names its Debian source package, "options" holds
# the options of its build, one a line, each with its reason, and *.patch are its patches.
# It is built into a stage of its own ($out/sdk-lib/NAME, installed there with DESTDIR),
# keyed by its source, its folder, the C library and the keys of the libraries it builds on,
# and the stage is then copied into the sysroot, where the files of its previous build are
# removed first. Every library is optimised for size and built with stack canaries.
sdk_lib_cflags="-Os -fstack-protector-strong"

# words FILE: the words of FILE, comments and blank lines left out.
words() { sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$1"; }

# The key of the whole SDK, the C library's and every library's: what a build made with the
# SDK depends on.
sdk_key() { cat "$sdk/.key" "$sdk"/lib-keys/* 2>/dev/null | sha256sum | cut -c1-16; }

# The SDK's C compiler with its flags, for builds that take a compiler command (configure).
sdk_cc()
{
	echo "$cross-gcc --sysroot=$sysroot $(cmake -DTOOLCHAIN="$sdk/toolchainfile.cmake" -P "$here/uclibc/c-flags.cmake")"
}

# The processor time, in seconds, of this shell and of the commands it has waited for.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%d\n", ($14 + $15 + $16 + $17) / hz }' /proc/$$/stat; }

# lib_begin NAME [DEPENDENCY...]: fails when the library NAME is built and in the sysroot
# with the key of its inputs. Otherwise starts afresh, sets lib_src (its source, patched),
# lib_build (an empty build directory), lib_stage (the DESTDIR to install into) and lib_log.
lib_begin()
{
	lib=$1
	shift
	lib_src=$(fetch_source "$(words "$here/$lib/source")")
	lib_out=$out/sdk-lib/$lib
	lb_deps=
	for lb_dep; do
		lb_deps="$lb_deps $(cat "$sdk/lib-keys/$lb_dep")"
	done
	lib_key=$(input_key "${lib_src##*/}" "$(cat "$sdk/.key")" "$sdk_lib_cflags" $lb_deps \
		$(find "$here/$lib" -type f | sort))
	fresh "$lib_out" "$lib_key" && [ "$(cat "$sdk/lib-keys/$lib" 2>/dev/null)" = "$lib_key" ] && return 1
	echo "--- SDK: $lib, from ${lib_src##*/} (into ${sysroot#"$top"/})"
	lib_began=$(date +%s) lib_cpu=$(cpu_seconds)
	rm -rf "$lib_out"
	mkdir -p "$lib_out/build" "$lib_out/stage"
	lib_build=$lib_out/build
	lib_stage=$lib_out/stage
	lib_log=$lib_out/build.log
	if [ -n "$(find "$here/$lib" -name '*.patch')" ]; then
		cp -a "$lib_src" "$lib_out/src"
		lib_src=$lib_out/src
		for p in "$here/$lib"/*.patch; do
			patch -d "$lib_src" -p1 --quiet <"$p"
		done
	fi
}

# lib_run COMMAND...: runs COMMAND with its output in the library's log; on failure shows
# the log's end and fails.
lib_run()
{
	"$@" >>"$lib_log" 2>&1 || { tail -n 30 "$lib_log" >&2; echo "$lib: failed: $*" >&2; return 1; }
}

# lib_end: installs the stage into the sysroot in place of the library's previous files
# (libtool's archives left out: they name the stage's paths), and stamps it.
lib_end()
{
	find "$lib_stage" -name '*.la' -delete
	mkdir -p "$sdk/lib-files" "$sdk/lib-keys"
	if [ -f "$sdk/lib-files/$lib" ]; then
		(cd "$sysroot" && xargs rm -f <"$sdk/lib-files/$lib")
	fi
	(cd "$lib_stage" && find . ! -type d) >"$sdk/lib-files/$lib"
	cp -a "$lib_stage/." "$sysroot/"
	rm -rf "$lib_build" "$lib_out/src"
	echo "$lib_key" >"$sdk/lib-keys/$lib"
	stamp "$lib_out" "$lib_key"
	echo "$lib: built in $(($(date +%s) - lib_began)) s, $(($(cpu_seconds) - lib_cpu)) s of processor time"
}

# lib_configure [VARIABLE=VALUE...] [ARGUMENT...]: configure (autoconf's, or zlib's own) of
# lib_src, run in lib_build with the SDK's compiler, the VARIABLEs set, the ARGUMENTs and the
# library's options; then make and make install.
lib_configure()
{
	(
		cd "$lib_build"
		export CC="$(sdk_cc)" CFLAGS="$sdk_lib_cflags" PKG_CONFIG_LIBDIR="$sysroot/usr/lib/pkgconfig" \
			PKG_CONFIG_SYSROOT_DIR="$sysroot"
		unset PKG_CONFIG_PATH
		while [ $# -gt 0 ]; do
			case $1 in
			[A-Z]*=*) export "$1" ;;
			*) break ;;
			esac
			shift
		done
		lib_run "$lib_src/configure" "$@" $(words "$here/$lib/options")
		lib_run make -j2
		lib_run make DESTDIR="$lib_stage" install
	)
}

# lib_cmake DIR: the CMake project DIR with the SDK's toolchain file and the library's options.
lib_cmake()
{
	lib_run cmake -S "$1" -B "$lib_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$sdk/toolchainfile.cmake" \
		-DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_C_FLAGS="$sdk_lib_cflags" -DCMAKE_INSTALL_PREFIX=/usr \
		-DCMAKE_INSTALL_LIBDIR=lib $(words "$here/$lib/options")
	lib_run cmake --build "$lib_build" -j 2
	lib_run env DESTDIR="$lib_stage" cmake --install "$lib_build"
}

# zlib's own configure takes the target from CHOST, and position-independent code for its
# static archive from CFLAGS.
build_zlib()
{
	lib_begin zlib || return 0
	lib_configure CHOST=$cross "CFLAGS=$sdk_lib_cflags -fPIC"
	lib_end
}

build_libffi()
{
	lib_begin libffi || return 0
	lib_configure --host=$cross
	lib_end
}

build_pcre2()
{
	lib_begin pcre2 || return 0
	lib_cmake "$lib_src"
	lib_end
}

# GLib, GObject, GModule and GIO, and their tools (gdbus among them), with Meson and the
# SDK's cross file.
build_glib()
{
	build_zlib
	build_libffi
	build_pcre2
	lib_begin glib zlib libffi pcre2 || return 0
	lib_run meson setup "$lib_build" "$lib_src" --cross-file "$sdk/meson-cross.ini" --prefix=/usr \
		--libdir=lib -Dc_args="$sdk_lib_cflags" $(words "$here/glib/options")
	lib_run ninja -C "$lib_build" -j 2
	lib_run env DESTDIR="$lib_stage" meson install -C "$lib_build" --no-rebuild
	lib_end
}

build_expat()
{
	lib_begin expat || return 0
	lib_cmake "$lib_src/expat"
	lib_end
}

# libdbus, dbus-daemon and the tools (dbus-send among them).
build_dbus()
{
	build_expat
	lib_begin dbus expat || return 0
	lib_configure --host=$cross
	lib_end
}

build_sdk_libs()
{
	build_sdk
	build_glib
	build_dbus
}

# --- BusyBox ---------------------------------------------------------------------------------
# Static, from Debian's source package, with the applets of gateway/busybox/config over
# allnoconfig and the SDK's compiler flags; into $out/busybox/busybox.
build_busybox()
{
	build_sdk
	bb_src=$(fetch_source busybox)
	key=$(input_key "${bb_src##*/}" "$here/busybox/config" "$(cat "$sdk/.key")")
	fresh "$out/busybox" "$key" && return 0
	echo "--- BusyBox (into ${out#"$top"/}/busybox)"
	work=$out/busybox-work
	rm -rf "$out/busybox" "$work"
	mkdir -p "$out/busybox" "$work"
	cflags=$(cmake -DTOOLCHAIN="$sdk/toolchainfile.cmake" -P "$here/uclibc/c-flags.cmake")
	make -C "$bb_src" O="$work" allnoconfig >/dev/null
	# The fragment's options replace allnoconfig's settings of them; options that
	# allnoconfig did not write (those that only the fragment's applets show) take their
	# defaults.
	{
		printf '%s\n' "CONFIG_CROSS_COMPILER_PREFIX=\"$cross-\"" "CONFIG_SYSROOT=\"$sysroot\"" \
			"CONFIG_EXTRA_CFLAGS=\"$cflags\""
		cat "$here/busybox/config"
	} >"$work/fragment"
	awk 'NR == FNR { if (match($0, /^(# )?CONFIG_[A-Za-z0-9_]+/)) set[substr($0, RSTART, RLENGTH)] = 1; next }
		{ n = $0; sub(/^# /, "", n); sub(/[= ].*/, "", n) } !(n in set) && !(("# " n) in set)' \
		"$work/fragment" "$work/.config" >"$work/.config.base"
	cat "$work/fragment" "$work/.config.base" >"$work/.config"
	yes '' | make -C "$work" oldconfig >/dev/null 2>&1
	check_fragment "$work" "$here/busybox/config"
	make -C "$work" -j2 busybox >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log" >&2; return 1; }
	cp "$work/busybox" "$out/busybox/busybox"
	stamp "$out/busybox" "$key"
	echo "busybox: $(wc -c <"$out/busybox/busybox") bytes"
}

# --- The daemon on uClibc-ng: static for the image, dynamic for the black-box suite ----------
# cmake_with_sdk SOURCE TREE [CMAKE ARGUMENTS]: configures and builds SOURCE into TREE with the
# SDK's toolchain file. Ninja rebuilds what changed in SOURCE; a new SDK (its C library or
# any of its libraries) starts TREE afresh (a changed C library is no dependency that Ninja
# sees).
cmake_with_sdk()
{
	cw_src=$1 cw_tree=$2
	shift 2
	[ "$(cat "$cw_tree/.sdk-key" 2>/dev/null)" = "$(sdk_key)" ] || rm -rf "$cw_tree"
	cmake -S "$cw_src" -B "$cw_tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$sdk/toolchainfile.cmake" \
		"$@" >/dev/null
	cmake --build "$cw_tree" -j 2 >"$cw_tree.log" 2>&1 || { tail -n 30 "$cw_tree.log" >&2; return 1; }
	sdk_key >"$cw_tree/.sdk-key"
}

# The daemon built with the SDK twice: static and stripped for the image, into
# $out/supervisor-static, with the C library's unused functions left out (a quarter of its
# size); dynamic (ld-uClibc) with its black-box tests, into $out/supervisor-shared.
build_daemon()
{
	build_sdk_libs
	set -- -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_UNIFORM_SEND=OFF
	cmake_with_sdk "$top" "$out/supervisor-static" "$@" -DBUILD_TESTING=OFF \
		-DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections" \
		-DCMAKE_EXE_LINKER_FLAGS="-static -s -Wl,--gc-sections"
	cmake_with_sdk "$top" "$out/supervisor-shared" "$@" -DBUILD_TESTING=ON \
		-DHOST_FAKE_PROG="$top/build/stand-ins/watched-program/watched-program"
	echo "daemon on uClibc-ng: static $(wc -c <"$out/supervisor-static/supervisor/supervisor") bytes" \
		"(stripped), dynamic $(wc -c <"$out/supervisor-shared/supervisor/supervisor") bytes"
}

# uniform-send and the libcapi3 stand-in built with the SDK, linked dynamically against its
# GLib as a gateway's programs are, into $out/sender (the dynamic daemon comes along). The
# image takes them from there; the sender's D-Bus tests run them under qemu-mips.
build_sender()
{
	build_sdk_libs
	cmake_with_sdk "$top" "$out/sender" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
	echo "sender on uClibc-ng: uniform-send $(wc -c <"$out/sender/uniform-send/uniform-send") bytes," \
		"libcapi3 $(wc -c <"$out/sender/stand-ins/libcapi3/libcapi3.so.1") bytes (not stripped)"
}

# --- Kernel ------------------------------------------------------------------------------------

# vmlinux for the Malta board, big-endian, from linux-source-6.1 with the patches of
# gateway/kernel, malta_defconfig and gateway/kernel/malta-be.fragment; the source tree and
# objects are dropped once it is built.
build_kernel()
{
	kernel=$out/kernel
	tarball=/usr/src/linux-source-6.1.tar.xz
	key=$(input_key "$(pkg_version linux-source-6.1)" "$($cross-gcc --version | head -n 1)" \
		"$here"/kernel/*)
	fresh "$kernel" "$key" && [ -f "$kernel/vmlinux" ] && return 0
	echo "--- Kernel: linux-source-6.1 for Malta, big-endian (into ${kernel#"$top"/}, about 10 minutes)"
	rm -rf "$kernel"
	mkdir -p "$kernel/obj"
	tar -xJf "$tarball" -C "$kernel"
	src=$kernel/linux-source-6.1
	for p in "$here"/kernel/*.patch; do
		patch -d "$src" -p1 --quiet <"$p"
	done
	export ARCH=mips CROSS_COMPILE=$cross-
	make -C "$src" O="$kernel/obj" malta_defconfig >/dev/null
	cat "$here/kernel/malta-be.fragment" >>"$kernel/obj/.config"
	make -C "$src" O="$kernel/obj" olddefconfig >/dev/null 2>&1
	check_fragment "$kernel/obj" "$here/kernel/malta-be.fragment"
	nice make -C "$src" O="$kernel/obj" -j2 vmlinux >"$kernel/build.log" 2>&1 ||
		{ tail -n 30 "$kernel/build.log" >&2; return 1; }
	unset ARCH CROSS_COMPILE
	cp "$kernel/obj/vmlinux" "$kernel/"
	cp "$kernel/obj/.config" "$kernel/config"
	rm -rf "$src" "$kernel/obj"
	stamp "$kernel" "$key"
}

# --- Image -------------------------------------------------------------------------------------

image=$out/image

# The initramfs: BusyBox (its applets as links), the static daemon installed with
# "cmake --install" for the prefix /usr (the daemon, its config and the init script), the
# loader stand-in beside it, the skeleton of gateway/rootfs (inittab, rcS and the init
# scripts of the system bus and the message service, the watch configuration of the samples
# and their control scripts, the sessions), the programs of gateway/programs built with the
# SDK, and the samples: stand-ins/watched-program built with the SDK, under two names, and two
# plugin packages of them; then from the SDK what
# gateway/image/from-sdk lists (the shared C library, GLib, D-Bus and their tools), the
# sender with the libcapi3 stand-in, and the message service's stand-in.
build_image()
{
	bb=$out/busybox/busybox
	daemon=$out/supervisor-static
	sender=$out/sender
	key=$(input_key "$here/gateway.sh" "$bb" "$daemon/supervisor/supervisor" "$top/supervisor/S50supervisor.in" \
		"$top/stand-ins/k93_load" "$here"/programs/* "$top"/stand-ins/watched-program/* \
		"$(sdk_key)" "$here/image/from-sdk" \
		"$sender/uniform-send/uniform-send" "$sender/stand-ins/libcapi3/libcapi3.so.1" \
		"$top"/stand-ins/msg-service/* \
		"$(cd "$here/rootfs" && find . -printf '%p %m\n' | sort)" $(find "$here/rootfs" -type f | sort))
	fresh "$image" "$key" && [ -f "$image/initramfs.gz" ] && return 0
	echo "--- Image: initramfs (into ${image#"$top"/})"
	rm -rf "$image"
	root=$image/root
	mkdir -p "$root"
	(cd "$root" && mkdir -p bin sbin lib usr/bin usr/sbin usr/lib usr/share/samples dev proc sys tmp data root var/run)
	mknod -m 600 "$root/dev/console" c 5 1
	mknod -m 666 "$root/dev/null" c 1 3

	cp "$bb" "$root/bin/busybox"
	# Its own list of applets and where each belongs.
	qemu-mips "$root/bin/busybox" --list-full | while read -r applet; do
		case $applet in
		bin/busybox) ;;
		*/*) ln -s /bin/busybox "$root/$applet" ;;
		*) ln -s busybox "$root/bin/$applet" ;;
		esac
	done

	cmake -DCMAKE_INSTALL_PREFIX=/usr "$daemon" >/dev/null
	DESTDIR=$root cmake --install "$daemon" --strip >/dev/null
	install -m 755 "$top/stand-ins/k93_load" "$root/usr/sbin/k93_load"
	cp -R "$here/rootfs/." "$root/"

	cmake_with_sdk "$here/programs" "$image/programs" -DCMAKE_BUILD_TYPE=MinSizeRel
	DESTDIR=$image/sample cmake --install "$image/programs" --prefix / --strip >/dev/null
	cmake_with_sdk "$top/stand-ins/watched-program" "$image/watched-program" \
		-DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_EXE_LINKER_FLAGS=-static
	DESTDIR=$image/sample cmake --install "$image/watched-program" --prefix / --strip >/dev/null
	for name in sample-exit sample-crash; do
		cp "$image/sample/bin/watched-program" "$root/usr/sbin/$name"
	done

	# The plugin puts both samples into /data/; the damaged one replaces sample-crash with
	# a file that cannot be executed.
	mkdir -p "$image/plugin" "$image/damaged"
	cp "$root/usr/sbin/sample-exit" "$root/usr/sbin/sample-crash" "$image/plugin/"
	echo damaged >"$image/damaged/sample-crash"
	chmod 755 "$image/damaged/sample-crash"
	pack="tar --owner=0 --group=0 --numeric-owner -czf"
	$pack "$root/usr/share/samples/plugin.tgz" -C "$image/plugin" sample-exit sample-crash
	$pack "$root/usr/share/samples/plugin-damaged.tgz" -C "$image/damaged" sample-crash

	for pattern in $(words "$here/image/from-sdk"); do
		(cd "$sysroot" && for f in $pattern; do
			[ -e "$f" ] || { echo "gateway/image/from-sdk: nothing in the sysroot matches $pattern" >&2; exit 1; }
			cp -a --parents "$f" "$root/"
		done)
	done
	DESTDIR=$image/sender-install cmake --install "$sender" --prefix /usr --strip >/dev/null
	cp -a "$image/sender-install/usr/bin/uniform-send" "$root/usr/bin/"
	cp -a "$image/sender-install/usr/lib"/libcapi3.so.* "$root/usr/lib/"
	cmake_with_sdk "$top/stand-ins/msg-service" "$image/msg-service" -DCMAKE_BUILD_TYPE=MinSizeRel
	DESTDIR=$root cmake --install "$image/msg-service" --prefix /usr --strip >/dev/null
	find "$root/lib" "$root/usr/lib" "$root/usr/bin" -type f -exec sh -c \
		'file "$1" | grep -q ELF && exec '"$cross"'-strip "$1"' sh {} \;

	pack_cpio "$root" >"$image/initramfs.gz"
	stamp "$image" "$key"
	echo "image: $(wc -c <"$image/initramfs.gz") bytes compressed"
}

# pack_cpio DIR: DIR as a gzip-compressed cpio archive (newc, owned by root) on standard output.
pack_cpio()
{
	(cd "$1" && find . | sort | cpio -o -H newc -R 0:0 --quiet | gzip -9)
}

# The flash of a board with UBIFS on /data, emulated by a virtio disk that the kernel's
# block2mtd sees as flash written by the byte: erase blocks of 128 KiB, of which UBI's two
# headers (64 bytes each) take 128 bytes, and UBIFS writes in units of 8 bytes.
ubi_peb=131072
ubi_leb=$((ubi_peb - 128))

# make_ubi_disk DIR IMAGE [MIB]: a raw disk image of MIB MiB (16 by default) for boot_image,
# holding UBI with one volume "data" that UBIFS fills with the files of DIR, owned by root.
# The volume grows to the whole flash when the kernel first attaches it; the erase blocks
# left over are erased ones (all 0xFF bytes).
make_ubi_disk()
{
	mu_size=$((${3:-16} * 1024 * 1024))
	mu_work=$2.work
	rm -rf "$mu_work"
	mkdir -p "$mu_work"
	mkfs.ubifs --squash-uids -r "$1" -m 8 -e $ubi_leb -c $((mu_size / ubi_peb)) -o "$mu_work/data.ubifs"
	printf '%s\n' '[data]' mode=ubi "image=$mu_work/data.ubifs" vol_id=0 vol_type=dynamic \
		"vol_size=$(wc -c <"$mu_work/data.ubifs")" vol_name=data vol_flags=autoresize \
		>"$mu_work/ubinize.cfg"
	ubinize -o "$mu_work/ubi.img" -p $ubi_peb -m 1 "$mu_work/ubinize.cfg"
	tr '\0' '\377' </dev/zero | head -c $mu_size >"$2"
	dd if="$mu_work/ubi.img" of="$2" conv=notrunc status=none
	rm -rf "$mu_work"
}

# boot_image SESSION CONSOLE RESULTS [OVERLAY [DISK]]: boots the image under
# qemu-system-mips, with the files of the directory OVERLAY added ("" for none) and the raw
# disk image DISK as the first virtio disk, and runs /usr/lib/gateway/SESSION (rc.session),
# which powers off at its end. rcS mounts DISK on /data: as ext4, or as UBIFS when DISK
# holds UBI (from make_ubi_disk; it begins with UBI's magic "UBI#"), which the kernel then
# attaches through block2mtd. The console goes to the file CONSOLE ("-": standard output),
# the guest's second serial port (/dev/ttyS1) to the file RESULTS; a run that does not end
# within 10 minutes is stopped.
boot_image()
{
	initrd=$image/initramfs.gz
	if [ -n "${4:-}" ]; then
		initrd=$image/initramfs-$1.gz
		{ cat "$image/initramfs.gz"; pack_cpio "$4"; } >"$initrd"
	fi
	if [ "$2" = - ]; then console=stdio; else console=file:$2; fi
	flash=
	if [ -n "${5:-}" ] && [ "$(head -c 4 "$5")" = "UBI#" ]; then
		flash=" block2mtd.block2mtd=/dev/vda,$ubi_peb ubi.mtd=0"
	fi
	set -- -append "console=ttyS0 rdinit=/sbin/init quiet session=$1$flash" -serial "$console" \
		-serial "file:$3" ${5:+-drive "file=$5,if=virtio,format=raw"}
	timeout 600 qemu-system-mips -M malta -m 128 -kernel "$out/kernel/vmlinux" -initrd "$initrd" \
		-nic none -vga none -display none -monitor none -no-reboot "$@"
}

# --- Demo --------------------------------------------------------------------------------------

# Boots the image and shows the daemon at work on its console (the demo session of
# gateway/rootfs/usr/lib/gateway/demo), about 40 seconds with the real restart delays.
run_demo()
{
	echo "== booting the gateway image: qemu-system-mips -M malta, ${out#"$top"/}/kernel/vmlinux," \
		"${image#"$top"/}/initramfs.gz"
	began=$(date +%s)
	boot_image demo - /dev/null </dev/null
	echo "== the board powered off, $(($(date +%s) - began)) s after qemu started"
}

# --- Tests -------------------------------------------------------------------------------------
# The project's black-box suite against the dynamic daemon on uClibc-ng, under qemu-mips
# with the sleep interposer built by the SDK; the watched programs it starts are the host
# build's stand-in (build/, only that target).
test_suite()
{
	(cd "$top" && cmake --preset default >/dev/null)
	cmake --build "$top/build" --target watched-program >/dev/null
	build_daemon
	# The SDK itself: C and C++ programs, dynamic and static, with the patched-in functions.
	cmake_with_sdk "$here/uclibc/check" "$out/sdk-check"
	(cd "$out/sdk-check" && ctest --output-on-failure)
	(cd "$out/supervisor-shared" && ctest --output-on-failure -j2)
}

# The scenarios of gateway/tests, run as transcripts by BusyBox sh inside one boot of the image
# (gateway/tests/run); registered in CTest by gateway/tests/CMakeLists.txt.
test_image()
{
	cmake -S "$here/tests" -B "$out/image-tests" -G Ninja >/dev/null
	(cd "$out/image-tests" && ctest --output-on-failure -V)
}

# Boots the image with the scenarios, splits what came back into one transcript each, compares
# each with its expected one (NAME.out beside NAME.sh) and prints "N passed, N failed".
run_scenarios()
{
	results=$out/image-tests/results
	rm -rf "$results"
	mkdir -p "$results/overlay/tests" "$results/overlay/usr/lib/gateway" "$results/got"
	cp "$here/tests/lib.sh" "$here"/tests/*-*.sh "$results/overlay/tests/"
	cp "$here/tests/run" "$results/overlay/usr/lib/gateway/test"
	# A package that BusyBox tar cannot make: a member named with "../", beside a program.
	mkdir -p "$results/package/sub"
	cp "$image/root/usr/sbin/sample-exit" "$results/package/"
	echo escaped >"$results/package/escaped"
	(cd "$results/package/sub" && tar -P --owner=0 --group=0 -czf "$results/overlay/tests/dotdot.tgz" \
		../sample-exit ../escaped)
	boot_image test "$results/console.log" "$results/transcripts" "$results/overlay" </dev/null
	# Sections of "=== NAME" and its lines; the serial line ends lines with CR LF.
	tr -d '\r' <"$results/transcripts" | awk -v dir="$results/got" '
		/^=== / { file = dir "/" $2 ".out"; printf "" >file; next }
		file != "" { print >file }'
	passed=0 failed=0
	for script in "$here"/tests/*-*.sh; do
		name=$(basename "$script" .sh)
		if [ -f "$results/got/$name.out" ] && cmp -s "$here/tests/$name.out" "$results/got/$name.out"; then
			echo "ok $name"
			passed=$((passed + 1))
		else
			echo "FAIL $name"
			if [ -f "$results/got/$name.out" ]; then
				diff -u "$here/tests/$name.out" "$results/got/$name.out" || true
			else
				echo "   no transcript; the console's end:"
				tail -n 20 "$results/console.log"
			fi
			failed=$((failed + 1))
		fi
	done
	echo "$passed passed, $failed failed"
	[ "$failed" = 0 ]
}

# The sender's D-Bus tests (tests/dbus) against the big-endian sender built with the SDK
# ($out/sender), run under qemu-mips with the sysroot's loader and libraries; the private
# bus and the mock message service are this machine's. The sender finds the libcapi3
# stand-in through its build tree's run path. Tests that need a program of this machine
# inside the sender (the clock interposer), or 200 emulated senders at once, are skipped.
run_sender_suite()
{
	UNIFORM_SEND=$out/sender/uniform-send/uniform-send
	# A library path or preload meant for this machine must reach neither qemu nor the sender.
	UNIFORM_SEND_PREFIX="env -u LD_PRELOAD -u LD_LIBRARY_PATH qemu-mips -L $sysroot"
	export UNIFORM_SEND UNIFORM_SEND_PREFIX
	cd "$top/tests/dbus"
	/usr/bin/python3 -m pytest -q -p no:cacheprovider -rs . "$@"
}

# Power cuts during installs (gateway/power-cut/harness.py): CUTS cuts, the table of where
# they landed and what they left, and "cuts: N, torn: T" last.
run_power_cut()
{
	/usr/bin/python3 "$here/power-cut/harness.py" --out "$out" "$@"
}

build_all()
{
	build_sdk_libs
	build_busybox
	build_daemon
	build_sender
	build_kernel
	build_image
}

case "${1:-}" in
build)
	"$top/scripts/deps.sh" gateway
	build_all
	;;
sdk)
	"$top/scripts/deps.sh" gateway
	build_sdk_libs
	;;
demo)
	"$top/scripts/deps.sh" gateway
	build_all >&2
	run_demo
	;;
test)
	"$top/scripts/deps.sh" build test gateway
	build_all
	test_suite
	test_image
	;;
power-cut)
	shift
	"$top/scripts/deps.sh" gateway
	build_all >&2
	run_power_cut "$@"
	;;
# Steps, for CTest, the bench and the power-cut harness, on what is built: the in-image
# scenarios, the sender's suite, the power cuts, one boot of a session, a disk with UBIFS.
scenarios) run_scenarios ;;
sender-suite)
	shift
	run_sender_suite "$@"
	;;
cuts)
	shift
	run_power_cut "$@"
	;;
boot)
	shift
	boot_image "$@"
	;;
ubi-disk)
	shift
	make_ubi_disk "$@"
	;;
*) echo "usage: $0 build | sdk | demo | test | power-cut [OPTIONS] CUTS" >&2; exit 2 ;;
esac
