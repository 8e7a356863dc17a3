// tabrin: runs shell commands while a combination of joystick buttons is held.
#include "command_line.h"
#include "learn.h"
#include "lock_path.h"
#include "report.h"
#include "rumble.h"
#include "say.h"
#include "sources.h"
#include "waiting.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Descriptors 0 to 2 open (on /dev/null if need be), nothing above them, so
// nothing the daemon opens can take a standard number; and SIGINT ends the
// daemon even when its starter ignored or blocked it (a script's '&').
void reset_process_state()
{
    close_range(3, ~0U, 0);
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            exit(1);
    static_cast<void>(signal(SIGINT, SIG_DFL)); // cannot fail for SIGINT
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
}

void check_arguments(int result)
{
    if (result == 2)
        fail(usage);
    if (result == 1)
        exit(1);
}

// The daemon's tables are large, and a daemon uses a few of their entries
// (256 bindings, eight sources of 64 device buttons, a path): in a mapping,
// only the pages written take memory, where on the stack the tables would
// push everything called below them onto pages of their own. The copies of
// the bound commands come first, so that short ones share the first page
// with the settings; the argument vector bounds their size.
struct daemon_tables {
    char *commands;
    settings given;
    source_set sources;
};

daemon_tables *map_tables(int argc, char **argv)
{
    size_t words = 0;
    for (int i = 0; i < argc; ++i)
        words += strlen(argv[i]) + 1;
    const size_t tables_at = (words + alignof(daemon_tables) - 1) / alignof(daemon_tables) * alignof(daemon_tables);
    // cppcheck-suppress invalidFunctionArg ; an anonymous mapping takes no descriptor, -1 as Linux asks
    void *room = mmap(nullptr, tables_at + sizeof(daemon_tables), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED)
        fail("Out of memory\n");
    auto *tables = new (static_cast<char *>(room) + tables_at) daemon_tables;
    tables->commands = static_cast<char *>(room);
    return tables;
}

// The command's copy, in the room after the copies before it. Byte by byte,
// in one loop, as every copy here: a memcpy or memset would bring one more
// page of libc into memory for good.
const char *copy_command(const char *command, char *room, size_t *used)
{
    char *copy = room + *used;
    size_t i = 0;
    for (; command[i] != '\0'; ++i)
        copy[i] = command[i];
    copy[i] = '\0';
    *used += i + 1;
    return copy;
}

// Where a word of the argument vector will be once the commands before it
// have left it: their bytes are gone, each leaves one NUL.
const char *moved_up(const char *word, const settings *given)
{
    size_t gone = 0;
    for (int i = 0; i < given->binding_count; ++i)
        if (given->bindings[i].command < word)
            gone += strlen(given->bindings[i].command);
    return word - gone;
}

// The words that the settings keep pointers to, each at the place it will
// move to.
void follow_words(settings *given)
{
    for (int i = 0; i < given->binding_count; ++i)
        given->bindings[i].list = moved_up(given->bindings[i].list, given);
    for (int i = 0; i < given->source_count; ++i)
        given->source_paths[i] = moved_up(given->source_paths[i], given);
    for (int i = 0; i < given->pad_count; ++i)
        given->pad_patterns[i] = moved_up(given->pad_patterns[i], given);
    if (given->lock_path != nullptr)
        given->lock_path = moved_up(given->lock_path, given);
}

// Other processes read the daemon's command line (ps, pgrep -f, pkill -f):
// it shows no bound command, so that a bound `pkill -f WORD` does not end
// the daemon itself. Each command leaves one empty word: the words after it
// move up over its bytes, which the kernel laid out one after another, and
// the room that frees is NULs at the end of the vector, which ps and the
// service manager do not show.
void hide_commands(int argc, char **argv, daemon_tables *tables)
{
    settings *given = &tables->given;
    char *const end = argv[argc - 1] + strlen(argv[argc - 1]) + 1;
    follow_words(given);
    size_t used = 0;
    for (int i = 0; i < given->binding_count; ++i) {
        char *command = const_cast<char *>(given->bindings[i].command);
        given->bindings[i].command = copy_command(command, tables->commands, &used);
        command[0] = '\0';
    }
    char *to = argv[0];
    for (int i = 0; i < argc; ++i) {
        const char *from = argv[i];
        argv[i] = to;
        // A word moves up or stays: it never lands on bytes not yet copied.
        do
            *to++ = *from;
        while (*from++ != '\0');
    }
    while (to < end)
        *to++ = '\0';
}

// The parent stays until the child reports start-up done through the pipe,
// and exits 0 then, or 1 when the child ends first (the pipe closes unwritten).
// Returns the pipe's write end in the child.
int fork_daemon()
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        fail("Fork not succesful\n");
    const pid_t child = fork();
    if (child < 0)
        fail("Fork not succesful\n");
    if (child == 0) {
        close(ready[0]);
        return ready[1];
    }
    close(ready[1]);
    char byte = 0;
    ssize_t got = 0;
    do
        got = read(ready[0], &byte, 1);
    while (got < 0 && errno == EINTR);
    exit(got == 1 ? 0 : 1);
}

void get_port_access(const source_set *sources)
{
    if (!sources_access(sources))
        fail("Could not get permission to read from joystick port\n");
}

// Group first: once the user id is given up, the group id could no longer be.
void drop_privileges()
{
    if (setgid(getgid()) != 0 || setuid(getuid()) != 0 || (getuid() != 0 && setuid(0) == 0))
        fail("Failure in giving up setuid privileges\n");
}

// "BEFORE PATH: REASON" (": REASON" only with a reason) in one write, like
// every message, with the path shown as a report shows it.
void tell_path(int fd, std::string_view before, const char *path, const char *reason)
{
    std::array<char, PATH_MAX + 256> text;
    line_writer line{text};
    line_add(&line, before);
    line_add(&line, path);
    if (reason != nullptr) {
        line_add(&line, ": ");
        line_add(&line, reason);
    }
    const std::string_view message = line_end(&line);
    ssize_t written = write(fd, message.data(), message.size());
    static_cast<void>(written); // nowhere left to report a failed report
}

[[noreturn]] void fail_with_path(const char *path, const char *reason)
{
    tell_path(2, "Could not open joystick device ", path, reason);
    exit(1);
}

// A path that is not there yet is waited for: a pad that is off at boot.
// Learning mode says what is wrong with a path and watches the others.
void open_sources(source_set *sources)
{
    constexpr const char *unfit = "not a port image or a device with a watched button";
    for (int i = 0; i < sources->count; ++i) {
        source *port = &sources->list[i];
        if (port->by_name)
            continue;
        const open_result result = source_open(sources, port);
        const char *reason = result == open_result::refused ? strerror(errno)
                             : result == open_result::unfit ? unfit
                             : result == open_result::missing && sources->learning ? strerror(ENOENT)
                                                                                  : nullptr;
        // Learning mode tells it on standard output, and goes on.
        if (reason != nullptr && sources->learning)
            tell_path(1, "", port->path, reason);
        else if (reason != nullptr)
            fail_with_path(port->path, reason);
        else if (result == open_result::missing)
            tell_path(2, "Waiting for joystick device ", port->path, nullptr);
    }
    take_pads(sources);
}

void start_watching(waiter *wait, source_set *sources)
{
    if (!start_waiting(wait, sources))
        fail("Could not watch for joystick devices\n");
}

// What the source's bits mean for its gesture.
gesture_rules rules_for(const source_set *sources, const source *port)
{
    const bool polled = port->kind == source_kind::image || port->kind == source_kind::game_port;
    return {sources->given, &port->same_as, port->active, polled};
}

void refuse_held_buttons(source_set *sources)
{
    const settings *given = sources->given;
    for (int i = 0; i < sources->count; ++i) {
        source *port = &sources->list[i];
        const chord held = source_read(sources, port) & port->active;
        for (int b = 0; held != 0 && b < given->binding_count; ++b)
            if (source_chord(port, given->bindings[b].buttons) == held)
                fail("Joystick buttons that trigger action already pressed\n");
    }
}

void leave_session()
{
    setsid();
    static_cast<void>(chdir("/"));
}

// The lock file made anew: nothing may be at the path by then, so that the
// file locked is the file made.
int make_lock(int directory, const char *name)
{
    const int fd = openat(directory, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST)
        fail("Another file appeared at the lock path\n");
    // The umask may have taken the user's own bits.
    if (fd < 0 || fchmod(fd, 0600) != 0)
        fail("Couldn't open lockfile\n");
    return fd;
}

// What is at the path goes (AT_REMOVEDIR for an empty directory), and the
// lock file is made anew.
int replace_lock(int directory, const char *name, int unlink_flags)
{
    if (unlinkat(directory, name, unlink_flags) != 0 && errno != ENOENT)
        fail("Lock file of another user could not be removed\n");
    return make_lock(directory, name);
}

// A directory where others may make files, as the sticky /run/lock: what
// another user has put there may have been put to keep the daemon out.
bool open_to_others(int directory)
{
    struct stat st {};
    return fstat(directory, &st) == 0 && ((st.st_mode & S_ISVTX) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0);
}

bool is_others(const struct stat &st)
{
    return st.st_uid != getuid();
}

// The lock directory may be writable by everyone: a link planted at the path
// or on the way to it must not lead the daemon to another file, and a file
// that another user made there is not the daemon's to lock. For root such a
// file in an open directory is no daemon's either: it is replaced, so that
// nobody can keep the system's daemon from starting.
int open_lock(int directory, const char *name)
{
    struct stat st {};
    if (getuid() == 0 && fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && is_others(st)
        && open_to_others(directory))
        return replace_lock(directory, name, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
    const int fd = openat(directory, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        fail("Couldn't open lockfile\n");
    // Our own "", as in file_type.
    if (fstatat(fd, "", &st, AT_EMPTY_PATH) != 0 || !S_ISREG(st.st_mode))
        fail("Lock file is not a regular file\n");
    if (is_others(st))
        fail("Lock file is owned by another user\n");
    return fd;
}

bool lock_whole(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = getpid();
    return fcntl(fd, F_SETLK, &lock) == 0;
}

// A daemon holds a write lock: a read lock is another process's that opened
// the file while others could, and keeps no daemon's place.
bool read_locked(int fd)
{
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type == F_RDLCK;
}

void setlock(const char *path)
{
    const char *name = nullptr;
    const int directory = open_lock_directory(path, &name);
    if (directory == planted_link)
        fail("Lock file is not a regular file\n");
    if (directory < 0)
        fail("Couldn't open lockfile\n");
    int fd = open_lock(directory, name);
    // The user's alone before it is locked: a file left by an older daemon
    // was 0644, and another user may still have it open.
    if (fchmod(fd, 0600) != 0)
        fail("Couldn't open lockfile\n");
    if (!lock_whole(fd) && read_locked(fd)) {
        close(fd);
        if (unlinkat(directory, name, 0) != 0)
            fail("Lockfile already locked\n");
        fd = make_lock(directory, name);
    }
    // The lock lives as long as this descriptor, which is never closed.
    if (!lock_whole(fd))
        fail("Lockfile already locked\n");
    close(directory);
    // cppcheck-suppress resourceLeak ; the descriptor is kept open on purpose: it holds the lock
}

// Standard descriptors on /dev/null, so bound commands start with valid ones;
// then the waiting parent is told that start-up is done.
void finish_start(int ready)
{
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        fail("Could not open /dev/null\n");
    for (int fd = 0; fd <= 2; ++fd)
        dup2(null, fd);
    close(null);
    ssize_t written = write(ready, "", 1);
    static_cast<void>(written); // should the parent be gone, the daemon runs on
    close(ready);
}

// The game port and port images are read again after the poll interval, or
// at the end of the settle time or of a hold, whichever comes first; the
// game port sleeps exactly that long. With chords of digits alone the settle
// time is one sleep; a chord of names may be tapped meanwhile.
void plan_next_read(const settings *given, source *port, instant now)
{
    const instant due = gesture_due(&port->moves);
    instant interval = given->poll_usec;
    if (port->moves.phase == gesture_phase::settling && !given->named_chords)
        interval = due - now;
    else if (due >= 0)
        interval = std::min<instant>(interval, due - now);
    port->interval_usec = static_cast<int>(std::max<instant>(interval, 0));
    port->next_read = now + port->interval_usec;
}

// One read of the source and what it makes happen. A command runs inside the
// loop; its release wait begins with a read at once.
void look_at(source_set *sources, source *port, reporting *report)
{
    const gesture_rules rules = rules_for(sources, port);
    instant now = now_usec();
    firing fired = gesture_step(&port->moves, &rules, source_read(sources, port), now);
    report_held(report, sources, port);
    if (fired.bound != nullptr) {
        report_fired(report, &fired);
        if (port->rumble >= 0)
            rumble_play(port->fd, port->rumble);
        // NOLINTNEXTLINE(cert-env33-c): running the bound command through the shell is the daemon's work
        const int status = system(fired.bound->command);
        report_ended(report, fired.bound, status); // a command that fails changes nothing else
        now = now_usec();
        gesture_fired(&port->moves, &rules, &fired, now);
        gesture_step(&port->moves, &rules, source_read(sources, port), now);
        report_held(report, sources, port);
    }
    plan_next_read(sources->given, port, now);
}

// Learning mode reads a port image at every poll.
void learn_at(source_set *sources, source *port)
{
    learn_from(sources, port, now_usec());
    plan_next_read(sources->given, port, now_usec());
}

[[noreturn]] void watch_buttons(source_set *sources, waiter *wait, reporting *report)
{
    for (int i = 0; i < sources->count; ++i)
        plan_next_read(sources->given, &sources->list[i], now_usec());
    for (;;) {
        wait_for_input(wait, sources);
        const instant now = now_usec();
        for (int i = 0; i < sources->count; ++i) {
            if (!is_due(wait, &sources->list[i], i, now))
                continue;
            if (sources->learning)
                learn_at(sources, &sources->list[i]);
            else
                look_at(sources, &sources->list[i], report);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    reset_process_state();
    daemon_tables *tables = map_tables(argc, argv);
    settings *given = &tables->given;
    check_arguments(readargs(argc, argv, given));
    hide_commands(argc, argv, tables);
    source_set *sources = &tables->sources;
    sources_from_settings(given, sources);
    reporting report;
    sources->report = &report;
    const int ready = given->daemon_mode ? fork_daemon() : -1;
    report_start(&report, given->verbose, given->daemon_mode);
    get_port_access(sources);
    drop_privileges();
    open_sources(sources);
    waiter wait;
    start_watching(&wait, sources);
    refuse_held_buttons(sources);
    if (given->daemon_mode)
        leave_session();
    if (given->lock_path != nullptr)
        setlock(given->lock_path);
    if (given->daemon_mode)
        finish_start(ready);
    watch_buttons(sources, &wait, &report);
}
