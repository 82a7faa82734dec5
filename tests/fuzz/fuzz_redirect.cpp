// Link-time redirection of the daemon's fixed directories for the fuzz targets that run
// the boot-check record and the upgrade installer as they are.
//
// The targets are linked with -Wl,--wrap=NAME for every file system call those units
// make (see CMakeLists.txt). A path under DATA_DIR "/data/" or RUNTIME_DIR "/tmp/.uci/"
// is moved into the scratch directory's "data" or "uci"; any other path passes
// unchanged. The shell is never started: system() records the command and the boot-check
// record as the loader would find it, and reports success, so the loader tool is not
// run. fsync(), syncfs() and sync() report success without flushing: they change nothing
// that the targets check, and a disk flush per file written would bound the installer's
// target to a few dozen runs a second.
#include "fuzz_redirect.h"

#include "fuzz_support.h"
#include "supervisor.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::string fuzz_system_command;
int fuzz_system_calls = 0;
bool fuzz_system_record_found = false;
std::string fuzz_system_record;

namespace {

// The path the call really uses: one under the scratch directory for the two fixed
// directories, the given one otherwise.
struct Redirected {
    std::string moved;
    const char* path;
    explicit Redirected(const char* given) : path(given)
    {
        if (!given)
            return;
        const struct {
            const char* prefix;
            const char* into;
        } dirs[] = {{DATA_DIR, "/data/"}, {RUNTIME_DIR, "/uci/"}};
        for (const auto& d : dirs) {
            size_t n = strlen(d.prefix);
            if (strncmp(given, d.prefix, n) == 0) {
                moved = fuzz_root() + d.into + (given + n);
                path = moved.c_str();
                return;
            }
        }
    }
};

} // namespace

extern "C" {

int __real_stat(const char* path, struct stat* st);
int __real_lstat(const char* path, struct stat* st);
FILE* __real_fopen(const char* path, const char* mode);
int __real_access(const char* path, int how);
int __real_unlink(const char* path);
int __real_open(const char* path, int flags, ...);
int __real_rename(const char* from, const char* to);

int __wrap_stat(const char* path, struct stat* st)
{
    return __real_stat(Redirected(path).path, st);
}

int __wrap_lstat(const char* path, struct stat* st)
{
    return __real_lstat(Redirected(path).path, st);
}

FILE* __wrap_fopen(const char* path, const char* mode)
{
    return __real_fopen(Redirected(path).path, mode);
}

int __wrap_access(const char* path, int how)
{
    return __real_access(Redirected(path).path, how);
}

int __wrap_unlink(const char* path)
{
    return __real_unlink(Redirected(path).path);
}

int __wrap_open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return __real_open(Redirected(path).path, flags, mode);
}

int __wrap_rename(const char* from, const char* to)
{
    return __real_rename(Redirected(from).path, Redirected(to).path);
}

int __wrap_fsync(int)
{
    return 0;
}

int __wrap_syncfs(int)
{
    return 0;
}

void __wrap_sync() {}

int __wrap_system(const char* command)
{
    fuzz_system_command = command ? command : "";
    fuzz_system_calls++;
    fuzz_system_record_found =
        fuzz_read_file(fuzz_root() + "/data/" + BOOT_RECORD_FILE, fuzz_system_record);
    return 0;
}

} // extern "C"
