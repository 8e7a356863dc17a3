/* MEASURING AID, not part of tabrin: the daemon on a virtual gamepad, run as
   root in the test VM (tests/vm/run), where /dev/uinput works.

   Built with -DTABRIN="path" and -DSTRACE="path", both carried into the VM.
   Prints lines "tabrin-bench: NAME VALUES..." that
   bench/run reads from the VM's console:

   idle WHAT SYSCALLS SWITCHES   over 10 s, WHAT one of present, playing
                                 (sticks, hat and unwatched buttons moving
                                 at 100 reports a second), absent
   press POLL_MS NS...           press of buttons 1 and 2 to the bound
                                 command's builtin echo, -w 10
   shell NS...                   system() of the same line, from here

   Exits 0 when it could measure, whatever the figures. */
#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define PRESSES 41
#define WINDOW_S 10

extern char **environ;

static const char *dir = "/tmp/tabrin-bench";

static void die(const char *what)
{
    printf("tabrin-bench: failed: %s (%s)\n", what, strerror(errno));
    exit(1);
}

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void pause_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR)
        ;
}

static void emit(int fd, int type, int code, int value)
{
    struct input_event e;
    memset(&e, 0, sizeof e);
    e.type = (unsigned short)type;
    e.code = (unsigned short)code;
    e.value = value;
    if (write(fd, &e, sizeof e) != (ssize_t)sizeof e)
        die("writing an event");
}

static void sync_report(int fd)
{
    emit(fd, EV_SYN, SYN_REPORT, 0);
}

/* A pad with face buttons, select and start, two sticks and a hat. */
static int plug(char *node, size_t size)
{
    static const int keys[] = {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_SELECT, BTN_START, BTN_MODE};
    static const int axes[] = {ABS_X, ABS_Y, ABS_RX, ABS_RY, ABS_HAT0X, ABS_HAT0Y};
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, UI_SET_EVBIT, EV_KEY) != 0 || ioctl(fd, UI_SET_EVBIT, EV_ABS) != 0)
        die("uinput");
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i)
        if (ioctl(fd, UI_SET_KEYBIT, keys[i]) != 0)
            die("UI_SET_KEYBIT");
    for (size_t i = 0; i < sizeof axes / sizeof axes[0]; ++i) {
        struct uinput_abs_setup a;
        memset(&a, 0, sizeof a);
        a.code = (unsigned short)axes[i];
        a.absinfo.minimum = axes[i] >= ABS_HAT0X ? -1 : -32768;
        a.absinfo.maximum = axes[i] >= ABS_HAT0X ? 1 : 32767;
        if (ioctl(fd, UI_SET_ABSBIT, axes[i]) != 0 || ioctl(fd, UI_ABS_SETUP, &a) != 0)
            die("UI_ABS_SETUP");
    }
    struct uinput_setup s;
    memset(&s, 0, sizeof s);
    s.id.bustype = BUS_VIRTUAL;
    strcpy(s.name, "tabrin bench pad");
    if (ioctl(fd, UI_DEV_SETUP, &s) != 0 || ioctl(fd, UI_DEV_CREATE) != 0)
        die("UI_DEV_CREATE");
    char sysname[64] = {0};
    if (ioctl(fd, UI_GET_SYSNAME(sizeof sysname - 1), sysname) < 0)
        die("UI_GET_SYSNAME");
    char path[128];
    for (int tries = 0; tries < 2000; ++tries) {
        for (int n = 0; n < 64; ++n) {
            snprintf(path, sizeof path, "/sys/class/input/%s/event%d", sysname, n);
            struct stat st;
            if (stat(path, &st) == 0) {
                snprintf(node, size, "/dev/input/event%d", n);
                if (stat(node, &st) == 0)
                    return fd;
            }
        }
        pause_ms(1);
    }
    die("no event node");
    return -1;
}

static void link_pad(const char *node)
{
    char link[128];
    snprintf(link, sizeof link, "%s/pad", dir);
    unlink(link);
    if (symlink(node, link) != 0)
        die("symlink");
}

static long proc_number(pid_t pid, const char *file, const char *field)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/%s", (int)pid, file);
    FILE *f = fopen(path, "r");
    long value = -1, sum = 0;
    if (f == NULL)
        return -1;
    while (fgets(line, sizeof line, f) != NULL)
        if (strstr(line, field) != NULL && sscanf(strchr(line, ':') + 1, "%ld", &value) == 1)
            sum += value;
    fclose(f);
    return sum;
}

/* Voluntary and involuntary switches together. */
static long switches(pid_t pid)
{
    return proc_number(pid, "status", "ctxt_switches:");
}

/* Sleeping in epoll_wait without a timeout: /proc/PID/syscall's fifth field. */
static int at_rest(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/syscall", (int)pid);
    FILE *f = fopen(path, "r");
    if (f == NULL)
        return 0;
    long number = -1;
    char timeout[32] = "";
    int got = fscanf(f, "%ld %*s %*s %*s %31s", &number, timeout);
    fclose(f);
    return got == 2 && number == SYS_epoll_wait && strncmp(timeout, "0xffffffff", 10) == 0;
}

static void wait_rest(pid_t pid)
{
    for (int tries = 0; !at_rest(pid); ++tries) {
        if (tries > 5000)
            die("the daemon did not come to rest");
        pause_ms(1);
    }
}

static pid_t start(char *const argv[])
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        execv(argv[0], argv);
        _exit(127);
    }
    if (pid < 0)
        die("fork");
    return pid;
}

static void stop(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, NULL, 0);
    }
}

static pid_t start_daemon(const char *poll_ms, const char *bound)
{
    char link[128];
    snprintf(link, sizeof link, "%s/pad", dir);
    char *argv[] = {TABRIN, "-j", link, "-p", (char *)poll_ms, "-w", "10", "-r", "12", (char *)bound, NULL};
    pid_t pid = start(argv);
    pause_ms(200);
    wait_rest(pid);
    return pid;
}

static double wall_s(void)
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

/* The daemon's system calls and switches over one window, while `pad`
   (when not -1) plays a game on sticks, hat and unwatched buttons. The calls
   are those strace saw start within the window: attaching interrupts the
   call the daemon sleeps in, before the window opens. */
static void idle_window(const char *what, pid_t daemon, int pad)
{
    char out[128], pid_text[16];
    /* Not in the daemon's directory, which it watches while the pad is away. */
    snprintf(out, sizeof out, "/tmp/strace.%s", what);
    snprintf(pid_text, sizeof pid_text, "%d", (int)daemon);
    char *argv[] = {STRACE, "-ttt", "-o", out, "-p", pid_text, NULL};
    pid_t tracer = start(argv);
    pause_ms(500); /* attached */
    long before = switches(daemon);
    double opened = wall_s();
    for (int tick = 0; tick < WINDOW_S * 100; ++tick) {
        if (pad >= 0) {
            emit(pad, EV_ABS, ABS_X, (tick * 977) % 65536 - 32768);
            emit(pad, EV_ABS, ABS_RY, (tick * 331) % 65536 - 32768);
            if (tick % 10 == 0) {
                emit(pad, EV_ABS, ABS_HAT0X, tick / 10 % 3 - 1);
                emit(pad, EV_KEY, BTN_START, tick / 10 % 2);
                emit(pad, EV_KEY, BTN_MODE, tick / 10 % 2);
            }
            sync_report(pad);
        }
        pause_ms(10);
    }
    double closed = wall_s();
    long after = switches(daemon);
    kill(tracer, SIGINT);
    waitpid(tracer, NULL, 0);
    FILE *f = fopen(out, "r");
    char line[512];
    long calls = 0;
    while (f != NULL && fgets(line, sizeof line, f) != NULL) {
        double at;
        /* "1765190000.123456 epoll_wait(..." or "... <... epoll_wait resumed>"; not "--- SIG" or "+++". */
        if (sscanf(line, "%lf", &at) == 1 && at >= opened && at <= closed && strstr(line, " --- ") == NULL
            && strstr(line, " +++ ") == NULL && strstr(line, "resumed>") == NULL)
            ++calls;
    }
    if (f != NULL)
        fclose(f);
    printf("tabrin-bench: idle %s %ld %ld\n", what, calls, after - before);
}

static long long await_echo(int fifo)
{
    struct pollfd p = {fifo, POLLIN, 0};
    if (poll(&p, 1, 3000) != 1)
        die("the bound command did not run");
    long long came = now_ns();
    char line[16];
    if (read(fifo, line, sizeof line) <= 0)
        die("reading the FIFO");
    return came;
}

static void presses(const char *poll_ms, int pad, int fifo, const char *bound)
{
    pid_t daemon = start_daemon(poll_ms, bound);
    printf("tabrin-bench: press %s", poll_ms);
    for (int i = 0; i < PRESSES; ++i) {
        pause_ms(rand() % 50);
        long long pressed = now_ns();
        emit(pad, EV_KEY, BTN_SOUTH, 1);
        emit(pad, EV_KEY, BTN_EAST, 1);
        sync_report(pad);
        long long ran = await_echo(fifo);
        printf(" %lld", ran - pressed);
        emit(pad, EV_KEY, BTN_SOUTH, 0);
        emit(pad, EV_KEY, BTN_EAST, 0);
        sync_report(pad);
        pause_ms(20);
        wait_rest(daemon);
    }
    printf("\n");
    stop(daemon);
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    srand(12);
    mkdir(dir, 0755);
    char fifo_path[128], bound[256], node[64];
    snprintf(fifo_path, sizeof fifo_path, "%s/echo.fifo", dir);
    unlink(fifo_path);
    if (mkfifo(fifo_path, 0644) != 0)
        die("mkfifo");
    int fifo = open(fifo_path, O_RDWR | O_CLOEXEC);
    snprintf(bound, sizeof bound, "echo > %s", fifo_path);

    int pad = plug(node, sizeof node);
    link_pad(node);
    pid_t daemon = start_daemon("10", bound);
    idle_window("present", daemon, -1);
    idle_window("playing", daemon, pad);
    close(pad);
    char link[128];
    snprintf(link, sizeof link, "%s/pad", dir);
    unlink(link);
    pause_ms(100);
    wait_rest(daemon);
    idle_window("absent", daemon, -1);
    stop(daemon);

    pad = plug(node, sizeof node);
    link_pad(node);
    presses("5000", pad, fifo, bound);
    presses("10", pad, fifo, bound);

    /* What system() does: the shell through posix_spawn. */
    printf("tabrin-bench: shell");
    for (int i = 0; i < PRESSES; ++i) {
        pause_ms(rand() % 50);
        char *argv[] = {"/bin/sh", "-c", bound, NULL};
        pid_t shell;
        long long called = now_ns();
        if (posix_spawn(&shell, "/bin/sh", NULL, NULL, argv, environ) != 0)
            die("posix_spawn");
        printf(" %lld", await_echo(fifo) - called);
        waitpid(shell, NULL, 0);
    }
    printf("\n");
    close(pad);
    return 0;
}
