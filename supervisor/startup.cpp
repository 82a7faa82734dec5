// Start-up: descriptors, working directory, runtime directory and the instance lock.
#include "supervisor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// A descriptor 0, 1 or 2 that the parent left closed would be taken by the next file
// the daemon opens: the lock file would then receive the daemon's messages, or be
// passed to every watched program as its standard input or output. /dev/null fills the
// gaps; the first descriptor it gets above 2 is not needed.
void open_standard_fds()
{
    int fd;
    do
        fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= 2);
    if (fd > 2)
        close(fd);
}

void close_inherited_fds(int first)
{
    long limit = sysconf(_SC_OPEN_MAX);
    int start = first > 0 ? first : 3;
    if (limit <= start)
        return;
#ifdef SYS_close_range
    // One call instead of a loop over a limit that may be a million descriptors.
    if (syscall(SYS_close_range, start, static_cast<unsigned>(limit - 1), 0) == 0)
        return;
#endif
    for (long fd = start; fd < limit; fd++)
        close(static_cast<int>(fd));
}

// POSIX basename and dirname may write into their argument, so both work on a copy;
// a copy of any length, so that an argv[0] longer than a path buffer is still handled.
void format_lock_path(SupervisorState& state, const char* program)
{
    char* copy = program ? strdup(program) : nullptr;
    snprintf(state.lock_path, sizeof state.lock_path, "%s%s.run", RUNTIME_DIR,
             basename(copy ? copy : const_cast<char*>(".")));
    free(copy);
}

void enter_program_dir(const char* path)
{
    if (!path)
        return;
    char* copy = strdup(path);
    if (!copy)
        return;
    if (chdir(dirname(copy)) != 0) {
        // Stay where the daemon was started; "config" and the lock are then taken from there.
    }
    free(copy);
}

namespace {

// What makes the runtime directory unfit for a daemon that runs as root, or nullptr. Only
// the daemon's own user may create or replace files in it: anybody else could plant the
// lock file or the upgrade package there.
const char* runtime_dir_fault(const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        return "is a symbolic link";
    if (!S_ISDIR(st.st_mode))
        return "is not a directory";
    if (st.st_uid != geteuid())
        return "is owned by another user";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "is writable by group or others";
    return nullptr;
}

} // namespace

int ensure_runtime_dir()
{
    DIR* dir = opendir(RUNTIME_DIR);
    if (dir) {
        closedir(dir);
    } else if (mkdir(RUNTIME_DIR, 0755) == 0) {
        // Made by the daemon: 0755 whatever the umask it inherited.
        if (chmod(RUNTIME_DIR, 0755) != 0) {
            // Checked below like any directory found.
        }
    } else {
        printf("mkdir (%s) error: %s", RUNTIME_DIR, strerror(errno));
        return -1;
    }
    // Without its closing slash: through a trailing slash, lstat follows a symbolic link.
    char name[sizeof RUNTIME_DIR];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof RUNTIME_DIR - 2), RUNTIME_DIR);
    struct stat st = {};
    const char* fault = lstat(name, &st) == 0 ? runtime_dir_fault(st) : strerror(errno);
    if (fault) {
        printf("unsafe runtime dir (%s): %s\n", RUNTIME_DIR, fault);
        return -1;
    }
    return 0;
}

int open_locked_file(const char* path, const void* data, int length)
{
    if (!path) {
        puts("NULL file name");
        return -1;
    }
    // Never through a symbolic link: the daemon runs as root and truncates this file.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        printf("failed to open %s\n", path);
        return -1;
    }
    // Private whatever the umask, and before the lock is taken: flock works on a
    // descriptor open for reading, so anybody who can open the file can hold the lock.
    if (fchmod(fd, 0600) != 0) {
        // Only the daemon's user can have made the file in its own directory.
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        printf("already in use for %s\n", path);
        close(fd);
        return -1;
    }
    if (ftruncate(fd, 0) != 0) {
        // A lock file that keeps old bytes still works as a lock.
    }
    if (length > 0 && write(fd, data, static_cast<size_t>(length)) < 0) {
        // The directory line is informative only.
    }
    return fd;
}

int claim_instance(const char* program, SupervisorState& state)
{
    char cwd[NAME_SIZE];
    if (!getcwd(cwd, sizeof cwd)) {
        puts("failed to get current dir");
        return -1;
    }
    state.lock_fd = open_locked_file(state.lock_path, cwd, static_cast<int>(strlen(cwd)));
    if (state.lock_fd < 0) {
        printf("process(%s) already run\n", program ? program : "");
        return -1;
    }
    if (write(state.lock_fd, "\n", 1) < 0) {
        // Ignored like the directory line itself.
    }
    return 0;
}
