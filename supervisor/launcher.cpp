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

void start_process(SupervisorState& state, int slot, int restart_code)
{
    WatchedProcess& proc = state.procs[slot];
    if (state.plugin_installed == 1) {
        char path[PLUGIN_PATH_SIZE];
        snprintf(path, sizeof path, "%s/%s", DATA_DIR, proc.name);
        proc.pid = spawn_process(path, restart_code, state.debug, 1);
    } else {
        proc.pid = spawn_process(proc.name, restart_code, state.debug, 0);
    }
}
