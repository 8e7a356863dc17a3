/* MEASURING AID, not part of tabrin: the wall time of a program, start to
   end, as a shell would run it (spawn and wait), output discarded.
   Usage: walltime COUNT PROGRAM [ARG]...   prints each run's time in ns. */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: walltime COUNT PROGRAM [ARG]...\n");
        return 2;
    }
    int count = atoi(argv[1]);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    for (int i = 0; i < count; ++i) {
        long long start = now_ns();
        pid_t child;
        int status;
        if (posix_spawn(&child, argv[2], &quiet, NULL, argv + 2, environ) != 0) {
            perror("walltime: spawn");
            return 1;
        }
        if (waitpid(child, &status, 0) != child) {
            perror("walltime: wait");
            return 1;
        }
        printf("%lld\n", now_ns() - start);
    }
    return 0;
}
