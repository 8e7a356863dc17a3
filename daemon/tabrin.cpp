// tabrin: runs shell commands while a combination of joystick buttons is held.
#include "command_line.h"
#include "lock_path.h"
#include "report.h"
#include "say.h"
#include "sources.h"
#include "waiting.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
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

// Room for the bound commands once they are out of the argument vector, each
// with its NUL: any one command fits, since the kernel passes no argument
// longer than this. Only the part the commands fill is ever touched.
using command_arena = std::array<char, size_t{128} * 1024>;

// The word is the process's own writable argument vector, so its bytes can
// become NULs, which keep the count of words that ps shows. Byte by byte, in
// one loop: a memset would bring one more page of libc into memory for good.
const char *move_command(const char *command, command_arena *arena, size_t *used)
{
    const size_t length = strlen(command);
    if (length >= arena->size() - *used)
        fail("Commands too long\n");
    char *moved = arena->data() + *used;
    char *word = const_cast<char *>(command);
    for (size_t i = 0; i < length; ++i) {
        moved[i] = word[i];
        word[i] = '\0';
    }
    moved[length] = '\0';
    *used += length + 1;
    return moved;
}

// Other processes read the daemon's command line (ps, pgrep -f, pkill -f):
// it shows no bound command, so that a bound `pkill -f WORD` does not end
// the daemon itself.
void hide_commands(settings *given, command_arena *arena)
{
    size_t used = 0;
    for (const char *&command : given->commands) {
        if (command == nullptr)
            continue;
        command = move_command(command, arena, &used);
    }
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

// One write, like every message, with the path as it was given.
void announce_waiting(const char *path)
{
    constexpr std::string_view waiting = "Waiting for joystick device ";
    std::array<iovec, 3> parts = {{{const_cast<char *>(waiting.data()), waiting.size()},
                                   {const_cast<char *>(path), strlen(path)},
                                   {const_cast<char *>("\n"), 1}}};
    ssize_t written = writev(2, parts.data(), static_cast<int>(parts.size()));
    static_cast<void>(written); // nowhere left to report a failed report
}

// A path that is not there yet is waited for: a pad that is off at boot.
void open_sources(source_set *sources)
{
    for (int i = 0; i < sources->count; ++i) {
        source *port = &sources->list[i];
        const open_result result = source_open(sources, port);
        if (result == open_result::refused)
            fail("Could not open joystick device\n");
        if (result == open_result::missing)
            announce_waiting(port->path);
    }
}

void start_watching(waiter *wait, source_set *sources)
{
    if (!start_waiting(wait, sources))
        fail("Could not watch for joystick devices\n");
}

int held_set(unsigned char status, int active_mask)
{
    return ((~status) & active_mask) >> 4;
}

void refuse_held_buttons(const settings *given, source_set *sources)
{
    if (given->commands[held_set(sources_read(sources), given->active_mask)] != nullptr)
        fail("Joystick buttons that trigger action already pressed\n");
}

void leave_session()
{
    setsid();
    static_cast<void>(chdir("/"));
}

// The lock directory may be writable by everyone: a link planted at the path
// or on the way to it must not lead the daemon to another file, and a file
// that another user made there is not the daemon's to lock.
int open_lock(const char *path)
{
    const char *name = nullptr;
    const int directory = open_lock_directory(path, &name);
    if (directory == planted_link)
        fail("Lock file is not a regular file\n");
    if (directory < 0)
        fail("Couldn't open lockfile\n");
    const int fd = openat(directory, name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        fail("Couldn't open lockfile\n");
    close(directory);
    struct stat st {};
    // Our own "", as in file_type.
    if (fstatat(fd, "", &st, AT_EMPTY_PATH) != 0 || !S_ISREG(st.st_mode))
        fail("Lock file is not a regular file\n");
    if (st.st_uid != getuid())
        fail("Lock file is owned by another user\n");
    return fd;
}

void setlock(const char *path)
{
    const int fd = open_lock(path);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = getpid();
    // The lock lives as long as this descriptor, which is never closed.
    if (fcntl(fd, F_SETLK, &lock) != 0)
        fail("Lockfile already locked\n");
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

bool all_up(unsigned char status, int mask)
{
    return (status & mask) == mask;
}

// Every read of the loop: with -v in the foreground, a change of the buttons
// held (ignored ones included) is told.
unsigned char read_buttons(source_set *sources, reporting *report)
{
    const unsigned char status = sources_read(sources);
    report_held(report, held_set(status, all_buttons));
    return status;
}

[[noreturn]] void watch_buttons(const settings *given, source_set *sources, waiter *wait, reporting *report)
{
    for (;;) {
        wait_for_input(wait, sources, given->poll_usec);
        if (all_up(read_buttons(sources, report), given->active_mask))
            continue;
        settle(wait, sources, given->wait_usec);
        // Only this second read decides which command runs.
        const int set = held_set(read_buttons(sources, report), given->active_mask);
        const char *command = given->commands[set];
        if (command == nullptr)
            continue;
        report_fired(report, set, command);
        // NOLINTNEXTLINE(cert-env33-c): running the bound command through the shell is the daemon's work
        const int status = system(command);
        report_ended(report, set, status); // a command that fails changes nothing else
        // One press, one run: wait until all four buttons are up, ignored ones included.
        while (!all_up(read_buttons(sources, report), all_buttons))
            wait_for_input(wait, sources, given->poll_usec);
    }
}

} // namespace

int main(int argc, char **argv)
{
    reset_process_state();
    settings given;
    check_arguments(readargs(argc, argv, &given));
    command_arena commands; // filled by hide_commands alone
    hide_commands(&given, &commands);
    source_set sources;
    sources_from_settings(&given, &sources);
    reporting report;
    sources.report = &report;
    const int ready = given.daemon_mode ? fork_daemon() : -1;
    report_start(&report, given.verbose, given.daemon_mode);
    get_port_access(&sources);
    drop_privileges();
    open_sources(&sources);
    waiter wait;
    start_watching(&wait, &sources);
    refuse_held_buttons(&given, &sources);
    if (given.daemon_mode)
        leave_session();
    if (given.lock_path != nullptr)
        setlock(given.lock_path);
    if (given.daemon_mode)
        finish_start(ready);
    watch_buttons(&given, &sources, &wait, &report);
}
