# Writes the Meson cross file of a target's SDK from its CMake toolchain file and the target's
# template (what Meson alone asks: the processor's family and byte order), so that both files
# carry the same compiler, flags and emulator:
#   cmake -DTOOLCHAIN=build-gateway/sdk/toolchainfile.cmake -DTEMPLATE=gateway/targets/gateway/meson-cross.ini.in
#         -DOUT=FILE -P meson-cross.cmake
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
meson_list(EMULATOR ${CMAKE_CROSSCOMPILING_EMULATOR})
configure_file(${TEMPLATE} ${OUT} @ONLY)
