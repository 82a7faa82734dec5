# Cross build for the gateway: 32-bit big-endian MIPS, Linux.
# Usage: cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake -DCMAKE_SYSROOT=... ..
# The sysroot must hold the target's cJSON (and GLib for uniform-send) with pkg-config files
# (usr/lib/pkgconfig, prefix=/usr); scripts/cross-build.sh makes one with cJSON.
# Debian's cross compiler keeps the target's C library in /usr/${TARGET_TRIPLE} and finds it
# there whatever the sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(TARGET_TRIPLE mips-linux-gnu CACHE STRING "Target triple of the cross toolchain")
# The compiler checks re-read this file in projects of their own: hand them the triple too,
# or they fall back to the default and point pkg-config at that target's folders.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARGET_TRIPLE)
set(CMAKE_C_COMPILER ${TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARGET_TRIPLE}-g++)

# Target programs run on this machine under qemu user emulation (Debian's qemu-user),
# e.g. the black-box tests: qemu-mips for mips-linux-gnu, qemu-mipsel for mipsel-linux-gnu.
# -L: the target's dynamic loader and C library come from the cross compiler's directory.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  string(REGEX REPLACE "-.*" "" _qemu_arch "${TARGET_TRIPLE}")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${_qemu_arch} -L /usr/${TARGET_TRIPLE})
endif()

# 64-bit file offsets and time: stat() on large inode numbers and dates past 2038.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)

# Libraries, headers and packages come from the target's roots only, never from the host:
# the sysroot, and the cross compiler's own directory (so that there is always a root).
list(FIND CMAKE_FIND_ROOT_PATH /usr/${TARGET_TRIPLE} _target_root_index)
if(_target_root_index LESS 0)
  list(APPEND CMAKE_FIND_ROOT_PATH /usr/${TARGET_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the target's .pc files only. Left alone it reads the host's (a host
# libcjson-dev then puts the host's headers and library folder into the cross build).
unset(ENV{PKG_CONFIG_PATH})
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/lib/${TARGET_TRIPLE}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
else()
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TARGET_TRIPLE}/pkgconfig:/usr/${TARGET_TRIPLE}/lib/pkgconfig)
endif()
