/*
 * LD_PRELOAD library that traces the calls which make files durable or put them in
 * place, for tests of their order.
 *
 * With SYNC_TRACE_LOG naming a file, each call of these that succeeds (of system, each
 * call) appends one line to it once the real function has returned:
 *   syncfs PATH      PATH of the descriptor, as /proc/self/fd shows it
 *   sync
 *   rename OLD NEW
 *   system COMMAND   the command has ended
 * Lines are appended with O_APPEND, so that the processes of a run share one file.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void trace(const char* what, const char* first, const char* second)
{
    const char* log = getenv("SYNC_TRACE_LOG");
    if (!log || !*log)
        return;
    int saved = errno;
    char line[2 * PATH_MAX + 32];
    int n = snprintf(line, sizeof line, "%s%s%s%s%s\n", what, first ? " " : "", first ? first : "",
                     second ? " " : "", second ? second : "");
    if (n < 0)
        n = 0;
    if (n > (int)sizeof line - 1)
        n = (int)sizeof line - 1;
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)n) != n) {
            /* A line lost shows as a wrong order in the test. */
        }
        close(fd);
    }
    errno = saved;
}

static void* real(const char* name)
{
    void* f = dlsym(RTLD_NEXT, name);
    if (!f)
        abort(); /* every C library the tests use has them all */
    return f;
}

int syncfs(int fd)
{
    int (*real_syncfs)(int) = (int (*)(int))real("syncfs");
    int result = real_syncfs(fd);
    if (result != 0)
        return result;
    char fd_link[64];
    char name[PATH_MAX];
    snprintf(fd_link, sizeof fd_link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(fd_link, name, sizeof name - 1);
    name[n > 0 ? n : 0] = '\0';
    trace("syncfs", name, NULL);
    return result;
}

void sync(void)
{
    void (*real_sync)(void) = (void (*)(void))real("sync");
    real_sync();
    trace("sync", NULL, NULL);
}

int rename(const char* from, const char* to)
{
    int (*real_rename)(const char*, const char*) =
        (int (*)(const char*, const char*))real("rename");
    int result = real_rename(from, to);
    if (result == 0)
        trace("rename", from, to);
    return result;
}

int system(const char* command)
{
    int (*real_system)(const char*) = (int (*)(const char*))real("system");
    int result = real_system(command);
    trace("system", command, NULL);
    return result;
}
