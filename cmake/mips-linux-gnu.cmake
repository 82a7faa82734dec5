# Cross build for the gateway: 32-bit big-endian MIPS, Linux.
# Usage: cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake -DCMAKE_SYSROOT=... ..
# The sysroot must hold the target's cJSON (and GLib for uniform-send) with pkg-config files.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(TARGET_TRIPLE mips-linux-gnu CACHE STRING "Target triple of the cross toolchain")
set(CMAKE_C_COMPILER ${TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARGET_TRIPLE}-g++)

# 64-bit file offsets and time: stat() on large inode numbers and dates past 2038.
add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
endif()
