// Helpers shared by the fuzz targets: a check that ends the run, one private scratch
// directory per process, and whole-file reads and writes inside it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

// A property of the code under test; a violation aborts, which libFuzzer reports as a
// crash with the input that caused it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);          \
            abort();                                                                               \
        }                                                                                          \
    } while (0)

// The scratch directory, created on first use under $TMPDIR (or /tmp) with the
// subdirectories "data" and "uci", and removed when the process exits.
const std::string& fuzz_root();

void fuzz_write_file(const std::string& path, const void* data, size_t size);
// False when the file cannot be opened.
bool fuzz_read_file(const std::string& path, std::string& text);
// The names in a directory, sorted, without "." and "..".
std::string fuzz_list_dir(const std::string& dir);
// Removes every entry of a directory (not the directory itself): files, and empty
// directories.
void fuzz_clear_dir(const std::string& dir);
