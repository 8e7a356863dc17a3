/* MEASURING AID, not part of tabrin: the daemon on a virtual gamepad, run as
   root in the test VM (tests/vm/run), where /dev/uinput works.

   Built with -DTABRIN="path", -DSTRACE="path" and -DPEER="path" (the peer's
   thd, unpacked from its package), all carried into the VM; with
   -DREPEAT_OPTION, -DRUMBLE_OPTION and -DSTANDARD_NAMES where the daemon
   takes -a, -z and standard names (bench/run asks it first), for the rows
   that need them. Prints lines "tabrin-bench: NAME VALUES..." that
   bench/run reads from the VM's console:

   idle WHAT SYSCALLS SWITCHES   over 10 s, WHAT one of present, playing
                                 (sticks, hat and unwatched buttons moving
                                 at 100 reports a second), absent, with
                                 -r 12; named-present and named-playing
                                 (sticks, hat, South, Mode and both
                                 triggers) with -r BTN_SELECT+BTN_START;
                                 pads-absent: -n '*', no pad plugged in
   axis REPORTS SLEEPS PREEMPTED WAITS CALLS
                                 -r ABS_Z+ABS_RZ, ABS_Z swept (and the
                                 sticks moving) at 100 reports a second
                                 for 10 s: the daemon's voluntary context
                                 switches (wake-ups) and involuntary ones;
                                 then another 10 s under strace, its
                                 epoll_wait calls and all its calls
   press POLL_MS NS...           press of buttons 1 and 2 to the bound
                                 command's builtin echo, -w 10
   press named NS...             the same for BTN_SELECT+BTN_START
   hold MS NS...                 -h BTN_SELECT+BTN_START MS: from the press
                                 to the bound command's builtin echo,
                                 less MS
   shell NS...                   system() of the same line, from here
   sleep MS NS...                how late this VM's timers end a wait of MS
                                 ms made as the daemon's hold makes it: an
                                 epoll_wait of 10 ms (the settle time),
                                 then one of the rest

   Beside the peer, each daemon bound to Select and Start the same way:
   idle named-sticks SYSCALLS SWITCHES
                                 -r BTN_SELECT+BTN_START, only the sticks
                                 and a trigger moving (none of them bound)
                                 at 100 reports a second
   peer idle WHAT SYSCALLS SWITCHES
                                 the peer, WHAT present (untouched) or
                                 sticks (as named-sticks); its switches
                                 over a window of their own, untraced
   press WHEN NS..., peer press WHEN NS...
                                 20 presses of Select and Start to the
                                 bound line's builtin echo, the daemons
                                 taking turns of five, tabrin at the
                                 default settle time, WHEN at-once (the
                                 chord alone) or waits (beside
                                 Select+Start+Mode, which contains it)
   memory WHO KB...              VmRSS of fresh processes at rest on the
                                 pad, WHO tabrin, peer or standard (tabrin
                                 given standard names)

   Gestures and rumble, where the daemon has them:
   tap MS EARLY MISSED NS...     -r BTN_MODE beside BTN_MODE+BTN_SOUTH, Mode
                                 held MS ms: from the release to the echo,
                                 and first how many fired while held and
                                 how many not at all
   tap-shell NS...               system() of the same line after each tap
   repeat-counts MS DUE N...     -w 10 -a BTN_SELECT+BTN_START MS, held
                                 for ten repeats and a half, five times:
                                 the echoes of each hold, DUE of them due
   repeat MS NS...               the intervals between those echoes
   repeat-shell NS...            system() of the same line after each hold
   repeat-spawns MS NS...        the intervals between the shells that the
                                 daemon started in each hold (strace)
   idle rumble-WHAT SYSCALLS SWITCHES
                                 -z 150 on a pad that can rumble (it
                                 answers the effect's upload), WHAT present
                                 or playing as above

   Exits 0 when it could measure, whatever the figures. */
#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define PRESSES 41
#define HOLDS 50
#define HOLD_MS "200"
#define WINDOW_S 10
#define PEER_PRESSES 20
#define COPIES 5
#define TAPS 20
#define TAP_MS 50
#define REPEAT_MS "150"
#define REPEAT_HOLDS 5

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

static int axis_minimum(int axis)
{
    return axis >= ABS_HAT0X ? -1 : axis == ABS_Z || axis == ABS_RZ ? 0 : -32768;
}

static int axis_maximum(int axis)
{
    return axis >= ABS_HAT0X ? 1 : axis == ABS_Z || axis == ABS_RZ ? 255 : 32767;
}

/* A pad as xpad makes an Xbox 360 pad over USB: face, shoulder, menu and
   stick buttons, two sticks, two analog triggers and the D-pad as a hat;
   with `rumble`, able to rumble, as xpad makes it (one FF_RUMBLE effect).
   Open for reading too, where the effect's upload is asked. */
static int plug(char *node, size_t size, int rumble)
{
    static const int keys[] = {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR,
                               BTN_SELECT, BTN_START, BTN_MODE, BTN_THUMBL, BTN_THUMBR};
    static const int axes[] = {ABS_X, ABS_Y, ABS_Z, ABS_RX, ABS_RY, ABS_RZ, ABS_HAT0X, ABS_HAT0Y};
    int fd = open("/dev/uinput", O_RDWR | O_CLOEXEC);
    if (fd < 0 || ioctl(fd, UI_SET_EVBIT, EV_KEY) != 0 || ioctl(fd, UI_SET_EVBIT, EV_ABS) != 0)
        die("uinput");
    if (rumble && (ioctl(fd, UI_SET_EVBIT, EV_FF) != 0 || ioctl(fd, UI_SET_FFBIT, FF_RUMBLE) != 0))
        die("UI_SET_FFBIT");
    for (size_t i = 0; i < sizeof keys / sizeof keys[0]; ++i)
        if (ioctl(fd, UI_SET_KEYBIT, keys[i]) != 0)
            die("UI_SET_KEYBIT");
    for (size_t i = 0; i < sizeof axes / sizeof axes[0]; ++i) {
        struct uinput_abs_setup a;
        memset(&a, 0, sizeof a);
        a.code = (unsigned short)axes[i];
        a.absinfo.minimum = axis_minimum(axes[i]);
        a.absinfo.maximum = axis_maximum(axes[i]);
        if (ioctl(fd, UI_SET_ABSBIT, axes[i]) != 0 || ioctl(fd, UI_ABS_SETUP, &a) != 0)
            die("UI_ABS_SETUP");
    }
    struct uinput_setup s;
    memset(&s, 0, sizeof s);
    s.id.bustype = BUS_VIRTUAL;
    s.ff_effects_max = rumble ? 1 : 0;
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

#ifdef RUMBLE_OPTION
/* Answers the effect uploads and erasures asked of a pad that can rumble,
   as its driver would, in a process of its own: uinput holds the asking
   EVIOCSFF until they are answered. Says each upload. */
static pid_t answer_effects(int pad)
{
    pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid > 0)
        return pid;
    struct input_event e;
    while (read(pad, &e, sizeof e) == (ssize_t)sizeof e) {
        if (e.type == EV_UINPUT && e.code == UI_FF_UPLOAD) {
            struct uinput_ff_upload upload;
            memset(&upload, 0, sizeof upload);
            upload.request_id = (unsigned)e.value;
            if (ioctl(pad, UI_BEGIN_FF_UPLOAD, &upload) == 0) {
                upload.retval = 0;
                ioctl(pad, UI_END_FF_UPLOAD, &upload);
                printf("tabrin-bench: effect uploaded\n");
            }
        } else if (e.type == EV_UINPUT && e.code == UI_FF_ERASE) {
            struct uinput_ff_erase erase;
            memset(&erase, 0, sizeof erase);
            erase.request_id = (unsigned)e.value;
            if (ioctl(pad, UI_BEGIN_FF_ERASE, &erase) == 0) {
                erase.retval = 0;
                ioctl(pad, UI_END_FF_ERASE, &erase);
            }
        }
    }
    _exit(0);
}
#endif

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
        if (strncmp(line, field, strlen(field)) == 0 && sscanf(line + strlen(field), "%ld", &value) == 1)
            sum += value;
    fclose(f);
    return sum;
}

/* One for each time the process went to sleep, to be woken. */
static long sleeps(pid_t pid)
{
    return proc_number(pid, "status", "voluntary_ctxt_switches:");
}

/* Voluntary and involuntary switches together. */
static long switches(pid_t pid)
{
    return sleeps(pid) + proc_number(pid, "status", "nonvoluntary_ctxt_switches:");
}

/* Sleeping for the next event: tabrin in epoll_wait without a timeout
   (/proc/PID/syscall's fifth field), the peer in select, whose timeout of a
   few seconds is a wake-up of its own. */
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
    return got == 2
           && ((number == SYS_epoll_wait && strncmp(timeout, "0xffffffff", 10) == 0) || number == SYS_select
               || number == SYS_pselect6);
}

static void wait_rest(pid_t pid)
{
    for (int tries = 0; !at_rest(pid); ++tries) {
        if (tries > 5000)
            die("the daemon did not come to rest");
        pause_ms(1);
    }
}

/* With `quiet`, standard error to /dev/null too: the peer writes a line
   there for every command, which the VM's serial console would slow. */
static pid_t start(char *const argv[], int quiet)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        if (quiet)
            dup2(null, 2);
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

/* tabrin SOURCE... SETTING... BINDING..., once at rest. */
static pid_t start_daemon_with(char *const source[], char *const setting[], char *const binding[])
{
    char *argv[32] = {TABRIN};
    int argc = 1;
    char *const *const parts[] = {source, setting, binding};
    for (size_t i = 0; i < sizeof parts / sizeof parts[0]; ++i)
        for (char *const *word = parts[i]; *word != NULL && argc < 31; ++word)
            argv[argc++] = *word;
    argv[argc] = NULL;
    pid_t pid = start(argv, 0);
    pause_ms(200);
    wait_rest(pid);
    return pid;
}

/* tabrin SOURCE... -p POLL_MS -w 10 BINDING..., once at rest. */
static pid_t start_daemon_on(char *const source[], const char *poll_ms, char *const binding[])
{
    char *setting[] = {"-p", (char *)poll_ms, "-w", "10", NULL};
    return start_daemon_with(source, setting, binding);
}

/* On the pad's link, as udev names pads. */
static pid_t start_on_pad(char *const setting[], char *const binding[])
{
    char link[128];
    snprintf(link, sizeof link, "%s/pad", dir);
    char *source[] = {"-j", link, NULL};
    return start_daemon_with(source, setting, binding);
}

static pid_t start_daemon(const char *poll_ms, char *const binding[])
{
    char *setting[] = {"-p", (char *)poll_ms, "-w", "10", NULL};
    return start_on_pad(setting, binding);
}

/* The peer on the pad's node with TRIGGERS, lines of its own configuration,
   once at rest. */
static pid_t start_peer(const char *node, const char *triggers)
{
    char conf[128];
    snprintf(conf, sizeof conf, "%s/peer.conf", dir);
    FILE *f = fopen(conf, "w");
    if (f == NULL || fputs(triggers, f) < 0 || fclose(f) != 0)
        die("writing the peer's triggers");
    char *argv[] = {PEER, "--triggers", conf, (char *)node, NULL};
    pid_t pid = start(argv, 1);
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

/* How a game is played during a window. */
enum play {
    untouched,
    sticks_hat_start_mode, /* at 100 reports a second */
    sticks_hat_south_mode_triggers, /* no named key: Select and Start rest */
    trigger_swept,         /* the sticks and ABS_Z, each report */
    sticks_trigger,        /* the sticks and ABS_Z, each report, none of them bound */
};

static void play_tick(int pad, enum play how, int tick)
{
    if (how == untouched)
        return;
    emit(pad, EV_ABS, ABS_X, (tick * 977) % 65536 - 32768);
    emit(pad, EV_ABS, ABS_RY, (tick * 331) % 65536 - 32768);
    if (how == trigger_swept) {
        /* Up and down over the whole range in a second: past three
           quarters and back below the middle, once each way. */
        int step = tick % 100;
        emit(pad, EV_ABS, ABS_Z, (step < 50 ? step : 100 - step) * 255 / 50);
    } else if (how == sticks_trigger) {
        emit(pad, EV_ABS, ABS_Z, (tick * 7) % 256);
    } else if (tick % 10 == 0) {
        emit(pad, EV_ABS, ABS_HAT0X, tick / 10 % 3 - 1);
        emit(pad, EV_KEY, how == sticks_hat_start_mode ? BTN_START : BTN_SOUTH, tick / 10 % 2);
        emit(pad, EV_KEY, BTN_MODE, tick / 10 % 2);
    }
    if (how == sticks_hat_south_mode_triggers) {
        emit(pad, EV_ABS, ABS_Z, (tick * 7) % 256);
        emit(pad, EV_ABS, ABS_RZ, (tick * 13) % 256);
    }
    sync_report(pad);
}

/* Plays for one window of WINDOW_S seconds; the wall clock at its ends. */
static void play_window(int pad, enum play how, double *opened, double *closed)
{
    *opened = wall_s();
    for (int tick = 0; tick < WINDOW_S * 100; ++tick) {
        play_tick(pad, how, tick);
        pause_ms(10);
    }
    /* The play's buttons let go, so that none is held into a later row's
       chord. */
    if (how != untouched) {
        emit(pad, EV_KEY, BTN_START, 0);
        emit(pad, EV_KEY, BTN_SOUTH, 0);
        emit(pad, EV_KEY, BTN_MODE, 0);
        sync_report(pad);
    }
    *closed = wall_s();
}

struct traced {
    long calls; /* every call strace saw start within the window */
    long waits; /* of them, epoll_wait */
    long switches;
};

/* The daemon's system calls and switches over one window while the pad is
   played. The calls are those strace saw start within the window: attaching
   interrupts the call the daemon sleeps in, before the window opens. */
static struct traced traced_window(const char *what, pid_t daemon, int pad, enum play how)
{
    struct traced seen = {0, 0, 0};
    char out[128], pid_text[16];
    /* Not in the daemon's directory, which it watches while the pad is away. */
    snprintf(out, sizeof out, "/tmp/strace.%s", what);
    snprintf(pid_text, sizeof pid_text, "%d", (int)daemon);
    char *argv[] = {STRACE, "-ttt", "-o", out, "-p", pid_text, NULL};
    pid_t tracer = start(argv, 0);
    pause_ms(500); /* attached */
    long before = switches(daemon);
    double opened, closed;
    play_window(pad, how, &opened, &closed);
    seen.switches = switches(daemon) - before;
    kill(tracer, SIGINT);
    waitpid(tracer, NULL, 0);
    FILE *f = fopen(out, "r");
    char line[512];
    while (f != NULL && fgets(line, sizeof line, f) != NULL) {
        double at;
        /* "1765190000.123456 epoll_wait(..." or "... <... epoll_wait resumed>"; not "--- SIG" or "+++". */
        if (sscanf(line, "%lf", &at) == 1 && at >= opened && at <= closed && strstr(line, " --- ") == NULL
            && strstr(line, " +++ ") == NULL && strstr(line, "resumed>") == NULL) {
            ++seen.calls;
            if (strstr(line, " epoll_wait(") != NULL)
                ++seen.waits;
        }
    }
    if (f != NULL)
        fclose(f);
    return seen;
}

static void idle_window(const char *what, pid_t daemon, int pad, enum play how)
{
    struct traced seen = traced_window(what, daemon, pad, how);
    printf("tabrin-bench: idle %s %ld %ld\n", what, seen.calls, seen.switches);
}

/* The peer makes calls while idle, and strace stops it twice at each, which
   would count as switches of its own: its switches over a window untraced,
   then its calls over another. */
static void peer_idle_window(const char *what, pid_t daemon, int pad, enum play how)
{
    long switched = switches(daemon);
    double opened, closed;
    play_window(pad, how, &opened, &closed);
    switched = switches(daemon) - switched;
    wait_rest(daemon);
    struct traced seen = traced_window(what, daemon, pad, how);
    printf("tabrin-bench: peer idle %s %ld %ld\n", what, seen.calls, switched);
}

/* A named trigger moving: switches untraced, as strace adds its own, then
   the calls under strace. */
static void axis_windows(pid_t daemon, int pad)
{
    long slept = sleeps(daemon), switched = switches(daemon);
    double opened, closed;
    play_window(pad, trigger_swept, &opened, &closed);
    slept = sleeps(daemon) - slept;
    switched = switches(daemon) - switched;
    wait_rest(daemon);
    struct traced seen = traced_window("axis", daemon, pad, trigger_swept);
    printf("tabrin-bench: axis %d %ld %ld %ld %ld\n", WINDOW_S * 100, slept, switched - slept, seen.waits,
           seen.calls);
}

/* The VM's own lateness at a hold's two timed waits, without the daemon. */
static void timers(void)
{
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event none[1];
    if (epoll < 0)
        die("epoll_create1");
    long hold = atol(HOLD_MS);
    printf("tabrin-bench: sleep %ld", hold);
    for (int i = 0; i < HOLDS; ++i) {
        pause_ms(rand() % 50);
        long long start = now_ns();
        epoll_wait(epoll, none, 1, 10);
        long long left = start + hold * 1000000LL - now_ns();
        epoll_wait(epoll, none, 1, (int)((left + 999999) / 1000000));
        printf(" %lld", now_ns() - start - hold * 1000000LL);
    }
    printf("\n");
    close(epoll);
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

static void chord_keys(int pad, int first, int second, int down)
{
    emit(pad, EV_KEY, first, down);
    emit(pad, EV_KEY, second, down);
    sync_report(pad);
}

/* COUNT presses of two keys at random moments, each from the write of the
   report to the bound line's echo, less `late_ns`. */
/* What system() does with BOUND: the shell through posix_spawn, to the
   line's echo. */
static long long shell_time(char *bound, int fifo)
{
    char *argv[] = {"/bin/sh", "-c", bound, NULL};
    pid_t shell;
    long long called = now_ns();
    if (posix_spawn(&shell, "/bin/sh", NULL, NULL, argv, environ) != 0)
        die("posix_spawn");
    long long took = await_echo(fifo) - called;
    waitpid(shell, NULL, 0);
    return took;
}

static void press_times(pid_t daemon, int pad, int fifo, int first, int second, int count, long long late_ns,
                        long long *took)
{
    for (int i = 0; i < count; ++i) {
        pause_ms(rand() % 50);
        long long pressed = now_ns();
        chord_keys(pad, first, second, 1);
        took[i] = await_echo(fifo) - pressed - late_ns;
        chord_keys(pad, first, second, 0);
        pause_ms(20);
        wait_rest(daemon);
    }
}

static void print_times(const char *label, const long long *took, int count)
{
    printf("tabrin-bench: %s", label);
    for (int i = 0; i < count; ++i)
        printf(" %lld", took[i]);
    printf("\n");
}

static void presses(const char *label, pid_t daemon, int pad, int fifo, int first, int second, int count,
                    long long late_ns)
{
    long long took[HOLDS > PRESSES ? HOLDS : PRESSES];
    press_times(daemon, pad, fifo, first, second, count, late_ns, took);
    print_times(label, took, count);
    stop(daemon);
}

/* PEER_PRESSES presses of Select and Start for each daemon, in turns of
   five, so that both meet the same load of the machine: tabrin given
   BINDING at the default settle time, the peer TRIGGERS. */
static void presses_beside_peer(const char *when, char *const binding[], const char *node, const char *triggers,
                                int pad, int fifo)
{
    long long mine[PEER_PRESSES], peers[PEER_PRESSES];
    char *defaults[] = {NULL};
    for (int done = 0; done < PEER_PRESSES; done += 5) {
        pid_t peer = start_peer(node, triggers);
        press_times(peer, pad, fifo, BTN_SELECT, BTN_START, 5, 0, peers + done);
        stop(peer);
        pid_t daemon = start_on_pad(defaults, binding);
        press_times(daemon, pad, fifo, BTN_SELECT, BTN_START, 5, 0, mine + done);
        stop(daemon);
    }
    char label[64];
    snprintf(label, sizeof label, "press %s", when);
    print_times(label, mine, PEER_PRESSES);
    snprintf(label, sizeof label, "peer press %s", when);
    print_times(label, peers, PEER_PRESSES);
}

#ifdef REPEAT_OPTION
/* REPEAT_HOLDS holds of Select and Start, each let go midway between two
   repeats, after ten of them: how many echoes each hold gave until three
   periods after its release (eleven are due: the first at the settle time
   of 10 ms, ten more while held), and the intervals between them. An echo
   comes a shell start-up after its repeat, so one may follow the release,
   and two differ by as much as two start-ups do: the daemon's own period is
   the time between the processes it starts, which strace sees it ask for
   (its clone3, clone or vfork), timed by strace -ttt. */
static void repeats(pid_t daemon, int pad, int fifo, char *bound)
{
    long period_ms = atol(REPEAT_MS);
    long long gaps[REPEAT_HOLDS * 16], shell[REPEAT_HOLDS];
    double opened[REPEAT_HOLDS], closed[REPEAT_HOLDS];
    int counts[REPEAT_HOLDS], gap_count = 0;
    char out[] = "/tmp/strace.repeat", pid_text[16];
    snprintf(pid_text, sizeof pid_text, "%d", (int)daemon);
    char *argv[] = {STRACE, "-ttt", "-e", "trace=clone,clone3,vfork", "-o", out, "-p", pid_text, NULL};
    pid_t tracer = start(argv, 0);
    pause_ms(500); /* attached */
    for (int h = 0; h < REPEAT_HOLDS; ++h) {
        pause_ms(rand() % 50);
        opened[h] = wall_s();
        long long pressed = now_ns(), last = 0;
        long long release = pressed + (10 + 10 * period_ms + period_ms / 2) * 1000000LL;
        long long end = release + 3 * period_ms * 1000000LL;
        int held = 1;
        counts[h] = 0;
        chord_keys(pad, BTN_SELECT, BTN_START, 1);
        for (long long at = now_ns(); at < end; at = now_ns()) {
            if (held && at >= release) {
                chord_keys(pad, BTN_SELECT, BTN_START, 0);
                held = 0;
            }
            struct pollfd p = {fifo, POLLIN, 0};
            long long next = held ? release : end;
            if (poll(&p, 1, (int)((next - at + 999999) / 1000000)) != 1)
                continue;
            long long came = now_ns();
            char line[16];
            if (read(fifo, line, sizeof line) <= 0)
                die("reading the FIFO");
            ++counts[h];
            if (last != 0 && gap_count < REPEAT_HOLDS * 16)
                gaps[gap_count++] = came - last;
            last = came;
        }
        if (held)
            chord_keys(pad, BTN_SELECT, BTN_START, 0);
        closed[h] = wall_s();
        wait_rest(daemon);
        shell[h] = shell_time(bound, fifo);
    }
    kill(tracer, SIGINT);
    waitpid(tracer, NULL, 0);
    printf("tabrin-bench: repeat-spawns %s", REPEAT_MS);
    FILE *f = fopen(out, "r");
    char line[512];
    double last_spawn = 0;
    int in_hold = -1;
    while (f != NULL && fgets(line, sizeof line, f) != NULL) {
        double at;
        if (sscanf(line, "%lf", &at) != 1 || strstr(line, " --- ") != NULL
            || (strstr(line, "clone") == NULL && strstr(line, "vfork") == NULL))
            continue;
        int hold = -1;
        for (int h = 0; h < REPEAT_HOLDS; ++h)
            if (at >= opened[h] && at <= closed[h])
                hold = h;
        if (hold >= 0 && hold == in_hold)
            printf(" %lld", (long long)((at - last_spawn) * 1e9));
        in_hold = hold;
        last_spawn = at;
    }
    if (f != NULL)
        fclose(f);
    printf("\n");
    printf("tabrin-bench: repeat-counts %s 11", REPEAT_MS);
    for (int h = 0; h < REPEAT_HOLDS; ++h)
        printf(" %d", counts[h]);
    printf("\ntabrin-bench: repeat %s", REPEAT_MS);
    for (int i = 0; i < gap_count; ++i)
        printf(" %lld", gaps[i]);
    printf("\n");
    print_times("repeat-shell", shell, REPEAT_HOLDS);
    stop(daemon);
}
#endif

/* COUNT taps of KEY held TAP_MS each, from the write of the release to the
   bound line's echo; first how many fired while held, which is no tap, and
   how many fired nothing within a second, as a daemon without taps does.
   After each, BOUND as system() runs it: the shell's share at that moment,
   on a machine whose load comes and goes. */
static void taps(pid_t daemon, int pad, int fifo, int key, int count, char *bound)
{
    long long late[TAPS], shell[TAPS];
    int early = 0, missed = 0, fired = 0;
    for (int i = 0; i < count && i < TAPS; ++i) {
        pause_ms(rand() % 50);
        emit(pad, EV_KEY, key, 1);
        sync_report(pad);
        pause_ms(TAP_MS);
        struct pollfd p = {fifo, POLLIN, 0};
        early += poll(&p, 1, 0) == 1;
        long long released = now_ns();
        emit(pad, EV_KEY, key, 0);
        sync_report(pad);
        if (poll(&p, 1, 1000) == 1)
            late[fired++] = await_echo(fifo) - released;
        else
            ++missed;
        pause_ms(20);
        wait_rest(daemon);
        shell[i] = shell_time(bound, fifo);
    }
    printf("tabrin-bench: tap %d %d %d", TAP_MS, early, missed);
    for (int i = 0; i < fired; ++i)
        printf(" %lld", late[i]);
    printf("\n");
    print_times("tap-shell", shell, count < TAPS ? count : TAPS);
    stop(daemon);
}

/* VmRSS of fresh processes at rest, each ended once read. */
static void print_resident(pid_t pid)
{
    printf(" %ld", proc_number(pid, "status", "VmRSS:"));
    stop(pid);
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

    char *digits[] = {"-r", "12", bound, NULL};
    char *named[] = {"-r", "BTN_SELECT+BTN_START", bound, NULL};
    char *trigger[] = {"-r", "ABS_Z+ABS_RZ", bound, NULL};
    char *hold[] = {"-h", "BTN_SELECT+BTN_START", HOLD_MS, bound, NULL};

    int pad = plug(node, sizeof node, 0);
    link_pad(node);
    pid_t daemon = start_daemon("10", digits);
    idle_window("present", daemon, pad, untouched);
    idle_window("playing", daemon, pad, sticks_hat_start_mode);
    close(pad);
    char link[128];
    snprintf(link, sizeof link, "%s/pad", dir);
    unlink(link);
    pause_ms(100);
    wait_rest(daemon);
    idle_window("absent", daemon, -1, untouched);
    stop(daemon);

    pad = plug(node, sizeof node, 0);
    link_pad(node);
    presses("press 5000", start_daemon("5000", digits), pad, fifo, BTN_SOUTH, BTN_EAST, PRESSES, 0);
    presses("press 10", start_daemon("10", digits), pad, fifo, BTN_SOUTH, BTN_EAST, PRESSES, 0);

    daemon = start_daemon("10", named);
    idle_window("named-present", daemon, pad, untouched);
    idle_window("named-playing", daemon, pad, sticks_hat_south_mode_triggers);
    idle_window("named-sticks", daemon, pad, sticks_trigger);
    presses("press named", daemon, pad, fifo, BTN_SELECT, BTN_START, PRESSES, 0);

    daemon = start_daemon("10", trigger);
    axis_windows(daemon, pad);
    stop(daemon);

    presses("hold " HOLD_MS, start_daemon("10", hold), pad, fifo, BTN_SELECT, BTN_START, HOLDS,
            atoll(HOLD_MS) * 1000000LL);

    printf("tabrin-bench: shell");
    for (int i = 0; i < PRESSES; ++i) {
        pause_ms(rand() % 50);
        printf(" %lld", shell_time(bound, fifo));
    }
    printf("\n");
    timers();

    /* Beside the peer, Select and Start bound alike, each daemon as a user
       starts it: the default settle time. */
    char peer_chord[320], peer_contained[400];
    snprintf(peer_chord, sizeof peer_chord, "BTN_START+BTN_SELECT 1 %s\n", bound);
    snprintf(peer_contained, sizeof peer_contained, "%sBTN_MODE+BTN_SELECT+BTN_START 1 true\n", peer_chord);
    char *defaults[] = {NULL};
    char *contained[] = {"-r", "BTN_SELECT+BTN_START", bound, "-r", "BTN_SELECT+BTN_START+BTN_MODE", "true", NULL};
    daemon = start_peer(node, peer_chord);
    peer_idle_window("present", daemon, pad, untouched);
    peer_idle_window("sticks", daemon, pad, sticks_trigger);
    stop(daemon);
    presses_beside_peer("at-once", named, node, peer_chord, pad, fifo);
    presses_beside_peer("waits", contained, node, peer_contained, pad, fifo);
    printf("tabrin-bench: memory peer");
    for (int i = 0; i < COPIES; ++i)
        print_resident(start_peer(node, peer_chord));
    printf("\ntabrin-bench: memory tabrin");
    for (int i = 0; i < COPIES; ++i)
        print_resident(start_on_pad(defaults, named));
    printf("\n");
#ifdef STANDARD_NAMES
    /* The lines users write with standard names. */
    char *standard[] = {"-r", "back+start", bound, "-r", "guide", "true", "-h", "guide", "1500", "true",
                        "-r", "back+dpup", "true", "-r", "lefttrigger+righttrigger", "true", NULL};
    printf("tabrin-bench: memory standard");
    for (int i = 0; i < COPIES; ++i)
        print_resident(start_on_pad(defaults, standard));
    printf("\n");
#endif
    /* A tap of a chord that another contains, so that it fires at the
       release and not as it is pressed. */
    char *tap[] = {"-r", "BTN_MODE", bound, "-r", "BTN_MODE+BTN_SOUTH", "true", NULL};
    taps(start_on_pad(defaults, tap), pad, fifo, BTN_MODE, TAPS, bound);
#ifdef REPEAT_OPTION
    char *repeat[] = {"-a", "BTN_SELECT+BTN_START", REPEAT_MS, bound, NULL};
    char *settle[] = {"-w", "10", NULL};
    repeats(start_on_pad(settle, repeat), pad, fifo, bound);
#endif
    close(pad);
#ifdef RUMBLE_OPTION
    /* The idle rows again with rumble set, on a pad that can rumble. */
    pad = plug(node, sizeof node, 1);
    link_pad(node);
    pid_t answerer = answer_effects(pad);
    char *rumble[] = {"-p", "10", "-w", "10", "-z", "150", NULL};
    daemon = start_on_pad(rumble, digits);
    idle_window("rumble-present", daemon, pad, untouched);
    idle_window("rumble-playing", daemon, pad, sticks_hat_start_mode);
    stop(daemon);
    stop(answerer);
    close(pad);
#endif

    /* Every pad by name, and none plugged in. */
    char *every_pad[] = {"-n", "*", NULL};
    daemon = start_daemon_on(every_pad, "10", named);
    idle_window("pads-absent", daemon, -1, untouched);
    stop(daemon);
    return 0;
}
