#!/bin/sh
# The one entry point that builds, boots and tests every target. A target is a folder
# gateway/targets/NAME: its file "target" names its compilers, its C library, the libraries of
# its SDK (each a folder gateway/LIBRARY: the Debian source package, options, patches), what
# else it builds and which tests it runs; beside it its CMake toolchain file, which also names
# the emulator that runs its programs here, and its C library's options. Targets now:
#   gateway   32-bit big-endian MIPS, uClibc-ng: the SDK with GLib and D-Bus, BusyBox, a Malta
#             kernel and an initramfs image that boots under qemu-system-mips with the daemon,
#             the system bus and the message service started by init, the sender beside them
#   musl      x86-64 against musl, natively: the daemon and its black-box suite
# Each target builds into build-NAME/ (its SDK in build-NAME/sdk: a sysroot and the toolchain
# file); Debian's source packages are fetched once for all into build-gateway/src.
#
#   scripts/gateway.sh build [TARGET...]  the SDK of each target (all by default) and what it
#                                         builds with it
#   scripts/gateway.sh sdk [TARGET...]    the SDKs alone (build-TARGET/sdk)
#   scripts/gateway.sh test [TARGET...]   builds each target and runs its tests: for the
#                                         gateway the SDK's check, the black-box suite on
#                                         uClibc-ng, the scenarios in the image, the sender's
#                                         D-Bus tests against the big-endian sender and power
#                                         cuts; for musl the black-box suite
#   scripts/gateway.sh demo               boots the gateway's image and shows the daemon at
#                                         work on its console, then a message sent and
#                                         acknowledged
#   scripts/gateway.sh power-cut [HARNESS OPTIONS] CUTS
#                                         power cuts during installs (gateway/power-cut/harness.py)
#
# Each of these installs what it needs (scripts/deps.sh) before it starts; the steps that
# CTest, the bench and the power-cut harness call (scenarios, sender-suite, cuts, boot,
# initramfs, ubi-disk: the gateway's) install nothing. Builds are reused while their inputs
# are unchanged (each is keyed by a hash of them). Needs root (apt-get for what is missing,
# the sandbox of the black-box suite).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
# Debian's source packages, and the private apt configuration that fetches them.
downloads=$top/build-gateway

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

# words FILE: the words of FILE, comments and blank lines left out.
words() { sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$1"; }

# The processor time, in seconds, of this shell and of the commands it has waited for.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%d\n", ($14 + $15 + $16 + $17) / hz }' /proc/$$/stat; }

# timed WHAT COMMAND...: runs COMMAND, then says how long WHAT took, in time and in processor
# time.
timed()
{
	ti_what=$1 ti_began=$(date +%s) ti_cpu=$(cpu_seconds)
	shift
	"$@"
	echo "== $ti_what: $(($(date +%s) - ti_began)) s, $(($(cpu_seconds) - ti_cpu)) s of processor time"
}

# fetch_source PKG: the directory of Debian's source package PKG, unpacked under
# $downloads/src the first time through the project's private apt configuration.
fetch_source()
{
	fs_dir=$(find "$downloads/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" 2>/dev/null | head -n 1)
	if [ -z "$fs_dir" ]; then
		mkdir -p "$downloads/src"
		(
			. "$top/scripts/private-apt.sh"
			private_apt "$downloads/apt" deb-src >&2
			# apt downloads as its unprivileged user, which needs to write there.
			chown _apt "$downloads/src" 2>/dev/null || true
			cd "$downloads/src" && apt-get source -qq "$1" >&2
		)
		fs_dir=$(find "$downloads/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | head -n 1)
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

# --- Targets -----------------------------------------------------------------------------------

# use_target NAME: the target that the functions below build and test: sets target, tdir (its
# folder), out (its build directory), sdk, sysroot, image and triple (its compilers' prefix).
use_target()
{
	[ -f "$here/targets/$1/target" ] || { echo "no target $1 (gateway/targets/$1/target)" >&2; return 1; }
	target=$1
	tdir=$here/targets/$1
	out=$top/build-$1
	sdk=$out/sdk
	sysroot=$sdk/sysroot
	image=$out/image
	triple=$(target_words triple)
}

# target_words NAME: the words of the line NAME of the target's file.
target_words() { words "$tdir/target" | awk -v name="$1" '$1 == name { $1 = ""; print substr($0, 2) }'; }

all_targets() { for t in "$here"/targets/*/target; do basename "$(dirname "$t")"; done; }

# toolchain_print WHAT [FILE]: what the toolchain file FILE (the SDK's by default) declares:
# flags, compiler or emulator (gateway/targets/toolchain-print.cmake).
toolchain_print()
{
	cmake -DTOOLCHAIN="${2:-$sdk/toolchainfile.cmake}" -DPRINT="$1" -P "$here/targets/toolchain-print.cmake"
}

# build_target: the target's SDK, then what it builds with it, in the order its file names.
build_target()
{
	build_sdk
	for b in $(target_words builds); do
		"build_$(echo "$b" | tr - _)"
	done
}

# test_target: the target's tests, in the order its file names.
test_target()
{
	for t in $(target_words tests); do
		"test_$(echo "$t" | tr - _)"
	done
}

# --- SDK: a sysroot with the C library and the libraries, and the toolchain file -----------------
# The target's toolchain file beside the sysroot (with the Meson cross file made from it, where
# the target has a template), the C library its file names (libc_NAME), then its libraries.
build_sdk()
{
	sdk_base
	for lib in $(target_words packages); do
		"build_$lib"
	done
}

sdk_base()
{
	libc=$(target_words libc)
	cc=$(toolchain_print compiler "$tdir/toolchainfile.cmake")
	key=$(input_key "$triple" "$libc" "$($cc --version | head -n 1)" $("libc_${libc}_inputs") \
		"$here"/targets/*.cmake $(find "$tdir" -maxdepth 1 -type f ! -name target | sort))
	fresh "$sdk" "$key" && return 0
	echo "--- SDK of $target: $libc (into ${sdk#"$top"/})"
	rm -rf "$sdk"
	mkdir -p "$sysroot"
	cp "$tdir/toolchainfile.cmake" "$sdk/toolchainfile.cmake"
	if [ -f "$tdir/meson-cross.ini.in" ]; then
		cmake -DTOOLCHAIN="$sdk/toolchainfile.cmake" -DTEMPLATE="$tdir/meson-cross.ini.in" \
			-DOUT="$sdk/meson-cross.ini" -P "$here/targets/meson-cross.cmake"
	fi
	"libc_$libc"
	stamp "$sdk" "$key"
}

# The key of the whole SDK, the C library's and every library's: what a build made with the
# SDK depends on.
sdk_key() { cat "$sdk/.key" "$sdk"/lib-keys/* 2>/dev/null | sha256sum | cut -c1-16; }

# --- C libraries: libc_NAME_inputs prints what NAME is built from (for the SDK's key), libc_NAME
# builds it into the sysroot.

# musl: Debian's musl-tools, whose musl-gcc.specs the toolchain file names; nothing is built.
libc_musl_inputs() { pkg_version musl-dev; }
libc_musl() { :; }

# uClibc-ng: from uclibc-source with the patches of gateway/uclibc and the target's options
# (uclibc.config over the defconfig of its processor), against Linux's headers of
# linux-libc-dev-ARCH-cross.
uclibc_tarball() { dpkg -L uclibc-source | grep '/uClibc-ng-[^/]*\.tar\.xz$' | head -n 1; }
libc_uclibc_inputs()
{
	arch=$(target_words arch)
	echo "$(uclibc_tarball) $(pkg_version uclibc-source) $(pkg_version "linux-libc-dev-$arch-cross")"
	find "$here/uclibc" -maxdepth 1 -type f | sort
}

libc_uclibc()
{
	arch=$(target_words arch)
	work=$out/sdk-work
	rm -rf "$work"
	mkdir -p "$sysroot/usr/include" "$work"
	for d in $(dpkg -L "linux-libc-dev-$arch-cross" | sed -n "s|^/usr/$triple/include/\([^/]*\)/.*|\1|p" | sort -u); do
		cp -a "/usr/$triple/include/$d" "$sysroot/usr/include/"
	done

	tar -xJf "$(uclibc_tarball)" -C "$work"
	uclibc=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'uClibc-ng-*')
	for p in "$here"/uclibc/*.patch; do
		patch -d "$uclibc" -p1 --quiet <"$p"
	done
	make -C "$uclibc" ARCH="$arch" defconfig >/dev/null
	# Where it builds from and installs to; the options themselves are in the fragment.
	printf '%s\n' "KERNEL_HEADERS=\"$sysroot/usr/include\"" "CROSS_COMPILER_PREFIX=\"$triple-\"" \
		'RUNTIME_PREFIX="/"' 'DEVEL_PREFIX="/usr/"' 'SHARED_LIB_LOADER_PREFIX="/lib"' |
		cat "$tdir/uclibc.config" - >>"$uclibc/.config"
	make -C "$uclibc" olddefconfig >/dev/null 2>&1
	check_fragment "$uclibc" "$tdir/uclibc.config"
	make -C "$uclibc" -j2 >"$work/uclibc.log" 2>&1 || { tail -n 30 "$work/uclibc.log" >&2; return 1; }
	make -C "$uclibc" PREFIX="$sysroot" install >>"$work/uclibc.log" 2>&1 ||
		{ tail -n 30 "$work/uclibc.log" >&2; return 1; }
}

# --- The SDK's libraries ----------------------------------------------------------------------
# Each is a folder gateway/NAME, the same for every target: "source" names its Debian source
# package, "options" holds the options of its build, one a line, each with its reason, and
# *.patch are its patches. It is built into a stage of its own ($out/sdk-lib/NAME, installed
# there with DESTDIR), keyed by its source, its folder, the C library and the keys of the
# libraries it builds on, and the stage is then copied into the sysroot, where the files of
# its previous build are removed first. Every library is optimised for size and built with
# stack canaries.
sdk_lib_cflags="-Os -fstack-protector-strong"

# The SDK's C compiler with its flags, for builds that take a compiler command (configure).
sdk_cc() { echo "$(toolchain_print compiler) --sysroot=$sysroot $(toolchain_print flags)"; }

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
		[ -f "$sdk/lib-keys/$lb_dep" ] ||
			{ echo "$lib builds on $lb_dep: name it before $lib in $target's packages" >&2; return 2; }
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

# cJSON, the daemon's JSON parser.
build_cjson()
{
	lib_begin cjson || return 0
	lib_cmake "$lib_src"
	lib_end
}

# zlib's own configure takes the target from CHOST, and position-independent code for its
# static archive from CFLAGS.
build_zlib()
{
	lib_begin zlib || return 0
	lib_configure CHOST=$triple "CFLAGS=$sdk_lib_cflags -fPIC"
	lib_end
}

build_libffi()
{
	lib_begin libffi || return 0
	lib_configure --host=$triple
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
	lib_begin dbus expat || return 0
	lib_configure --host=$triple
	lib_end
}

# --- BusyBox ---------------------------------------------------------------------------------
# Static, from Debian's source package, with the applets of gateway/busybox/config over
# allnoconfig and the SDK's compiler flags; into $out/busybox/busybox.
build_busybox()
{
	bb_src=$(fetch_source busybox)
	key=$(input_key "${bb_src##*/}" "$here/busybox/config" "$(cat "$sdk/.key")")
	fresh "$out/busybox" "$key" && return 0
	echo "--- BusyBox (into ${out#"$top"/}/busybox)"
	work=$out/busybox-work
	rm -rf "$out/busybox" "$work"
	mkdir -p "$out/busybox" "$work"
	cflags=$(toolchain_print flags)
	make -C "$bb_src" O="$work" allnoconfig >/dev/null
	# The fragment's options replace allnoconfig's settings of them; options that
	# allnoconfig did not write (those that only the fragment's applets show) take their
	# defaults.
	{
		printf '%s\n' "CONFIG_CROSS_COMPILER_PREFIX=\"$triple-\"" "CONFIG_SYSROOT=\"$sysroot\"" \
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

# --- What the targets build with their SDKs: the daemon, the sender ----------------------------
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

# The daemon static and stripped for an image, into $out/supervisor-static, with the C
# library's unused functions left out (a quarter of its size).
build_daemon_static()
{
	cmake_with_sdk "$top" "$out/supervisor-static" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_UNIFORM_SEND=OFF \
		-DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections" \
		-DCMAKE_EXE_LINKER_FLAGS="-static -s -Wl,--gc-sections"
	echo "daemon for $target: static $(wc -c <"$out/supervisor-static/supervisor/supervisor") bytes (stripped)"
}

# The daemon linked dynamically against the target's C library, with its black-box tests,
# into $out/supervisor-shared; the watched programs that the tests start are the host
# build's stand-in (build/, test_blackbox builds it).
build_daemon()
{
	cmake_with_sdk "$top" "$out/supervisor-shared" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_UNIFORM_SEND=OFF \
		-DBUILD_TESTING=ON -DHOST_FAKE_PROG="$top/build/stand-ins/watched-program/watched-program"
	echo "daemon for $target: dynamic $(wc -c <"$out/supervisor-shared/supervisor/supervisor") bytes"
}

# uniform-send and the libcapi3 stand-in built with the SDK, linked dynamically against its
# GLib as a gateway's programs are, into $out/sender (the dynamic daemon comes along). The
# image takes them from there; the sender's D-Bus tests run them under the emulator.
build_sender()
{
	cmake_with_sdk "$top" "$out/sender" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF
	echo "sender for $target: uniform-send $(wc -c <"$out/sender/uniform-send/uniform-send") bytes," \
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
	key=$(input_key "$(pkg_version linux-source-6.1)" "$($triple-gcc --version | head -n 1)" \
		"$here"/kernel/*)
	fresh "$kernel" "$key" && [ -f "$kernel/vmlinux" ] && return 0
	echo "--- Kernel: linux-source-6.1 for Malta, big-endian (into ${kernel#"$top"/})"
	kernel_began=$(date +%s) kernel_cpu=$(cpu_seconds)
	rm -rf "$kernel"
	mkdir -p "$kernel/obj"
	tar -xJf "$tarball" -C "$kernel"
	src=$kernel/linux-source-6.1
	for p in "$here"/kernel/*.patch; do
		patch -d "$src" -p1 --quiet <"$p"
	done
	export ARCH="$(target_words arch)" CROSS_COMPILE=$triple-
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
	echo "kernel: built in $(($(date +%s) - kernel_began)) s, $(($(cpu_seconds) - kernel_cpu)) s of processor time"
}

# --- Image -------------------------------------------------------------------------------------

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
	$(toolchain_print emulator) "$root/bin/busybox" --list-full | while read -r applet; do
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
		'file "$1" | grep -q ELF && exec '"$triple"'-strip "$1"' sh {} \;

	pack_cpio "$root" >"$image/initramfs.gz"
	stamp "$image" "$key"
	echo "image: $(wc -c <"$image/initramfs.gz") bytes compressed"
}

# pack_cpio DIR: DIR as a gzip-compressed cpio archive (newc, owned by root) on standard output.
pack_cpio()
{
	(cd "$1" && find . | sort | cpio -o -H newc -R 0:0 --quiet | gzip -9)
}

# make_initramfs OVERLAY FILE: the image's initramfs with the files of the directory OVERLAY
# added (owned by root), into FILE: the kernel unpacks the second archive over the first.
make_initramfs()
{
	{ cat "$image/initramfs.gz"; pack_cpio "$1"; } >"$2.new"
	mv "$2.new" "$2"
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

# boot_image SESSION CONSOLE RESULTS [OVERLAY [DISK [ARGUMENT...]]]: boots the image under
# qemu-system-mips and runs /usr/lib/gateway/SESSION (rc.session), which powers off at its
# end. OVERLAY is a directory whose files are added to the image ("" for none), or a file made
# by make_initramfs, booted in its place. DISK ("" for none) is a raw disk image, the first
# virtio disk: rcS mounts it on /data, as ext4, or as UBIFS when it holds UBI (from
# make_ubi_disk; it begins with UBI's magic "UBI#"), which the kernel then attaches through
# block2mtd. The ARGUMENTs go on the kernel's command line, for the session. The console goes
# to the file CONSOLE ("-": standard output), the guest's second serial port (/dev/ttyS1) to
# the file RESULTS. qemu takes the place of this shell, so that a SIGKILL of the command is
# one of qemu: a power cut. It has no time limit of its own.
boot_image()
{
	bi_session=$1 bi_console=$2 bi_results=$3 bi_overlay=${4:-} bi_disk=${5:-}
	shift 3
	[ $# -eq 0 ] || shift
	[ $# -eq 0 ] || shift
	initrd=$image/initramfs.gz
	if [ -d "$bi_overlay" ]; then
		initrd=$image/initramfs-$bi_session.gz
		make_initramfs "$bi_overlay" "$initrd"
	elif [ -n "$bi_overlay" ]; then
		initrd=$bi_overlay
	fi
	if [ "$bi_console" = - ]; then bi_console=stdio; else bi_console=file:$bi_console; fi
	flash=
	if [ -n "$bi_disk" ] && [ "$(head -c 4 "$bi_disk")" = "UBI#" ]; then
		flash=" block2mtd.block2mtd=/dev/vda,$ubi_peb ubi.mtd=0"
	fi
	exec qemu-system-mips -M malta -m 128 -kernel "$out/kernel/vmlinux" -initrd "$initrd" \
		-nic none -vga none -display none -monitor none -no-reboot \
		-append "console=ttyS0 rdinit=/sbin/init quiet session=$bi_session$flash${*:+ $*}" \
		-serial "$bi_console" -serial "file:$bi_results" ${bi_disk:+-drive "file=$bi_disk,if=virtio,format=raw"}
}

# boot_limited ARGUMENT...: boot_image with those arguments, stopped when it has not ended
# within 10 minutes.
boot_limited() { timeout 600 sh "$here/gateway.sh" boot "$@"; }

# --- Demo --------------------------------------------------------------------------------------

# Boots the image and shows the daemon at work on its console (the demo session of
# gateway/rootfs/usr/lib/gateway/demo), about 40 seconds with the real restart delays.
run_demo()
{
	echo "== booting the gateway image: qemu-system-mips -M malta, ${out#"$top"/}/kernel/vmlinux," \
		"${image#"$top"/}/initramfs.gz"
	began=$(date +%s)
	boot_limited demo - /dev/null </dev/null
	echo "== the board powered off, $(($(date +%s) - began)) s after qemu started"
}

# --- Tests -------------------------------------------------------------------------------------
# run_suite TREE [CTEST ARGUMENT...]: the tests of the CMake build tree TREE. A tree made with
# a target's toolchain file runs the target's programs under the emulator that the file names
# (CMake's CMAKE_CROSSCOMPILING_EMULATOR), or natively where it names none.
run_suite()
{
	rs_tree=$1
	shift
	(cd "$rs_tree" && ctest --output-on-failure --no-tests=error "$@")
}

# The SDK itself: C and C++ programs, dynamic and static, with the patched-in functions, and
# a program on its GLib.
test_sdk_check()
{
	cmake_with_sdk "$here/uclibc/check" "$out/sdk-check"
	run_suite "$out/sdk-check"
}

# The project's black-box suite against the dynamic daemon, with the sleep interposer built
# by the SDK; the watched programs it starts are the host build's stand-in (build/, only
# that program).
test_blackbox()
{
	(cd "$top" && cmake --preset default >/dev/null)
	cmake --build "$top/build" --target watched-program >/dev/null
	run_suite "$out/supervisor-shared" -j2
}

# The image's tests (gateway/tests/CMakeLists.txt): the scenarios, the power cuts and the
# sender's D-Bus tests, one at a time (the power cuts run boards side by side).
test_image()
{
	cmake -S "$here/tests" -B "$out/image-tests" -G Ninja >/dev/null
	run_suite "$out/image-tests" -V
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
	boot_limited test "$results/console.log" "$results/transcripts" "$results/overlay" </dev/null
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
# ($out/sender), run under the toolchain file's emulator with the sysroot's loader and libraries; the private
# bus and the mock message service are this machine's. The sender finds the libcapi3
# stand-in through its build tree's run path. Tests that need a program of this machine
# inside the sender (the clock interposer), or 200 emulated senders at once, are skipped.
run_sender_suite()
{
	UNIFORM_SEND=$out/sender/uniform-send/uniform-send
	# A library path or preload meant for this machine must reach neither qemu nor the sender.
	UNIFORM_SEND_PREFIX="env -u LD_PRELOAD -u LD_LIBRARY_PATH $(toolchain_print emulator)"
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

# for_targets ACTION [TARGET...]: ACTION (a function) for each TARGET, every target when none
# is named.
for_targets()
{
	ft_action=$1
	shift
	[ $# -gt 0 ] || set -- $(all_targets)
	for ft_target; do
		use_target "$ft_target"
		"$ft_action"
	done
}

build_and_time() { timed "$target: built" build_target; }
test_and_time()
{
	build_and_time
	timed "$target: tested" test_target
}

# The steps below are the gateway's, the one target with an image.
case "${1:-}" in
build | sdk | test)
	command=$1
	shift
	for t; do use_target "$t"; done
	case $command in
	build)
		"$top/scripts/deps.sh" gateway
		for_targets build_and_time "$@"
		;;
	sdk)
		"$top/scripts/deps.sh" gateway
		for_targets build_sdk "$@"
		;;
	test)
		"$top/scripts/deps.sh" build test gateway
		for_targets test_and_time "$@"
		;;
	esac
	;;
demo)
	"$top/scripts/deps.sh" gateway
	use_target gateway
	build_target >&2
	run_demo
	;;
power-cut)
	shift
	"$top/scripts/deps.sh" gateway
	use_target gateway
	build_target >&2
	run_power_cut "$@"
	;;
# Steps, for CTest, the bench and the power-cut harness, on what is built: the in-image
# scenarios, the sender's suite, the power cuts, one boot of a session, an image with an
# overlay, a disk with UBIFS.
scenarios | sender-suite | cuts | boot | initramfs | ubi-disk)
	step=$1
	shift
	use_target gateway
	case $step in
	scenarios) run_scenarios ;;
	sender-suite) run_sender_suite "$@" ;;
	cuts) run_power_cut "$@" ;;
	boot) boot_image "$@" ;;
	initramfs) make_initramfs "$@" ;;
	ubi-disk) make_ubi_disk "$@" ;;
	esac
	;;
*)
	echo "usage: $0 build|sdk|test [TARGET...] | demo | power-cut [OPTIONS] CUTS" >&2
	echo "targets: $(all_targets | tr '\n' ' ')" >&2
	exit 2
	;;
esac
