/* A sample watched program for the gateway image, one binary installed under several names.
 *
 * Every start appends one line to /tmp/samples.log, and prints it on standard output when
 * that is a terminal:
 *   NAME N pid=P ppid=Q ms=T: ARGV...
 * where NAME is the basename of argv[0], N counts the starts of that name (in the log), T is
 * the monotonic clock in milliseconds and ARGV the whole argument vector. A SIGTERM appends
 *   ended: NAME N by SIGTERM
 * before it ends the program as it would have without the line. The program then runs line N
 * of the control script NAME.ctl in the working directory (after the last line the last one
 * repeats; without a script it pauses until a signal ends it). A line is a ';'-separated
 * list of steps:
 *   run            pause until a signal ends the program
 *   exit N         exit with status N
 *   signal N       raise signal N
 *   nap MS         wait MS milliseconds
 *   put SRC DST    copy the file SRC to DST
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#define LOG_PATH "/tmp/samples.log"

static int log_fd = -1;

static char text[16384];
static char ended[600];
static size_t ended_len;

static void on_term(int sig)
{
    ssize_t written = write(log_fd, ended, ended_len);

    (void)written;
    signal(sig, SIG_DFL);
    raise(sig);
}

/* Reads up to sizeof text - 1 bytes of a file into text; 0 when it cannot be opened. */
static int read_text(const char* path)
{
    int fd = open(path, O_RDONLY);
    size_t len = 0;
    ssize_t n;

    if (fd < 0)
        return 0;
    while (len < sizeof text - 1 && (n = read(fd, text + len, sizeof text - 1 - len)) > 0)
        len += (size_t)n;
    text[len] = '\0';
    close(fd);
    return 1;
}

/* Appends this start to the log and returns its number among the starts of this name. The
 * log is locked from counting to writing, so concurrent starts get distinct numbers. */
static int record_start(const char* name, int argc, char** argv)
{
    char line[2048];
    struct timespec now;
    size_t len, name_len = strlen(name);
    int n = 1, fd = open(LOG_PATH, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    char* at;

    if (fd >= 0)
        flock(fd, LOCK_EX);
    if (read_text(LOG_PATH))
        for (at = text; *at; at = strchr(at, '\n') ? strchr(at, '\n') + 1 : at + strlen(at))
            if (strncmp(at, name, name_len) == 0 && at[name_len] == ' ')
                n++;
    clock_gettime(CLOCK_MONOTONIC, &now);
    len = (size_t)snprintf(line, sizeof line, "%s %d pid=%d ppid=%d ms=%ld:", name, n, (int)getpid(),
                           (int)getppid(), (long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
    for (int i = 0; i < argc && len < sizeof line; i++)
        len += (size_t)snprintf(line + len, sizeof line - len, " %s", argv[i]);
    if (len >= sizeof line - 1)
        len = sizeof line - 2;
    line[len++] = '\n';
    if (fd >= 0 && write(fd, line, len) < 0)
        perror(LOG_PATH);
    if (isatty(1)) {
        fwrite(line, 1, len, stdout);
        fflush(stdout);
    }
    /* The log stays open (and unlocked) for the line of a SIGTERM. */
    if (fd >= 0)
        flock(fd, LOCK_UN);
    log_fd = fd;
    ended_len = (size_t)snprintf(ended, sizeof ended, "ended: %s %d by SIGTERM\n", name, n);
    if (ended_len >= sizeof ended)
        ended_len = sizeof ended - 1;
    signal(SIGTERM, on_term);
    return n;
}

static void nap_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};

    while (nanosleep(&ts, &ts) < 0) {
    }
}

static int copy_file(const char* from, const char* to)
{
    char buf[4096];
    ssize_t n;
    int in = open(from, O_RDONLY), out = open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644), ok;

    ok = in >= 0 && out >= 0;
    while (ok && (n = read(in, buf, sizeof buf)) > 0)
        ok = write(out, buf, (size_t)n) == n;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return ok;
}

static void run_step(char* step)
{
    char* word[3] = {0, 0, 0};
    char* save = 0;
    int n = 0;

    for (char* w = strtok_r(step, " \t", &save); w && n < 3; w = strtok_r(0, " \t", &save))
        word[n++] = w;
    if (n == 0)
        return;
    if (strcmp(word[0], "run") == 0)
        for (;;)
            pause();
    if (n == 2 && strcmp(word[0], "exit") == 0)
        exit(atoi(word[1]));
    if (n == 2 && strcmp(word[0], "signal") == 0) {
        raise(atoi(word[1]));
        return;
    }
    if (n == 2 && strcmp(word[0], "nap") == 0) {
        nap_ms(atol(word[1]));
        return;
    }
    if (n == 3 && strcmp(word[0], "put") == 0 && copy_file(word[1], word[2]))
        return;
    fprintf(stderr, "sample: cannot do step '%s'\n", word[0]);
    exit(98);
}

int main(int argc, char** argv)
{
    const char* name = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    char path[512], *line = 0, *save = 0;
    int n = record_start(name, argc, argv);

    snprintf(path, sizeof path, "%s.ctl", name);
    if (read_text(path))
        for (char* l = strtok_r(text, "\n", &save); l && n > 0; l = strtok_r(0, "\n", &save), n--)
            line = l;
    if (line)
        for (char* step = strtok_r(line, ";", &save); step; step = strtok_r(0, ";", &save))
            run_step(step);
    for (;;)
        pause();
}
