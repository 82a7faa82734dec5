# Prints the C compiler and linker flags of the SDK's toolchain file, for builds that do not
# use CMake (BusyBox), so that they have these flags from one place:
#   cmake -DTOOLCHAIN=build-gateway/sdk/toolchainfile.cmake -P c-flags.cmake
include(${TOOLCHAIN})
string(REPLACE "SHELL:" "" _flags "${SDK_COMPILE_FLAGS};${SDK_LINK_FLAGS}")
list(REMOVE_DUPLICATES _flags)
string(REPLACE ";" " " _flags "${_flags}")
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${_flags}")
