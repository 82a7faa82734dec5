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
 * With SLEEP_SHIM_EXIT_ON_USR2 set, SIGUSR2 ends the process with exit(0) at its next
 * wait, a sleep(3) or a waitpid(2) (one that is blocked returns for it), so that its exit
 * handlers run: those of a build with the sanitizers check for leaks there. A process
 * killed with SIGKILL never gets to them. The setting is removed from the environment,
 * so that the programs the process starts keep the signal's default action.
 *
 * Built for a target (SLEEP_SHIM_TARGET: another processor, run under qemu user
 * emulation, or another C library), it is loaded into a program whose children are host
 * programs that cannot load it: it then takes LD_PRELOAD out of the environment they
 * inherit.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t exit_asked;

static void ask_exit(int sig)
{
    (void)sig;
    exit_asked = 1;
}

__attribute__((constructor)) static void sleep_shim_init(void)
{
#ifdef SLEEP_SHIM_TARGET
    unsetenv("LD_PRELOAD");
#endif
    const char* on_usr2 = getenv("SLEEP_SHIM_EXIT_ON_USR2");
    if (on_usr2 && *on_usr2) {
        /* Without SA_RESTART: a blocked wait returns with EINTR. */
        struct sigaction sa = {0};
        sa.sa_handler = ask_exit;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR2, &sa, NULL);
    }
    unsetenv("SLEEP_SHIM_EXIT_ON_USR2");
}

static void exit_if_asked(void)
{
    if (exit_asked)
        exit(0);
}

pid_t waitpid(pid_t pid, int* status, int options)
{
    static pid_t (*real_waitpid)(pid_t, int*, int);
    if (!real_waitpid)
        real_waitpid = (pid_t(*)(pid_t, int*, int))dlsym(RTLD_NEXT, "waitpid");
    exit_if_asked();
    pid_t result = real_waitpid(pid, status, options);
    if (result < 0 && errno == EINTR)
        exit_if_asked();
    return result;
}

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
    exit_if_asked();
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
