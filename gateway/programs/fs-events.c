/* fs-events DIR...: prints each change to the entries of the named directories as it
 * happens, one line per event, for a harness that must know how far a sequence of file
 * operations had got when the power was cut:
 *   E MS DIR EVENT NAME
 * MS is the monotonic clock in milliseconds and EVENT one of create, closed (closed after
 * writing), moved-from, moved-to, delete. Once every directory is watched it prints
 * "ready" and goes on in the background, so that a script that runs it knows, when it
 * returns, that no later change goes unseen. Each line is one write, so the lines of several
 * writers do not mix on a serial line.
 */
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#define EVENTS (IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE)
#define MAX_DIRS 8

static void say(const char* line)
{
    size_t len = strlen(line);

    if (write(1, line, len) != (ssize_t)len)
        _exit(1);
}

static const char* event_name(unsigned mask)
{
    if (mask & IN_CREATE)
        return "create";
    if (mask & IN_CLOSE_WRITE)
        return "closed";
    if (mask & IN_MOVED_FROM)
        return "moved-from";
    if (mask & IN_MOVED_TO)
        return "moved-to";
    return "delete";
}

int main(int argc, char** argv)
{
    int fd = inotify_init(), wd[MAX_DIRS];
    char buffer[4096] __attribute__((aligned(__alignof__(struct inotify_event))));

    if (argc < 2 || argc - 1 > MAX_DIRS || fd < 0) {
        fprintf(stderr, "usage: fs-events DIR... (at most %d)\n", MAX_DIRS);
        return 2;
    }
    for (int i = 1; i < argc; i++)
        if ((wd[i - 1] = inotify_add_watch(fd, argv[i], EVENTS)) < 0) {
            perror(argv[i]);
            return 1;
        }
    say("ready\n");
    switch (fork()) {
    case -1:
        perror("fork");
        return 1;
    case 0:
        break;
    default:
        _exit(0);
    }
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        struct timespec now;

        if (n <= 0)
            return 1;
        clock_gettime(CLOCK_MONOTONIC, &now);
        for (char* at = buffer; at < buffer + n;) {
            const struct inotify_event* event = (const struct inotify_event*)at;
            const char* dir = "?";
            char line[PATH_MAX + 64];

            for (int i = 0; i < argc - 1; i++)
                if (wd[i] == event->wd)
                    dir = argv[i + 1];
            if (event->mask & EVENTS) {
                snprintf(line, sizeof line, "E %ld %s %s %s\n",
                         (long)now.tv_sec * 1000 + now.tv_nsec / 1000000, dir,
                         event_name(event->mask), event->len ? event->name : "");
                say(line);
            }
            at += sizeof *event + event->len;
        }
    }
}
