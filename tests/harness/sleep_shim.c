/*
 * LD_PRELOAD library that takes the waiting out of sleep(3) and clock_nanosleep(2) for
 * tests and the demo.
 *
 * Each call of sleep appends the requested seconds as one line to the file named by
 * SLEEP_SHIM_LOG (when set), then waits SLEEP_SHIM_MS milliseconds (default 20)
 * instead of the requested time, and reports the whole sleep as done. A clock_nanosleep
 * until an absolute time appends "until DEADLINE REMAINING", one for a relative time
 * "for REMAINING" (nanoseconds: the deadline as the call's clock reads it, and the time
 * the wait would have taken), then waits at most SLEEP_SHIM_MS milliseconds, and reports
 * the wait as done. Built with 64-bit time on a 32-bit glibc target, the definition takes
 * the C library's 64-bit name (__clock_nanosleep_time64), which such a program calls.
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

static void log_wait(const char* line, int len)
{
    const char* log = getenv("SLEEP_SHIM_LOG");
    if (!log || !*log || len <= 0)
        return;
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)len) < 0)
            perror("sleep_shim");
        close(fd);
    }
}

/* Waits SLEEP_SHIM_MS milliseconds, or LIMIT_NS nanoseconds when that is less (a negative
 * limit: none). */
static void shim_wait(int64_t limit_ns)
{
    const char* ms_text = getenv("SLEEP_SHIM_MS");
    long ms = ms_text && *ms_text ? strtol(ms_text, NULL, 10) : 20;
    int64_t ns = (int64_t)ms * 1000000;
    if (limit_ns >= 0 && limit_ns < ns)
        ns = limit_ns;
    if (ns > 0) {
        struct timespec ts = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
        nanosleep(&ts, NULL);
    }
    exit_if_asked();
}

unsigned int sleep(unsigned int seconds)
{
    char line[16];
    log_wait(line, snprintf(line, sizeof line, "%u\n", seconds));
    shim_wait(-1);
    return 0;
}

static int64_t ns_of(const struct timespec* ts)
{
    return (int64_t)ts->tv_sec * 1000000000 + ts->tv_nsec;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* request,
                    struct timespec* remain)
{
    char line[64];
    int64_t ns = ns_of(request);
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        int64_t remaining = clock_gettime(clock, &now) == 0 ? ns - ns_of(&now) : 0;
        if (remaining < 0)
            remaining = 0;
        log_wait(line, snprintf(line, sizeof line, "until %lld %lld\n", (long long)ns,
                                (long long)remaining));
        ns = remaining;
    } else {
        log_wait(line, snprintf(line, sizeof line, "for %lld\n", (long long)ns));
    }
    shim_wait(ns);
    (void)remain; /* left alone, as on a wait that ran to its end */
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
