# Prints what a target's toolchain file declares, for what does not use CMake (BusyBox,
# configure scripts, the tests that run a target's program), so that it is said in one place:
#   cmake -DTOOLCHAIN=FILE -DPRINT=flags -P toolchain-print.cmake      the C compiler and
#                                                                      linker flags
#   cmake -DTOOLCHAIN=FILE -DPRINT=compiler -P toolchain-print.cmake   the C compiler
#   cmake -DTOOLCHAIN=FILE -DPRINT=emulator -P toolchain-print.cmake   the command that runs
#                                                                      its programs here
#                                                                      (nothing: natively)
include(${TOOLCHAIN})
if(PRINT STREQUAL "flags")
  string(REPLACE "SHELL:" "" _words "${SDK_COMPILE_FLAGS};${SDK_LINK_FLAGS}")
  list(REMOVE_DUPLICATES _words)
elseif(PRINT STREQUAL "compiler")
  set(_words ${CMAKE_C_COMPILER})
elseif(PRINT STREQUAL "emulator")
  set(_words ${CMAKE_CROSSCOMPILING_EMULATOR})
else()
  message(FATAL_ERROR "PRINT is flags, compiler or emulator, not '${PRINT}'")
endif()
string(REPLACE ";" " " _words "${_words}")
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${_words}")
