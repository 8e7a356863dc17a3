/* MEASURING AID, not part of tabrin: the least a program can do to watch a
   port image -- sleep, read its first byte, for ever. The benchmark holds
   the daemon's idle loop against it. Usage: idle_loop PORT_IMAGE POLL_MS */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    useconds_t poll_usec = (useconds_t)atoi(argv[2]) * 1000;
    unsigned char status;
    for (;;) {
        usleep(poll_usec);
        if (pread(fd, &status, 1, 0) != 1)
            status = 0xFF;
    }
}
