/*
 * LD_PRELOAD library that makes one fork(2) of a process go wrong, for fault tests.
 *
 *   FORK_SHIM_FAIL=N  the Nth call of fork fails with EAGAIN, as when the process table
 *                     or memory is exhausted; every other call forks.
 *   FORK_SHIM_FAILS=K with FORK_SHIM_FAIL=N: the K calls from the Nth on fail (default 1).
 *   FORK_SHIM_KILL=N  the Nth call forks, then the parent kills itself with SIGKILL at
 *                     once while the child waits 100 ms before it goes on: the child
 *                     runs on after its parent has died.
 *
 * The settings are read once, when the library is loaded, and removed from the
 * environment, so that the programs the process starts count nothing of their own.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static long fail_at;
static long fails;
static long kill_at;
static long calls;

static long take_setting(const char* name)
{
    const char* text = getenv(name);
    long n = text && *text ? strtol(text, NULL, 10) : 0;
    unsetenv(name);
    return n;
}

__attribute__((constructor)) static void fork_shim_init(void)
{
    fail_at = take_setting("FORK_SHIM_FAIL");
    fails = take_setting("FORK_SHIM_FAILS");
    if (fails < 1)
        fails = 1;
    kill_at = take_setting("FORK_SHIM_KILL");
}

pid_t fork(void)
{
    pid_t (*real_fork)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    calls++;
    if (fail_at > 0 && calls >= fail_at && calls < fail_at + fails) {
        errno = EAGAIN;
        return -1;
    }
    pid_t pid = real_fork();
    if (calls == kill_at) {
        if (pid > 0)
            kill(getpid(), SIGKILL);
        if (pid == 0) {
            struct timespec ts = {0, 100 * 1000000L};
            while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
            }
        }
    }
    return pid;
}
