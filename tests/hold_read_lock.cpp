// Test aid: takes a read lock on the whole of the file named, as any process
// that could open the file might, says "held", and keeps the lock until a
// signal ends it.
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0 || write(1, "held\n", 5) != 5)
        return 1;
    for (;;)
        pause(); // the descriptor holds the lock until a signal ends the process
}
