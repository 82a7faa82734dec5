/*
 * LD_PRELOAD library that takes the waiting out of sleep(3) for tests and the demo.
 *
 * Each call appends the requested seconds as one line to the file named by
 * SLEEP_SHIM_LOG (when set), then waits SLEEP_SHIM_MS milliseconds (default 20)
 * instead of the requested time, and reports the whole sleep as done.
 *
 * Built for a target (SLEEP_SHIM_TARGET: another processor, run under qemu user
 * emulation, or another C library), it is loaded into a program whose children are host
 * programs that cannot load it: it then takes LD_PRELOAD out of the environment they
 * inherit.
 */
#define _GNU_SOURCE
#include <fcntl.h>
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
