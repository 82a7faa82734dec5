/*
 * LD_PRELOAD library for bench/soak.sh: measures the supervisor between exits of its
 * watched programs and ends it cleanly after a given number of them.
 *
 * Every waitpid(-1, ...) of the supervision loop waits for the next exit. The second
 * such call comes after the first exit has been handled (logged, the program started
 * again): there the daemon's resident memory and open descriptors are written to
 * SOAK_REPORT. The call after SOAK_EXITS exits writes them again and ends the process
 * with exit(0), so that the leak checker of a sanitizer build runs as at any orderly end.
 * Report lines: "first|end VMRSS_KB RSSANON_KB FDS EXITS".
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

/* The hook allocates nothing: memory it took and freed would stay in the sanitizer's
 * quarantine and show in the figures as the daemon's own. */

static long waits;

/* One figure of /proc/self/status, in kB. */
static long status_kb(const char* key)
{
    char text[4096];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0)
        close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    const char* at = strstr(text, key);
    return at ? strtol(at + strlen(key), NULL, 10) : -1;
}

static int open_fds(void)
{
    char buffer[4096];
    int n = 0;
    int fd = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    long got;
    while (fd >= 0 && (got = syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < got;) {
            const struct dirent64* e = (const struct dirent64*)(buffer + at);
            if (e->d_name[0] != '.')
                n++;
            at += e->d_reclen;
        }
    }
    if (fd >= 0)
        close(fd);
    return n - 1; /* the directory's own descriptor */
}

static void report(const char* what, long exits)
{
    /* The figures are taken before the report file is opened. */
    long rss = status_kb("VmRSS:");
    long anon = status_kb("RssAnon:");
    int fds = open_fds();
    const char* path = getenv("SOAK_REPORT");
    char line[128];
    int len = snprintf(line, sizeof line, "%s %ld %ld %d %ld\n", what, rss, anon, fds, exits);
    int fd = path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)len) < 0)
        perror("soak_hook");
    close(fd);
}

pid_t waitpid(pid_t pid, int* status, int options)
{
    static pid_t (*real_waitpid)(pid_t, int*, int);
    if (!real_waitpid)
        real_waitpid = (pid_t(*)(pid_t, int*, int))dlsym(RTLD_NEXT, "waitpid");
    if (pid == -1) {
        const char* text = getenv("SOAK_EXITS");
        long exits = text ? strtol(text, NULL, 10) : 0;
        waits++;
        if (waits == 2)
            report("first", 1);
        if (exits > 0 && waits == exits + 1) {
            report("end", exits);
            exit(0);
        }
    }
    return real_waitpid(pid, status, options);
}
