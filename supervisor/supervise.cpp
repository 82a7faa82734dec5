// The supervision loop: cycles of kill, boot check and start, then reaping and the
// exit-status protocol of the watched programs.
#include "supervisor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t LOG_LINE_SIZE = 256;
constexpr size_t TIMESTAMP_SIZE = 64;

// Runs a fixed shell script with one positional parameter and waits for it. The parameter
// reaches the script as "$1", so no character of it is ever read as shell syntax.
void run_script(const char* script, const char* arg)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        return;
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", script, "sh", arg, static_cast<char*>(nullptr));
        _exit(127);
    }
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

void kill_watched(const SupervisorState& state)
{
    for (int i = 0; i < state.count; i++)
        run_script("killall -9 \"$1\" >/dev/null 2>&1", state.procs[i].name);
}

unsigned segv_delay(SupervisorState& state)
{
    uint32_t n = ++state.segv_restarts;
    return n < 4 ? 600 * n - 540 : 7200;
}

bool decode_wait_status(int status, int& status_code, int& exited_normally)
{
    uint32_t s = static_cast<uint32_t>(status);
    exited_normally = 0;
    if ((s & 0x7f) == 0) {
        status_code = static_cast<int>((s & 0xff00) >> 8);
        exited_normally = 1;
    } else if ((s & 0xffff) - 1 < 0xff) {
        status_code = static_cast<int>(s & 0x7f);
    } else if ((s & 0xff) == 0x7f && (s & 0xff00) != 0) {
        status_code = static_cast<int>((s & 0xff00) >> 8);
    } else {
        return false;
    }
    return true;
}

int find_and_decode(int pid, int status, const SupervisorState& state, int& status_code,
                    int& exited_normally)
{
    for (int i = 0; i < state.count; i++) {
        if (state.procs[i].pid == pid) {
            decode_wait_status(status, status_code, exited_normally);
            return i;
        }
    }
    printf("No such pid(%d) for reexec\n", pid);
    return state.count;
}

// A line that does not fit is cut but keeps its newline, so that the next line starts
// on a line of its own.
size_t format_exit_line(char* line, size_t size, const char* timestamp, const char* name,
                        int status_code, int exited_normally)
{
    const char* format = exited_normally == 1 ? "%s: %s exited normally with code(%d)\n"
                                              : "%s: %s killed by signal(%d)\n";
    int n = snprintf(line, size, format, timestamp, name, status_code);
    if (n < 0)
        return 0;
    if (static_cast<size_t>(n) < size)
        return static_cast<size_t>(n);
    line[size - 2] = '\n';
    return size - 1;
}

void log_exit(int status_code, int exited_normally, const char* name, int fd)
{
    if (fd <= 0)
        return;
    // The layout of asctime ("Tue Dec  8 20:29:37 2026"), without its newline and without
    // its overflow for years past 9999; the daemon never sets a locale, so names are English.
    char timestamp[TIMESTAMP_SIZE] = "";
    time_t now = time(nullptr);
    struct tm local = {};
    if (!localtime_r(&now, &local) ||
        strftime(timestamp, sizeof timestamp, "%a %b %e %H:%M:%S %Y", &local) == 0)
        timestamp[0] = '\0';
    char line[LOG_LINE_SIZE];
    size_t len = format_exit_line(line, sizeof line, timestamp, name, status_code, exited_normally);
    if (write(fd, line, len) < 0) {
        // The exit log is best effort; supervision goes on.
    }
}

int wait_and_restart(SupervisorState& state, int& last_exit_code)
{
    int status = 0;
    int status_code = 0;
    int exited_normally = 0;
    for (;;) {
        int pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            puts("failed to waitpid");
            return -1;
        }
        int slot = find_and_decode(pid, status, state, status_code, exited_normally);
        if (slot >= state.count)
            continue;
        log_exit(status_code, exited_normally, state.procs[slot].name, state.lock_fd);

        if (exited_normally == 1) {
            last_exit_code = status_code;
            switch (status_code) {
            case EXIT_EXEC_FAILED:
                return -1;
            case EXIT_INSTALL_PLUGIN:
            case EXIT_INSTALL_INIT:
            case EXIT_INSTALL_SIGNATURE:
                install_upgrade(state, status_code);
                return 0;
            case EXIT_RESTART_ALL:
                return 0;
            default:
                break;
            }
        }

        unsigned delay = RESTART_DELAY;
        if (exited_normally == 0 && status_code == SIGSEGV) {
            delay = segv_delay(state);
            printf("Will restart segv prog after %d secs\n", static_cast<int>(delay));
        } else {
            printf("Will restart normal prog after %d secs\n", static_cast<int>(delay));
        }
        sleep(delay);

        start_process(state, slot, status_code);
        if (state.procs[slot].pid < 0)
            return -1;
    }
}

void supervise(SupervisorState& state)
{
    int last_exit_code = 0;
    for (;;) {
        kill_watched(state);
        state.plugin_installed = boot_record_check(state);
        for (int i = 0; i < state.count; i++) {
            start_process(state, i, last_exit_code);
            if (state.procs[i].pid < 0)
                return;
        }
        if (wait_and_restart(state, last_exit_code) >= 0)
            continue;
        if (boot_record_remove() == 1) {
            puts("failed boot, then clean bootchk, and try again");
            continue;
        }
        puts("failed for normal boot, exit");
        return;
    }
}
