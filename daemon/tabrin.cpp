// tabrin: runs shell commands while a combination of joystick buttons is held.
#include "buttons.h"
#include "report.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Indexed by button set (bit 0 is button 1); null where nothing is bound.
using command_table = std::array<const char *, 16>;

constexpr std::string_view usage =
    "\nUsage: tabrin [-t secs] [-r [1234] \"cmd\"]\n"
    "Runs command when two joystick buttons are pressed,\n"
    "See man page tabrin(1) for details\n";

constexpr int all_buttons = 0xF0;

// Every message is one write of the whole text to descriptor 2.
void say(std::string_view text)
{
    ssize_t written = write(2, text.data(), text.size());
    static_cast<void>(written); // nowhere left to report a failed report
}

[[noreturn]] void fail(std::string_view text)
{
    say(text);
    exit(1);
}

int readmask(const char *text)
{
    int set = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '1' || *text > '4') {
            say("Wrong button number specified, must be in range 1..4\n");
            return 0;
        }
        const int bit = 1 << (*text - '1');
        if ((set & bit) != 0) {
            say("Button already specified within button list\n");
            return 0;
        }
        set |= bit;
    }
    return set;
}

int readtime(const char *text)
{
    // strtol saturates instead of wrapping, so a huge value is out of range too.
    const long ms = strtol(text, nullptr, 10);
    if (ms < 1 || ms > 60000) {
        say("Time out of range\n");
        return -1;
    }
    return static_cast<int>(ms * 1000);
}

// How many words follow the option letter, or -1 for a letter that is no option.
int option_words(char letter)
{
    switch (letter) {
    case 'd': case 'v': return 0;
    case 'i': case 'j': case 'l': case 'p': case 'w': return 1;
    case 'r': return 2;
    default: return -1;
    }
}

// 0: good; 1: an error, already reported; 2: the usage text is called for.
int readargs(int argc, char **argv, command_table *commands, int *poll_usec, int *wait_usec,
             int *active_mask, bool *daemon_mode, const char **lock_path, const char **port_path,
             bool *verbose)
{
    if (argc == 1)
        return 2;
    bool have_command = false;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-')
            return 2;
        const char letter = argv[i][1]; // the rest of the word is ignored: -debug is -d
        const int words = option_words(letter);
        if (words < 0)
            return 2;
        if (argc - 1 - i < words) {
            say("Not enough parameters for option\n");
            return 1;
        }
        const char *value = argv[i + 1];
        switch (letter) {
        case 'd':
            *daemon_mode = true;
            break;
        case 'i': {
            const int set = readmask(value);
            if (set == 0)
                return 1;
            *active_mask = ((~set) & 0xF) << 4;
            break;
        }
        case 'j':
            *port_path = value;
            break;
        case 'l':
            *lock_path = value;
            break;
        case 'p':
        case 'w': {
            const int usec = readtime(value);
            if (usec < 0)
                return 1;
            *(letter == 'p' ? poll_usec : wait_usec) = usec;
            break;
        }
        case 'v':
            *verbose = true;
            break;
        case 'r': {
            const int set = readmask(value);
            if (set == 0)
                return 1;
            if ((*commands)[set] != nullptr) {
                say("There already is an action for this button combination\n");
                return 1;
            }
            (*commands)[set] = argv[i + 2];
            have_command = true;
            break;
        }
        }
        i += words;
    }
    if (!have_command) {
        say("No command to execute\n");
        return 1;
    }
    return 0;
}

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

void get_port_access(const button_port *port)
{
    if (!port_access(port))
        fail("Could not get permission to read from joystick port\n");
}

// Group first: once the user id is given up, the group id could no longer be.
void drop_privileges()
{
    if (setgid(getgid()) != 0 || setuid(getuid()) != 0 || (getuid() != 0 && setuid(0) == 0))
        fail("Failure in giving up setuid privileges\n");
}

void open_port(button_port *port)
{
    if (!port_open(port))
        fail("Could not open joystick device\n");
}

int held_set(unsigned char status, int active_mask)
{
    return ((~status) & active_mask) >> 4;
}

void refuse_held_buttons(const command_table *commands, button_port *port, int active_mask)
{
    if ((*commands)[held_set(port_read(port), active_mask)] != nullptr)
        fail("Joystick buttons that trigger action already pressed\n");
}

void leave_session()
{
    setsid();
    static_cast<void>(chdir("/"));
}

void setlock(const char *path)
{
    // O_NOFOLLOW: the lock directory may be writable by everyone, so a planted
    // link must not lead the daemon to another file.
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        fail("Couldn't open lockfile\n");
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

// Every read of the loop: with -v in the foreground, a change of the buttons
// held (ignored ones included) is told.
unsigned char read_buttons(button_port *port, reporting *reporting)
{
    const unsigned char status = port_read(port);
    report_held(reporting, held_set(status, all_buttons));
    return status;
}

[[noreturn]] void watch_buttons(const command_table *commands, button_port *port, reporting *reporting,
                                int poll_usec, int wait_usec, int active_mask)
{
    for (;;) {
        usleep(poll_usec);
        if ((read_buttons(port, reporting) & active_mask) == active_mask)
            continue;
        usleep(wait_usec);
        // Only this second read decides which command runs.
        const int set = held_set(read_buttons(port, reporting), active_mask);
        const char *command = (*commands)[set];
        if (command == nullptr)
            continue;
        report_fired(reporting, set, command);
        // NOLINTNEXTLINE(cert-env33-c): running the bound command through the shell is the daemon's work
        const int status = system(command);
        report_ended(reporting, set, status); // a command that fails changes nothing else
        // One press, one run: wait until all four buttons are up, ignored ones included.
        while ((read_buttons(port, reporting) & all_buttons) != all_buttons)
            usleep(poll_usec);
    }
}

} // namespace

int main(int argc, char **argv)
{
    reset_process_state();
    command_table commands{};
    int poll_usec = 500000;
    int wait_usec = 300000;
    int active_mask = all_buttons;
    bool daemon_mode = false;
    const char *lock_path = nullptr;
    bool verbose = false;
    reporting reporting;
    button_port port;
    port.report = &reporting;
    check_arguments(readargs(argc, argv, &commands, &poll_usec, &wait_usec, &active_mask,
                             &daemon_mode, &lock_path, &port.path, &verbose));
    const int ready = daemon_mode ? fork_daemon() : -1;
    report_start(&reporting, verbose, daemon_mode);
    get_port_access(&port);
    drop_privileges();
    open_port(&port);
    refuse_held_buttons(&commands, &port, active_mask);
    if (daemon_mode)
        leave_session();
    if (lock_path != nullptr)
        setlock(lock_path);
    if (daemon_mode)
        finish_start(ready);
    watch_buttons(&commands, &port, &reporting, poll_usec, wait_usec, active_mask);
}
