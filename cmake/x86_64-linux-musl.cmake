# Build for this machine's processor against musl (Debian's musl-tools), a small C library
# like the gateway's, to show that the daemon uses only what such a library has.
# Usage: cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl.cmake -DCMAKE_SYSROOT=... ..
# The sysroot holds cJSON built with this file (scripts/cross-build.sh --musl makes one).
# The programs run here natively; the dynamic loader is /lib/ld-musl-x86_64.so.1.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARGET_TRIPLE x86_64-linux-musl)

set(_musl_specs /usr/lib/${TARGET_TRIPLE}/musl-gcc.specs)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-specs=${_musl_specs}")
# C++: GCC's own headers (templates only: nothing of the C++ run-time library is linked),
# then musl's. Those headers are configured for glibc and test its version with a macro
# that musl lacks.
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE _gxx_version OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CMAKE_CXX_FLAGS_INIT "-specs=${_musl_specs} -isystem /usr/include/c++/${_gxx_version} -isystem /usr/include/x86_64-linux-gnu/c++/${_gxx_version} -isystem /usr/include/${TARGET_TRIPLE} '-D__GLIBC_PREREQ(major,minor)=0'")

set(CMAKE_FIND_ROOT_PATH /usr/lib/${TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

unset(ENV{PKG_CONFIG_PATH})
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_SYSROOT}/usr/lib/pkgconfig)
endif()
