// supervisor: keeps the watched programs of "config" running.
#include "supervisor.h"

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    // Line-buffered even into a file or a pipe, so that the daemon's lines and those of
    // its children appear in the order they were written, each in one piece. The size is
    // given: with 0, uClibc-ng drops the stream's buffer, and every printf then reaches
    // the file in pieces between which another process's output can fall.
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    open_standard_fds();
    close_inherited_fds(3);

    // Static storage starts out all zero, which is the cleared record start-up needs.
    // Clearing it again would write, and so keep in private memory, the pages of every
    // unused slot.
    static SupervisorState state;

    const char* program = argc > 0 ? argv[0] : nullptr;
    format_lock_path(state, program);
    enter_program_dir(program);
    if (argc > 1)
        state.debug = 1;

    if (ensure_runtime_dir() < 0)
        return 0;
    if (load_watch_config("config", state) != 0) {
        puts("failed to init daemon");
        return 0;
    }
    if (claim_instance(program, state) != 0)
        return 0;

    signal(SIGCHLD, SIG_DFL);
    supervise(state);
    return 0;
}
