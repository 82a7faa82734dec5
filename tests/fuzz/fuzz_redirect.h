// What the redirected system() saw (fuzz_redirect.cpp): the command, the number of calls,
// and the boot-check record at the last call, if there was one. The targets reset them.
#pragma once

#include <string>

extern std::string fuzz_system_command;
extern int fuzz_system_calls;
extern bool fuzz_system_record_found;
extern std::string fuzz_system_record;
