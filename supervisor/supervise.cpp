// The supervision loop: cycles of kill, boot check and start, then reaping and the
// exit-status protocol of the watched programs.
#include "supervisor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t LOG_LINE_SIZE = 256;
constexpr size_t TIMESTAMP_SIZE = 64;
// The lock file never grows past EXIT_LOG_CAP bytes; when it would, the oldest exit-log
// lines go until the rest of the log takes at most EXIT_LOG_KEEP bytes.
constexpr off_t EXIT_LOG_CAP = 65536;
constexpr off_t EXIT_LOG_KEEP = 32768;
constexpr size_t LOG_CHUNK = 1024;

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

// Bytes of the lock file to read at AT, at most a chunk, none from END on.
size_t chunk(off_t at, off_t end)
{
    return end - at < static_cast<off_t>(LOG_CHUNK) ? static_cast<size_t>(end - at) : LOG_CHUNK;
}

// Offset just past the first newline at or after AT, or END when there is none.
off_t line_end(int fd, off_t at, off_t end, char (&buffer)[LOG_CHUNK])
{
    while (at < end) {
        ssize_t n = pread(fd, buffer, chunk(at, end), at);
        if (n <= 0)
            return end;
        const void* newline = memchr(buffer, '\n', static_cast<size_t>(n));
        if (newline)
            return at + (static_cast<const char*>(newline) - buffer) + 1;
        at += n;
    }
    return end;
}

// Ends the lock file at AT, where the next line is then written.
void cut_log(int fd, off_t at)
{
    if (ftruncate(fd, at) != 0) {
        // Cannot fail on the daemon's own regular file, opened for writing.
    }
    lseek(fd, at, SEEK_SET);
}

// Makes room for LENGTH more bytes at the descriptor's position within EXIT_LOG_CAP. The
// kept lines are moved forward behind the directory line, in place through the locked
// descriptor, and the file is cut behind them; only whole lines are dropped. Returns the
// position at which the next line goes, or -1 when it is unknown.
off_t make_room(int fd, size_t length)
{
    off_t end = lseek(fd, 0, SEEK_CUR);
    if (end < 0 || end + static_cast<off_t>(length) <= EXIT_LOG_CAP)
        return end;
    char buffer[LOG_CHUNK];
    off_t head = line_end(fd, 0, end, buffer);
    off_t from =
        end - EXIT_LOG_KEEP > head ? line_end(fd, end - EXIT_LOG_KEEP - 1, end, buffer) : head;
    off_t to = head;
    while (from < end) {
        ssize_t n = pread(fd, buffer, chunk(from, end), from);
        if (n <= 0 || pwrite(fd, buffer, static_cast<size_t>(n), to) != n) {
            to = head; // a part moved would leave a cut line: drop the whole log instead
            break;
        }
        from += n;
        to += n;
    }
    cut_log(fd, to);
    return to;
}

// A new cycle begins no sooner than a second after the previous one began, on the
// monotonic clock: a program that ends its cycle at once (exit 160, or an install
// without a package) costs one cycle a second, not a whole processor and an exit log
// that grows without end. One wait until that moment, which returns at once when it
// has passed.
void pace_cycle(const timespec& begun)
{
    timespec next = begun;
    next.tv_sec += 1;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
    }
}

} // namespace

// The name comes after "--": one that begins with "-" is a name, never an option.
void kill_watched(const SupervisorState& state)
{
    for (int i = 0; i < state.count; i++)
        run_script("killall -9 -- \"$1\" >/dev/null 2>&1", state.procs[i].name);
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
    off_t at = make_room(fd, len);
    // The exit log is best effort; supervision goes on. A line cut short (a full file
    // system) is taken back, so that no later line runs into it.
    ssize_t n = write(fd, line, len);
    if (n >= 0 && static_cast<size_t>(n) < len && at >= 0)
        cut_log(fd, at);
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
    }
}

void supervise(SupervisorState& state)
{
    int last_exit_code = 0;
    timespec begun = {};
    for (bool first = true;; first = false) {
        if (!first)
            pace_cycle(begun);
        clock_gettime(CLOCK_MONOTONIC, &begun);
        kill_watched(state);
        state.plugin_installed = boot_record_check(state);
        for (int i = 0; i < state.count; i++)
            start_process(state, i, last_exit_code);
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
