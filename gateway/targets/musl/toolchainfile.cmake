# CMake toolchain file of the musl target: this machine's processor (x86-64), Linux, musl
# (Debian's musl-tools), a small C library like many gateways':
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=build-musl/sdk/toolchainfile.cmake SOURCE
# The sysroot beside this file holds cJSON (static, with its pkg-config file); musl itself
# stays where Debian put it. The programs run here natively, with musl's dynamic loader
# /lib/ld-musl-x86_64.so.1.
#
# The compiler is this machine's GCC with musl-tools' musl-gcc.specs, which replaces the standard
# include directories and the start files and libraries with musl's. For C++, GCC's own
# headers come first (templates only: nothing of the C++ run-time library is linked), then
# musl's; they are configured for glibc and test its version with a macro that musl lacks.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/sysroot)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

set(_musl /usr/lib/x86_64-linux-musl)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion
  OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)

# Added to every compile and link of the project (and of CMake's own checks), after
# CMAKE_<LANG>_FLAGS, as in the gateway's SDK.
set(SDK_COMPILE_FLAGS -specs=${_musl}/musl-gcc.specs)
set(SDK_CXX_INCLUDES "SHELL:-isystem /usr/include/c++/${_gcc_version}"
  "SHELL:-isystem /usr/include/x86_64-linux-gnu/c++/${_gcc_version}"
  "SHELL:-isystem /usr/include/x86_64-linux-musl" "-D__GLIBC_PREREQ(major,minor)=0")
set(SDK_LINK_FLAGS -specs=${_musl}/musl-gcc.specs)
if(NOT CMAKE_SCRIPT_MODE_FILE)
  foreach(_flag IN LISTS SDK_CXX_INCLUDES)
    add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${_flag}>")
  endforeach()
  add_compile_options(${SDK_COMPILE_FLAGS})
  add_link_options(${SDK_LINK_FLAGS})
endif()

# Libraries, headers and packages from the sysroot and musl's directory only.
set(CMAKE_FIND_ROOT_PATH ${_musl})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
unset(ENV{PKG_CONFIG_PATH})
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${CMAKE_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${CMAKE_SYSROOT}/usr/lib/pkgconfig)
