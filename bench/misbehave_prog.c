/*
 * The watched program of bench/misbehave.sh, as small and quick as a program can be:
 * named "segv" it dies by SIGSEGV (without a core file), named "exitN" it exits with
 * status N, at once.
 */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>

int main(int argc, char** argv)
{
    const char* name = argc > 0 ? strrchr(argv[0], '/') : NULL;
    name = name ? name + 1 : argc > 0 ? argv[0] : "";
    if (strcmp(name, "segv") == 0) {
        prctl(PR_SET_DUMPABLE, 0);
        signal(SIGSEGV, SIG_DFL);
        raise(SIGSEGV);
    }
    return strncmp(name, "exit", 4) == 0 ? atoi(name + 4) : 1;
}
