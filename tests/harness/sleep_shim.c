/*
 * LD_PRELOAD library that takes the waiting out of sleep(3) for tests and the demo.
 *
 * Each call appends the requested seconds as one line to the file named by
 * SLEEP_SHIM_LOG (when set), then waits SLEEP_SHIM_MS milliseconds (default 20)
 * instead of the requested time, and reports the whole sleep as done.
 *
 * time(2) reports SLEEP_SHIM_TIME (seconds since the epoch) when that is set, e.g. a
 * date past 2038, which a 32-bit target shows only with a 64-bit time_t. Built with
 * 64-bit time there, the definition below takes the C library's 64-bit name (__time64),
 * and the old name "time" answers as the C library does for a 32-bit time_t. Against a
 * C library whose time_t has only 32 bits (uClibc-ng on 32-bit MIPS), the time wraps
 * modulo 2^32 into the signed range, as the kernel's 32-bit time calls return it there.
 *
 * Built for a target (SLEEP_SHIM_TARGET: another processor, run under qemu user
 * emulation, or another C library), it is loaded into a program whose children are host
 * programs that cannot load it: it then takes LD_PRELOAD out of the environment they
 * inherit.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#ifdef SLEEP_SHIM_TARGET
__attribute__((constructor)) static void keep_from_children(void)
{
    unsetenv("LD_PRELOAD");
}
#endif

unsigned int sleep(unsigned int seconds)
{
    const char* log = getenv("SLEEP_SHIM_LOG");
    const char* ms_text = getenv("SLEEP_SHIM_MS");
    long ms = ms_text && *ms_text ? strtol(ms_text, NULL, 10) : 20;

    if (log && *log) {
        char line[16];
        int len = snprintf(line, sizeof line, "%u\n", seconds);
        int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (write(fd, line, (size_t)len) < 0)
                perror("sleep_shim");
            close(fd);
        }
    }
    if (ms > 0) {
        struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
        nanosleep(&ts, NULL);
    }
    return 0;
}

time_t time(time_t* out)
{
    const char* fixed = getenv("SLEEP_SHIM_TIME");
    time_t now = (time_t)-1;
    struct timespec ts;
    if (fixed && *fixed)
        now = (time_t)strtoll(fixed, NULL, 10); /* GCC converts modulo 2^N */
    else if (clock_gettime(CLOCK_REALTIME, &ts) == 0)
        now = ts.tv_sec;
    if (out)
        *out = now;
    return now;
}

#if defined(__GLIBC__) && defined(__USE_TIME_BITS64) /* glibc, 32-bit target, 64-bit time */
/* -1 and EOVERFLOW for a time a 32-bit time_t cannot hold. */
int32_t time32(int32_t* out) __asm__("time");
int32_t time32(int32_t* out)
{
    time_t now = time(NULL);
    int32_t t = (int32_t)now;
    if (t != now) {
        errno = EOVERFLOW;
        t = -1;
    }
    if (out)
        *out = t;
    return t;
}
#endif
