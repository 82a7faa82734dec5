// What the redirected system() saw (fuzz_redirect.cpp); the targets reset both.
#pragma once

#include <string>

extern std::string fuzz_system_command;
extern int fuzz_system_calls;
