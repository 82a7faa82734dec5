/*
 * LD_PRELOAD library that runs a program's monotonic time CLOCK_WARP_FACTOR times faster
 * (default 10), so that a long timeout of a GLib main loop passes in a fraction of the
 * real time while the program still asks for, and waits, its full timeout.
 *
 * GLib's main loop measures time with clock_gettime(CLOCK_MONOTONIC) and waits in
 * poll(2). Here CLOCK_MONOTONIC reads as the real clock at load time plus FACTOR times
 * the real time passed since, and each poll timeout is divided by FACTOR (rounded up,
 * so that a wait never ends early in the warped time). Other clocks and waits are left
 * alone.
 *
 * With CLOCK_WARP_LOG set, the file named by it gets the line "poll ASKED WAITED" for
 * every poll with a timeout (both in warped milliseconds: the timeout asked for and the
 * time the poll took) and, at exit, the line "elapsed WARPED_MS REAL_MS" for the whole run.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static int (*real_clock_gettime)(clockid_t, struct timespec*);
static int (*real_poll)(struct pollfd*, nfds_t, int);
static int64_t factor = 10;
static int64_t start_ns; /* real CLOCK_MONOTONIC when loaded */

static int64_t real_now_ns(void)
{
    struct timespec ts;
    real_clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void log_line(const char* format, ...)
{
    const char* log = getenv("CLOCK_WARP_LOG");
    if (!log || !*log)
        return;
    char line[64];
    va_list args;
    va_start(args, format);
    /* The analyser misses the va_start right above. */
    /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized) */
    int len = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)len) < 0)
        perror("clock_warp");
    close(fd);
}

/* Runs as the library loads, and before that from the wrappers if another library's
 * start-up code calls them first. */
__attribute__((constructor)) static void warp_start(void)
{
    if (start_ns)
        return;
    real_clock_gettime = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    real_poll = (int (*)(struct pollfd*, nfds_t, int))dlsym(RTLD_NEXT, "poll");
    const char* text = getenv("CLOCK_WARP_FACTOR");
    long long n = text ? strtoll(text, NULL, 10) : 0;
    if (n > 0)
        factor = n;
    start_ns = real_now_ns();
}

__attribute__((destructor)) static void warp_end(void)
{
    int64_t real_ns = real_now_ns() - start_ns;
    log_line("elapsed %lld %lld\n", (long long)(real_ns * factor / 1000000),
             (long long)(real_ns / 1000000));
}

int clock_gettime(clockid_t clock, struct timespec* ts)
{
    warp_start();
    if (clock != CLOCK_MONOTONIC)
        return real_clock_gettime(clock, ts);
    int64_t warped = start_ns + (real_now_ns() - start_ns) * factor;
    ts->tv_sec = (time_t)(warped / 1000000000);
    ts->tv_nsec = (long)(warped % 1000000000);
    return 0;
}

int poll(struct pollfd* fds, nfds_t count, int timeout_ms)
{
    warp_start();
    if (timeout_ms <= 0)
        return real_poll(fds, count, timeout_ms);
    int64_t begin_ns = real_now_ns();
    int result = real_poll(fds, count, (int)((timeout_ms + factor - 1) / factor));
    int poll_errno = errno; /* the caller looks at it, the log must not change it */
    log_line("poll %d %lld\n", timeout_ms,
             (long long)((real_now_ns() - begin_ns) * factor / 1000000));
    errno = poll_errno;
    return result;
}
