/* A stand-in for the watched programs: one binary, copied under the names of a watch list.
 * The black-box tests and the supervisor demo run it on this machine; the gateway image
 * installs it as its samples (sample-exit, sample-crash).
 *
 * Every start appends one line to the start log, and prints it on standard output when that
 * is a terminal:
 *   NAME N pid=P ppid=Q ms=T cwd=DIR fds=0,1,2: ARGV...
 * NAME is the basename of argument 0, N counts the starts of that name in the log, T is the
 * monotonic clock in milliseconds (to the nanosecond), DIR the working directory, then come
 * the descriptors open at the start and the whole argument vector. A word that is empty or
 * holds other characters than letters, digits and @%+=:,./-_ is in single quotes, with each
 * ' as '\'', as a shell reads it back. A SIGTERM (the parent-death signal) appends
 *   ended: NAME N by SIGTERM
 * and ends the program by that signal.
 *
 * The program then runs line N of the control script NAME.ctl (after the last line the last
 * one repeats; blank lines do not count; without a script it pauses until a signal ends it).
 * A line is a ';'-separated list of steps:
 *   run            pause until a signal ends the program
 *   exit N         exit with status N
 *   signal NAME    die by SIGSEGV (SEGV) or SIGKILL (KILL), without a core file
 *   nap MS         wait MS milliseconds
 *   await PATH     wait until PATH exists
 *   put SRC DST    copy the file SRC to DST
 * After the last step of its line the program runs on as "run" does. A step it cannot do ends
 * it with status 98. Relative paths are taken from the working directory, which is the
 * supervisor's.
 *
 * The control scripts are read from the working directory and the start log is
 * /tmp/samples.log, as on the gateway image; with CONTROL_DIR set (the black-box tests give
 * each run its own), both are in CONTROL_DIR.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#define SAFE "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@%+=:,./-_"

static int log_fd = -1;
static char* ended; /* the line of a SIGTERM */
static size_t ended_len;

static void* need(void* p)
{
    if (!p) {
        perror("watched-program");
        exit(99);
    }
    return p;
}

/* Writes WORD at AT as a shell reads it back, in single quotes when it is empty or holds an
 * unsafe character, and returns the end: at most 4 * strlen(WORD) + 2 bytes and a NUL. */
static char* put_word(char* at, const char* word)
{
    int quoted = strspn(word, SAFE) < strlen(word) || *word == '\0';

    if (quoted)
        *at++ = '\'';
    for (; *word; word++) {
        if (*word == '\'')
            at = stpcpy(at, "'\\''");
        else
            *at++ = *word;
    }
    if (quoted)
        *at++ = '\'';
    *at = '\0';
    return at;
}

/* A decimal number as atoi reads it (0 for none), without atoi's undefined overflow. */
static int number(const char* text)
{
    return (int)strtol(text, NULL, 10);
}

static int by_value(const void* a, const void* b)
{
    int x = *(const int*)a;
    int y = *(const int*)b;

    return (x > y) - (x < y);
}

/* The descriptors open now, as "0,1,2" (allocated). */
static char* open_descriptors(void)
{
    DIR* dir = opendir("/proc/self/fd");
    int* fds = NULL;
    size_t count = 0;
    struct dirent* entry;
    char* text;
    char* at;

    while (dir && (entry = readdir(dir)))
        if (entry->d_name[0] != '.' && number(entry->d_name) != dirfd(dir)) {
            fds = need(realloc(fds, (count + 1) * sizeof *fds));
            fds[count++] = number(entry->d_name);
        }
    if (dir)
        closedir(dir);
    if (count > 0)
        qsort(fds, count, sizeof *fds, by_value);
    at = text = need(malloc(count * 12 + 1));
    *at = '\0';
    for (size_t i = 0; i < count; i++)
        at += sprintf(at, i ? ",%d" : "%d", fds[i]);
    free(fds);
    return text;
}

/* The starts in the log at PATH, the lines that begin with HEAD (the quoted name, a space). */
static int count_starts(const char* path, const char* head)
{
    FILE* log = fopen(path, "r");
    char* line = NULL;
    size_t size = 0;
    int n = 0;

    if (!log)
        return 0;
    while (getline(&line, &size, log) > 0)
        if (strncmp(line, head, strlen(head)) == 0)
            n++;
    free(line);
    fclose(log);
    return n;
}

/* The log line of start N (allocated), after HEAD, the quoted name and a space. */
static char* start_line(const char* head, int n, const struct timespec* now, const char* fds,
                        int argc, char** argv)
{
    char cwd[PATH_MAX] = "";
    size_t size;
    char* line;
    char* at;

    if (!getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    size = strlen(head) + 4 * strlen(cwd) + strlen(fds) + 128;
    for (int i = 0; i < argc; i++)
        size += 4 * strlen(argv[i]) + 3;
    at = line = need(malloc(size));
    at += sprintf(at, "%s%d pid=%d ppid=%d ms=%lld.%06ld cwd=", head, n, (int)getpid(),
                  (int)getppid(), (long long)now->tv_sec * 1000 + now->tv_nsec / 1000000,
                  now->tv_nsec % 1000000);
    at = put_word(at, cwd);
    at += sprintf(at, " fds=%s:", fds);
    for (int i = 0; i < argc; i++) {
        *at++ = ' ';
        at = put_word(at, argv[i]);
    }
    *at++ = '\n';
    *at = '\0';
    return line;
}

static void on_term(int sig)
{
    ssize_t written = write(log_fd, ended, ended_len);

    (void)written;
    signal(sig, SIG_DFL);
    raise(sig);
}

/* Appends this start to the log at LOG_PATH and returns its number among the starts of this
 * name. The log is locked from counting to writing, so concurrent starts get distinct
 * numbers; it stays open for the line of a SIGTERM. */
static int record_start(const char* log_path, const char* name, const struct timespec* now,
                        const char* fds, int argc, char** argv)
{
    char* head = need(malloc(4 * strlen(name) + 4));
    char* at = put_word(head, name);
    char* line;
    int n;

    *at++ = ' ';
    *at = '\0';
    log_fd = open(log_path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd >= 0)
        flock(log_fd, LOCK_EX);
    n = count_starts(log_path, head) + 1;
    line = start_line(head, n, now, fds, argc, argv);
    if (log_fd >= 0 && write(log_fd, line, strlen(line)) < 0)
        perror(log_path);
    if (isatty(STDOUT_FILENO) && write(STDOUT_FILENO, line, strlen(line)) < 0)
        perror("stdout");
    if (log_fd >= 0)
        flock(log_fd, LOCK_UN);

    ended = need(malloc(strlen(head) + 32));
    ended_len = (size_t)sprintf(ended, "ended: %s%d by SIGTERM\n", head, n);
    signal(SIGTERM, on_term);
    free(line);
    free(head);
    return n;
}

/* Line N of the control script at PATH (allocated), or the last one when it has fewer; NULL
 * without a script. Blank lines do not count. */
static char* control_line(const char* path, int n)
{
    FILE* script = fopen(path, "r");
    char* line = NULL;
    char* chosen = NULL;
    size_t size = 0;

    if (!script)
        return NULL;
    while (n > 0 && getline(&line, &size, script) > 0) {
        line[strcspn(line, "\n")] = '\0';
        if (line[strspn(line, " \t")] != '\0') {
            free(chosen);
            chosen = need(strdup(line));
            n--;
        }
    }
    free(line);
    fclose(script);
    return chosen;
}

static void nap_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};

    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

/* Dies by the signal NAME; returns for a name it does not know. */
static void die_by(const char* name)
{
    static const struct {
        const char* name;
        int number;
    } signals[] = {{"SEGV", SIGSEGV}, {"KILL", SIGKILL}};

    for (size_t i = 0; i < sizeof signals / sizeof signals[0]; i++)
        if (strcmp(name, signals[i].name) == 0) {
            prctl(PR_SET_DUMPABLE, 0); /* no core file from a SIGSEGV on purpose */
            signal(signals[i].number, SIG_DFL);
            raise(signals[i].number);
        }
}

static int copy_file(const char* from, const char* to)
{
    char buf[65536];
    ssize_t n = 0;
    int in = open(from, O_RDONLY | O_CLOEXEC);
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int ok = in >= 0 && out >= 0;

    while (ok && (n = read(in, buf, sizeof buf)) > 0)
        ok = write(out, buf, (size_t)n) == n;
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return ok && n == 0;
}

/* Does the step of the N words WORD; 0 when it cannot. run, exit and signal do not return. */
static int do_step(char** word, int n)
{
    if (n == 1 && strcmp(word[0], "run") == 0)
        for (;;)
            pause();
    if (n == 2 && strcmp(word[0], "exit") == 0)
        exit(number(word[1]));
    if (n == 2 && strcmp(word[0], "signal") == 0) {
        die_by(word[1]);
        return 0;
    }
    if (n == 2 && strcmp(word[0], "nap") == 0) {
        nap_ms(number(word[1]));
        return 1;
    }
    if (n == 2 && strcmp(word[0], "await") == 0) {
        while (access(word[1], F_OK) != 0)
            nap_ms(5);
        return 1;
    }
    return n == 3 && strcmp(word[0], "put") == 0 && copy_file(word[1], word[2]);
}

static void run_step(char* step)
{
    char shown[256];
    char* word[3] = {NULL, NULL, NULL};
    char* save = NULL;
    int n = 0;

    snprintf(shown, sizeof shown, "%s", step);
    for (char* w = strtok_r(step, " \t", &save); w; w = strtok_r(NULL, " \t", &save))
        if (n++ < 3)
            word[n - 1] = w;
    if (n > 0 && !do_step(word, n)) {
        fprintf(stderr, "watched-program: cannot do step '%s'\n", shown);
        exit(98);
    }
}

static char* path_of(const char* dir, const char* name, const char* suffix)
{
    size_t size = strlen(dir) + strlen(name) + strlen(suffix) + 2;
    char* path = need(malloc(size));

    snprintf(path, size, "%s/%s%s", dir, name, suffix);
    return path;
}

int main(int argc, char** argv)
{
    struct timespec now;
    const char* dir = getenv("CONTROL_DIR");
    const char* name = argc > 0 ? argv[0] : "";
    char* save = NULL;

    clock_gettime(CLOCK_MONOTONIC, &now);
    char* fds = open_descriptors();
    if (strrchr(name, '/'))
        name = strrchr(name, '/') + 1;
    char* log_path = path_of(dir ? dir : "/tmp", "samples", ".log");
    char* ctl_path = path_of(dir ? dir : ".", name, ".ctl");
    int n = record_start(log_path, name, &now, fds, argc, argv);
    char* line = control_line(ctl_path, n);

    free(fds);
    free(log_path);
    free(ctl_path);
    if (line)
        for (char* step = strtok_r(line, ";", &save); step; step = strtok_r(NULL, ";", &save))
            run_step(step);
    free(line);
    for (;;)
        pause();
}
