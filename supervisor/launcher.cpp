// Starting one watched program as a child of the daemon.
#include "supervisor.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

// The vector refers to the path itself, so argument 0 is the full path whatever its length.
int build_child_argv(ChildArgv& args, const char* path, int restart_code, int debug,
                     int plugin_mode)
{
    memset(&args, 0, sizeof args);
    int n = 0;
    args.argv[n++] = const_cast<char*>(path);
    if (restart_code != 0) {
        snprintf(args.code, sizeof args.code, "%d", restart_code);
        args.argv[n++] = const_cast<char*>("-r");
        args.argv[n++] = args.code;
    }
    if (debug == 1)
        args.argv[n++] = const_cast<char*>("-d");
    if (plugin_mode == 1) {
        args.argv[n++] = const_cast<char*>("-T");
        args.argv[n++] = const_cast<char*>(RUNTIME_DIR);
        args.argv[n++] = const_cast<char*>("-D");
        args.argv[n++] = const_cast<char*>(DATA_DIR);
        args.argv[n++] = const_cast<char*>("-O");
        args.argv[n++] = const_cast<char*>(PLATFORM_ID);
    }
    return n;
}

int spawn_process(const char* path, int restart_code, int debug, int plugin_mode)
{
    // Nothing buffered may be inherited: a child that ends without exec would repeat it.
    fflush(stdout);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        puts("failed to fork");
        return -1;
    }
    if (pid > 0)
        return pid;

    // The program starts with every signal at its default action and none blocked,
    // whatever the daemon inherited (a daemon started with "&" has SIGINT and SIGQUIT
    // ignored); first of all, so that the parent-death signal is never ignored or blocked.
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++)
        sigaction(sig, &default_action, nullptr); // fails for SIGKILL and SIGSTOP: harmless
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        raise(SIGTERM); // the daemon ended before the request took effect
    close_inherited_fds(3);

    ChildArgv args;
    build_child_argv(args, path, restart_code, debug, plugin_mode);
    execv(path, args.argv);
    printf("failed to exec %s, error is %s\n", path, strerror(errno));
    exit(EXIT_EXEC_FAILED);
}

// A failed fork (the process table or memory exhausted for a moment) is transient: the
// start is tried again after the restart delay, as often as needed.
void start_process(SupervisorState& state, int slot, int restart_code)
{
    WatchedProcess& proc = state.procs[slot];
    char path[PLUGIN_PATH_SIZE];
    const char* program = proc.name;
    if (state.plugin_installed == 1) {
        snprintf(path, sizeof path, "%s/%s", DATA_DIR, proc.name);
        program = path;
    }
    while ((proc.pid = spawn_process(program, restart_code, state.debug,
                                     state.plugin_installed == 1 ? 1 : 0)) < 0)
        sleep(RESTART_DELAY);
}
