# Prints the C compiler flags of the SDK's toolchain file, for builds that do not use CMake
# (BusyBox), so that they have these flags from one place:
#   cmake -DTOOLCHAIN=build-gateway/sdk/toolchainfile.cmake -P c-flags.cmake
include(${TOOLCHAIN})
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${CMAKE_C_FLAGS_INIT}")
