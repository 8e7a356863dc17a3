/* MEASURING AID, not part of tabrin: times presses end to end.

   The bound command line is   echo > SHELL_FIFO; 'stamp' STAMP_FIFO
   Its builtin echo marks the moment the shell runs the bound line (this aid
   reads its clock as the echo wakes it: a little late, never early); the
   stamp marks the first instruction of an external program that the line
   starts (the time stamp writes).

   press daemon PORT_IMAGE SHELL_FIFO STAMP_FIFO COUNT POLL_MS DAEMON_PID
       COUNT times: wait two poll intervals plus a random fraction of one, so
       that the press lands at a random moment of the daemon's poll; write a
       press of button 1 into PORT_IMAGE; wait for both marks; release.
       The marks come before the bound command ends, and on a loaded machine
       the daemon may read the image again only after the next press, and so
       never see the release: before each press the daemon must have reaped
       the shell (whose reads then count as its own) and read twice since
       (syscr in /proc/DAEMON_PID/io).
       The fractions are stratified: each of COUNT equal slices of the
       interval gets one press at a random point in it, in random order, so
       that the median is not at the mercy of where 200 draws happen to fall.
   press shell SHELL_FIFO STAMP_FIFO COUNT POLL_MS COMMAND
       The same waits, but COMMAND is started here the way system() starts
       it (posix_spawn of /bin/sh -c): what system() and the shell add.

   Prints one line per press: ns to the shell mark, ns to the stamp; in the
   daemon mode also ns to the daemon's first read of the image after the
   press (inotify's IN_ACCESS, read as it wakes this aid: a read already
   under way at the press may be taken for it, which makes the mark early
   and whatever is measured from it longer, never shorter). */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
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

static void die(const char *what)
{
    fprintf(stderr, "press: %s\n", what);
    exit(1);
}

/* Waits (2 s at most) for a line on the FIFO; returns the time it came and
   leaves the line in `line`. */
static long long await_line(int fifo, char *line, size_t size)
{
    struct pollfd p = {fifo, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1)
        die("nothing within 2 s: the bound command did not run");
    long long came = now_ns();
    ssize_t got = read(fifo, line, size - 1);
    if (got <= 0)
        die("reading a FIFO failed");
    line[got] = '\0';
    return came;
}

static void set_port(int port, unsigned char status)
{
    if (pwrite(port, &status, 1, 0) != 1)
        die("writing the port image failed");
}

static void sleep_ns(long long ns)
{
    struct timespec t = {ns / 1000000000LL, ns % 1000000000LL};
    nanosleep(&t, NULL);
}

/* Read and write: the open never waits for a writer, and the FIFO stays
   usable from one command to the next. */
static int open_fifo(const char *path)
{
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        die("cannot open a FIFO");
    return fd;
}

/* 0 .. count-1 in random order. */
static int *shuffled_slices(int count)
{
    int *slice = malloc(sizeof *slice * (size_t)count);
    if (slice == NULL)
        die("out of memory");
    for (int i = 0; i < count; ++i)
        slice[i] = i;
    for (int i = count - 1; i > 0; --i) {
        int j = (int)(drand48() * (i + 1));
        int kept = slice[i];
        slice[i] = slice[j];
        slice[j] = kept;
    }
    return slice;
}

/* Read system calls the process has made, or -1 once it is gone. */
static long long reads_of(pid_t pid)
{
    char path[64], line[128];
    snprintf(path, sizeof path, "/proc/%d/io", (int)pid);
    FILE *f = fopen(path, "r");
    long long reads = -1;
    while (f != NULL && fgets(line, sizeof line, f) != NULL)
        if (sscanf(line, "syscr: %lld", &reads) == 1)
            break;
    if (f != NULL)
        fclose(f);
    return reads;
}

static int has_children(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/children", (int)pid, (int)pid);
    FILE *f = fopen(path, "r");
    int child = f != NULL && fgetc(f) != EOF;
    if (f != NULL)
        fclose(f);
    return child;
}

/* The daemon's reads once the bound command has ended. */
static long long reads_after_command(pid_t daemon)
{
    for (int tries = 0; has_children(daemon); ++tries) {
        if (tries > 20000)
            die("the bound command did not end");
        sleep_ns(100000);
    }
    return reads_of(daemon);
}

/* A read in progress at the count may be counted: two make one wholly after it. */
static void await_reads(pid_t daemon, long long since)
{
    for (int tries = 0;; ++tries) {
        long long reads = reads_of(daemon);
        if (reads < 0 || tries > 20000)
            die("the daemon stopped reading its port image");
        if (reads >= since + 2)
            return;
        sleep_ns(100000);
    }
}

/* Forgets the reads seen so far. */
static void drain(int seen)
{
    char events[4096];
    while (read(seen, events, sizeof events) > 0)
        ;
    if (errno != EAGAIN)
        die("reading inotify failed");
}

/* The moment the next read is seen (2 s at most). */
static long long await_read(int seen)
{
    struct pollfd p = {seen, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1)
        die("the daemon did not read the image within 2 s");
    return now_ns();
}

static void measure(int port, int seen, pid_t daemon, const char *command, const char *shell_path,
                    const char *stamp_path, int count, long long poll_ns)
{
    long long released = daemon > 0 ? reads_of(daemon) - 2 : 0;
    int shell_fifo = open_fifo(shell_path);
    int stamp_fifo = open_fifo(stamp_path);
    int *slice = shuffled_slices(count);
    char line[64];
    for (int i = 0; i < count; ++i) {
        /* After a release the daemon needs up to one poll to see it. */
        double fraction = (slice[i] + drand48()) / count;
        sleep_ns(2 * poll_ns);
        if (daemon > 0)
            await_reads(daemon, released);
        sleep_ns((long long)(fraction * poll_ns));
        if (port >= 0)
            drain(seen);
        long long start = now_ns();
        long long read_at = 0;
        pid_t child = 0;
        if (port >= 0) {
            set_port(port, 0xEF); /* button 1 down */
            read_at = await_read(seen) - start;
        } else {
            char *argv[] = {"sh", "-c", (char *)command, NULL};
            if (posix_spawn(&child, "/bin/sh", NULL, NULL, argv, environ) != 0)
                die("cannot start the shell");
        }
        long long shell = await_line(shell_fifo, line, sizeof line) - start;
        await_line(stamp_fifo, line, sizeof line);
        long long stamp = atoll(line) - start;
        if (port >= 0) {
            set_port(port, 0xFF);
            released = reads_after_command(daemon);
            printf("%lld %lld %lld\n", shell, stamp, read_at);
        } else {
            waitpid(child, NULL, 0);
            printf("%lld %lld\n", shell, stamp);
        }
    }
}

int main(int argc, char **argv)
{
    srand48(now_ns() ^ getpid());
    if (argc == 8 && strcmp(argv[1], "daemon") == 0) {
        int port = open(argv[2], O_WRONLY | O_CLOEXEC);
        int seen = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        pid_t daemon = (pid_t)atoi(argv[7]);
        if (port < 0 || daemon <= 0)
            die("cannot open the port image, or no daemon pid");
        if (seen < 0 || inotify_add_watch(seen, argv[2], IN_ACCESS) < 0)
            die("cannot watch the port image's reads");
        measure(port, seen, daemon, NULL, argv[3], argv[4], atoi(argv[5]), atoll(argv[6]) * 1000000LL);
        return 0;
    }
    if (argc == 7 && strcmp(argv[1], "shell") == 0) {
        measure(-1, -1, 0, argv[6], argv[2], argv[3], atoi(argv[4]), atoll(argv[5]) * 1000000LL);
        return 0;
    }
    fprintf(stderr, "usage: press daemon PORT_IMAGE SHELL_FIFO STAMP_FIFO COUNT POLL_MS DAEMON_PID\n"
                    "       press shell SHELL_FIFO STAMP_FIFO COUNT POLL_MS COMMAND\n");
    return 2;
}
