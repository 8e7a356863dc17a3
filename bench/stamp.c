/* MEASURING AID, not part of tabrin: the command the benchmark binds to a
   button. The first thing it does is read the monotonic clock; it writes the
   time in nanoseconds as one line to FILE (a FIFO the benchmark reads).
   Usage: stamp FILE */
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (argc != 2)
        return 2;
    int fd = open(argv[1], O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return 1;
    /* One write of less than PIPE_BUF bytes: a FIFO keeps the line whole. */
    return dprintf(fd, "%lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec) > 0 ? 0 : 1;
}
