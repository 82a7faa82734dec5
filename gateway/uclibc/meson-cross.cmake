# Writes the Meson cross file of the SDK from its CMake toolchain file, so that both carry
# the same compiler and flags:
#   cmake -DTOOLCHAIN=build-gateway/sdk/toolchainfile.cmake -DOUT=FILE -P meson-cross.cmake
include(${TOOLCHAIN})
string(REGEX REPLACE "-gcc$" "" CROSS "${CMAKE_C_COMPILER}")
set(SYSROOT ${CMAKE_SYSROOT})

# meson_list VAR WORD...: VAR as the items of a Meson array, each word quoted.
function(meson_list var)
  string(REPLACE "SHELL:" "" words "${ARGN}")
  string(REPLACE " " ";" words "${words}")
  list(TRANSFORM words REPLACE "(.+)" "'\\1'")
  list(JOIN words ", " joined)
  set(${var} "${joined}" PARENT_SCOPE)
endfunction()

set(link ${SDK_LINK_FLAGS})
list(REMOVE_ITEM link -muclibc)
meson_list(MESON_C ${CMAKE_C_COMPILER} --sysroot=${SYSROOT} ${SDK_COMPILE_FLAGS} ${link})
meson_list(MESON_CXX ${CMAKE_CXX_COMPILER} --sysroot=${SYSROOT} ${SDK_CXX_INCLUDES}
  ${SDK_COMPILE_FLAGS} ${link})
configure_file(${CMAKE_CURRENT_LIST_DIR}/meson-cross.ini.in ${OUT} @ONLY)
