# CMake toolchain file of the gateway's SDK: 32-bit big-endian MIPS (o32), Linux, uClibc-ng.
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=build-gateway/sdk/toolchainfile.cmake SOURCE
# The sysroot beside this file holds uClibc-ng (static and shared, ld-uClibc), the kernel
# headers and the libraries that the target's file (gateway/targets/gateway/target) names,
# with their pkg-config files: cJSON, GLib, D-Bus and what they need. Add
# -DCMAKE_EXE_LINKER_FLAGS=-static for programs that carry their C library with them.
#
# The compiler is Debian's gcc-mips-linux-gnu, which is built for glibc in /usr/mips-linux-gnu
# and searches that directory even with --sysroot. The flags below therefore replace its
# standard include directories with GCC's own, libstdc++'s (templates only: no C++ runtime
# library is linked against uClibc-ng) and the sysroot's, and put the sysroot's start files
# and libraries ahead of glibc's (-B). -muclibc names uClibc-ng's dynamic loader, and libgcc
# is linked statically (Debian's libgcc_s is built against glibc).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/sysroot)
set(CMAKE_C_COMPILER mips-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mips-linux-gnu-g++)

execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=include
  OUTPUT_VARIABLE _gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
  OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
set(_cxx_include /usr/mips-linux-gnu/include/c++/${_gcc_version})

# These flags are added to every compile and link of the project (and of CMake's own
# checks, which read this file too), after CMAKE_<LANG>_FLAGS: a project or a developer
# setting those keeps the SDK. 64-bit file offsets: stat() on file systems with 64-bit inode
# numbers. (time_t stays 32 bits: this uClibc-ng has no 64-bit time on 32-bit targets.)
set(SDK_COMPILE_FLAGS -muclibc -nostdinc "SHELL:-isystem ${_gcc_include}"
  "SHELL:-isystem ${CMAKE_SYSROOT}/usr/include" -D_FILE_OFFSET_BITS=64)
set(SDK_CXX_INCLUDES "SHELL:-isystem ${_cxx_include}" "SHELL:-isystem ${_cxx_include}/mips-linux-gnu"
  "SHELL:-isystem ${_cxx_include}/backward")
set(SDK_LINK_FLAGS -muclibc -B${CMAKE_SYSROOT}/usr/lib/ -static-libgcc)
if(NOT CMAKE_SCRIPT_MODE_FILE)
  foreach(_flag IN LISTS SDK_CXX_INCLUDES)
    add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${_flag}>")
  endforeach()
  add_compile_options(${SDK_COMPILE_FLAGS})
  add_link_options(${SDK_LINK_FLAGS})
endif()

# Programs built with this file run on this machine under qemu user emulation (Debian's
# qemu-user), with the sysroot's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -L ${CMAKE_SYSROOT})

# Libraries, headers and packages from the sysroot only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
unset(ENV{PKG_CONFIG_PATH})
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_SYSROOT}/usr/lib/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig)
