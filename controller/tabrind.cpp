// tabrind: reads its configuration file, builds the tabrin command line from
// it, and starts, stops, restarts or reports the daemon through its lock file.
#include "checks.h"
#include "lock_path.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// All of the controller's variable text: the line being read, the daemon
// command line, the lock path.
struct text_buffer {
    char *data; // NUL-terminated by add_string and add_char
    int pos;    // the tokenizer's cursor in the line buffer; 0 in the others
    int len;    // bytes of text, the NUL not counted
    int alloc;  // bytes at data; 0 while data is constant text
};

namespace {

// Buffers grow by this much at a time, never by doubling.
constexpr int buffer_step = 4096;

constexpr const char *usage =
    "Usage:\ntabrind [start|stop|restart|status] [-f inputfile]\n"
    "start(default): runs tabrin with options taken from [inputfile] or \n"
    "\t\t/etc/tabrind.conf (default).\n"
    "stop: stops tabrin started with tabrind\n"
    "restart: restarts tabrin started with tabrind\n"
    "status: reports whether tabrin started with tabrind is running\n";

enum action { action_start, action_stop, action_restart, action_status, action_learn };

// Indexed by action.
constexpr std::array<std::string_view, 5> action_words = {"start", "stop", "restart", "status", "learn"};

// How long stop waits for the daemon to let go of its lock, and how often it looks.
constexpr int stop_deadline_ms = 5000;
constexpr int stop_test_ms = 20;

struct arguments {
    action requested;
    const char *config_path;
    const char *pid_path; // -p: where start and restart tell the daemon's process id; null without
};

// Where process_line is within one line's words.
enum line_state {
    keyword_state, // the first word: which directive
    list_state,    // the button list of run or double; its command follows
    hold_state,    // the button list of hold or repeat; its time and command follow
    time_state,    // the time of hold or repeat; its command follows
    value_state,   // the one value of poll, wait, ignore, device, buttons
    duration_state, // the one time of rumble
    pattern_state, // the first word of pad's pattern: the rest of the line is the pattern
    command_state, // the first word of run's command: the rest of the line is copied
    lock_state,    // the lock path
    more_lock_state, // a further word after the lock path: a second path
    skip_state,    // the directive is complete: further words are ignored
    line_done,     // nothing more on this line counts
};

[[noreturn]] void fail(const char *message)
{
    fprintf(stderr, "%s", message);
    exit(1);
}

[[noreturn]] void fail_system(const char *prefix)
{
    perror(prefix);
    exit(1);
}

char *allocate(int size)
{
    char *data = static_cast<char *>(malloc(size));
    if (data == nullptr)
        fail_system("tabrind");
    return data;
}

void add_string(text_buffer *buffer, const char *source, int n)
{
    // Room for the text, its NUL and at least one spare byte.
    while (buffer->len + n + 1 >= buffer->alloc) {
        buffer->alloc += buffer_step;
        buffer->data = static_cast<char *>(realloc(buffer->data, buffer->alloc));
        if (buffer->data == nullptr)
            fail_system("tabrind");
    }
    const int copied = static_cast<int>(strnlen(source, n));
    memcpy(buffer->data + buffer->len, source, copied);
    buffer->len += copied;
    buffer->data[buffer->len] = '\0';
}

void add_char(text_buffer *buffer, char c)
{
    buffer->len += 1;
    if (buffer->len + 1 >= buffer->alloc) {
        buffer->alloc += buffer_step;
        buffer->data = static_cast<char *>(realloc(buffer->data, buffer->alloc));
        if (buffer->data == nullptr)
            fail_system("tabrind");
    }
    buffer->data[buffer->len - 1] = c;
    buffer->data[buffer->len] = '\0';
}

void add_text(text_buffer *buffer, std::string_view text)
{
    add_string(buffer, text.data(), static_cast<int>(text.size()));
}

// One byte of a single-quoted word: a quote is closed, escaped and reopened.
void add_quoted_char(text_buffer *buffer, char c)
{
    if (c == '\'')
        add_text(buffer, "'\\''");
    else
        add_char(buffer, c);
}

// Single-quoted, so that the shell hands the text to the daemon as one word,
// unexpanded.
void add_quoted(text_buffer *buffer, const char *text, int length)
{
    add_char(buffer, '\'');
    for (int i = 0; i < length; ++i)
        add_quoted_char(buffer, text[i]);
    add_char(buffer, '\'');
}

// A value word of the file: the daemon receives it byte for byte and judges it.
void add_value(text_buffer *command, const char *word, int length)
{
    add_quoted(command, word, length);
    add_char(command, ' ');
}

// A time checked and read: the daemon gets it as whole milliseconds.
void add_milliseconds(text_buffer *command, int ms)
{
    std::array<char, 16> digits;
    const int length = snprintf(digits.data(), digits.size(), "%d", ms);
    add_value(command, digits.data(), length);
}

bool is_blank(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

// The next word of the line: a run of bytes that are neither white space nor
// '#', not NUL-terminated; null when the line (or its text before a '#') is used up.
const char *get_next_string(text_buffer *line, int *length, bool *comment_seen)
{
    if (*comment_seen)
        return nullptr;
    while (line->pos < line->len && is_blank(line->data[line->pos]))
        ++line->pos;
    if (line->data[line->pos] == '#') {
        *comment_seen = true;
        return nullptr;
    }
    if (line->pos >= line->len)
        return nullptr;
    const int start = line->pos;
    while (line->pos < line->len && !is_blank(line->data[line->pos]) && line->data[line->pos] != '#')
        ++line->pos;
    if (line->data[line->pos] == '#')
        *comment_seen = true;
    *length = line->pos - start;
    return line->data + start;
}

// A keyword of the file, the daemon option it adds, and what its words are.
struct directive {
    std::string_view keyword;
    std::string_view option;
    line_state words;
};

// Tried in this order, each keyword matching any word that begins with it.
constexpr std::array<directive, 14> directives = {{
    {"run", "-r ", list_state},
    {"poll", "-p ", value_state},
    {"wait", "-w ", value_state},
    {"nodaemon", "", line_done},
    {"ignore", "-i ", value_state},
    {"lock", "", lock_state},
    {"device", "-j ", value_state},
    {"buttons", "-b ", value_state},
    {"verbose", "-v ", line_done},
    {"hold", "-h ", hold_state},
    {"repeat", "-a ", hold_state},
    {"double", "-2 ", list_state},
    {"pad", "-n ", pattern_state},
    {"rumble", "-z ", duration_state},
}};

const directive *start_directive(std::string_view word, int line_number, text_buffer *command,
                                 bool *daemon_mode, int *run_count)
{
    for (const directive &known : directives) {
        if (!word.starts_with(known.keyword))
            continue;
        if (known.keyword == "run" || known.keyword == "hold" || known.keyword == "repeat" || known.keyword == "double")
            ++*run_count;
        if (known.keyword == "nodaemon")
            *daemon_mode = false;
        add_text(command, known.option);
        return &known;
    }
    fprintf(stderr, "line %d: command string \"%.*s\" not recognized\n", line_number,
            static_cast<int>(word.size()), word.data());
    exit(1);
}

// The escapes that the command's old double quotes gave meaning to, and '\#',
// which keeps a '#' from starting the comment. Every other '\' is the command's own.
bool is_escaped(char c)
{
    return c == '"' || c == '\\' || c == '`' || c == '$' || c == '#';
}

// The command is the rest of the line from its first word up to an unescaped
// '#' or the newline, blanks, tabs and carriage returns included as they are.
// It reaches the daemon as one word, single-quoted and so unread by the shell
// that starts the daemon: its $, ` and quotes are read when it runs.
void copy_command(const text_buffer *line, const char *word, text_buffer *command)
{
    const char *end = line->data + line->len;
    add_char(command, '\'');
    for (const char *at = word; at < end && *at != '#' && *at != '\n'; ++at) {
        if (*at == '\\' && at + 1 < end && is_escaped(at[1]))
            ++at;
        add_quoted_char(command, *at);
    }
    add_text(command, "' ");
}

// A pad's name pattern is the rest of the line from its first word up to a
// '#' or the end, blanks inside kept as they are (device names have them),
// blanks at its end dropped; quoted as a value, the daemon gets it unexpanded.
void copy_pattern(const text_buffer *line, const char *word, text_buffer *command)
{
    const int start = static_cast<int>(word - line->data);
    int end = start;
    while (end < line->len && line->data[end] != '#')
        ++end;
    while (end > start && is_blank(line->data[end - 1]))
        --end;
    add_value(command, word, end - start);
}

void set_lock_path(text_buffer *lock, const char *word, int length)
{
    // alloc tells a path named in the file from the constant default.
    if (lock->alloc != 0)
        fail("More than one lock file specified\n");
    char *copy = allocate(length + 1);
    memcpy(copy, word, length);
    copy[length] = '\0';
    *lock = {copy, 0, length, length + 1};
}

// A directive without its words would take the daemon's next option, -d say,
// for them.
void refuse_unfinished(line_state state, const directive *current, int line_number)
{
    const char *missing = nullptr;
    const bool holding = current != nullptr && current->words == hold_state;
    if (state == list_state || (state == command_state && !holding))
        missing = "a button list and a command";
    if (state == hold_state || state == time_state || (state == command_state && holding))
        missing = "a button list, a time and a command";
    if (state == pattern_state)
        missing = "a name pattern";
    if (state == value_state || state == duration_state || state == lock_state)
        missing = "a value";
    if (missing == nullptr)
        return;
    fprintf(stderr, "line %d: %.*s needs %s\n", line_number, static_cast<int>(current->keyword.size()),
            current->keyword.data(), missing);
    exit(1);
}

void process_line(text_buffer *line, text_buffer *command, bool *daemon_mode, int line_number,
                  int *run_count, text_buffer *lock)
{
    line->pos = 0;
    bool comment_seen = false;
    line_state state = keyword_state;
    const directive *current = nullptr;
    int length = 0;
    for (const char *word = get_next_string(line, &length, &comment_seen); word != nullptr;
         word = get_next_string(line, &length, &comment_seen)) {
        switch (state) {
        case keyword_state:
            current = start_directive(std::string_view(word, length), line_number, command, daemon_mode,
                                      run_count);
            state = current->words;
            break;
        case list_state:
            check_list(std::string_view(word, length), line_number);
            add_value(command, word, length);
            state = command_state;
            break;
        case time_state:
            add_milliseconds(command, line_time(std::string_view(word, length), line_number));
            state = command_state;
            break;
        case hold_state:
            check_list(std::string_view(word, length), line_number);
            add_value(command, word, length);
            state = time_state;
            break;
        case value_state:
            if (current->keyword == "buttons")
                check_button_names(std::string_view(word, length), line_number);
            add_value(command, word, length);
            state = skip_state;
            break;
        case duration_state:
            add_milliseconds(command, line_time(std::string_view(word, length), line_number));
            state = skip_state;
            break;
        case command_state:
            copy_command(line, word, command);
            state = line_done;
            break;
        case pattern_state:
            copy_pattern(line, word, command);
            state = line_done;
            break;
        case lock_state:
        case more_lock_state:
            set_lock_path(lock, word, length);
            state = more_lock_state;
            break;
        case skip_state:
        case line_done:
            break;
        }
        if (state == line_done)
            return;
    }
    refuse_unfinished(state, current, line_number);
}

// The words of device and pad lines, which are what learning mode watches.
bool names_sources(std::string_view words)
{
    return words.starts_with("-j ") || words.starts_with("-n ");
}

// Reads one line of at most 4094 bytes; false at the end of the file.
bool read_line(FILE *file, text_buffer *line, int line_number)
{
    if (fgets(line->data, line->alloc - 1, file) == nullptr) {
        if (feof(file) != 0)
            return false;
        fail_system("tabrind");
    }
    line->len = static_cast<int>(strlen(line->data));
    // A read that stops at its size limit does not look ahead, so it leaves the
    // end-of-file indicator unset: only a last line without a newline that fits
    // sets it. A NUL byte cuts the text short and so reads as too long too,
    // even as the line's first byte.
    const bool ends_in_newline = line->len > 0 && line->data[line->len - 1] == '\n';
    if (!ends_in_newline && feof(file) == 0) {
        fprintf(stderr, "line %d too long\n", line_number);
        exit(1);
    }
    return true;
}

// alloc is 0 only for the constant default path.
void replace_lock_path(text_buffer *lock, const text_buffer &path)
{
    if (lock->alloc != 0)
        free(lock->data);
    *lock = path;
}

// "~/" at the start of the lock path is the home directory of the user who
// runs tabrind, as the password database has it: one line serves every user,
// and no environment can aim it elsewhere.
void expand_home(text_buffer *lock)
{
    if (lock->len < 2 || lock->data[0] != '~' || lock->data[1] != '/')
        return;
    // cppcheck-suppress getpwuidCalled ; the controller has a single thread
    const passwd *user = getpwuid(getuid());
    if (user == nullptr || user->pw_dir[0] == '\0')
        fail("No home directory for ~/ in the lock path\n");
    text_buffer expanded = {nullptr, 0, 0, 0};
    add_text(&expanded, user->pw_dir);
    // A home of "/" must not make the path begin with "//".
    if (expanded.data[expanded.len - 1] == '/')
        --expanded.len;
    add_string(&expanded, lock->data + 1, lock->len - 1);
    replace_lock_path(lock, expanded);
}

// The daemon started with -d works in "/": a relative lock path is made
// absolute against the controller's directory, so that both name one file.
void make_absolute(text_buffer *lock)
{
    if (lock->data[0] == '/')
        return;
    char *directory = getcwd(nullptr, 0);
    if (directory == nullptr)
        fail_system("tabrind");
    text_buffer absolute = {nullptr, 0, 0, 0};
    add_text(&absolute, directory);
    free(directory);
    if (absolute.data[absolute.len - 1] != '/')
        add_char(&absolute, '/');
    add_string(&absolute, lock->data, lock->len);
    replace_lock_path(lock, absolute);
}

// Learning mode's command line is -m and the sources alone: every line is
// checked as for the others, and the words of the rest dropped.
void process_file(const char *path, text_buffer *command, text_buffer *lock, bool *daemon_mode, bool learning)
{
    *command = {allocate(buffer_step), 0, 0, buffer_step};
    text_buffer line = {allocate(buffer_step), 0, 0, buffer_step};
    // The shell finds the daemon through the search path, and gives way to it:
    // a shell left waiting would show the daemon's commands to other processes.
    add_text(command, learning ? "exec tabrin -m " : "exec tabrin ");
    FILE *file = fopen(path, "r");
    // Learning needs no file: without one it looks for every pad.
    if (file == nullptr && errno == ENOENT && learning)
        return;
    if (file == nullptr)
        fail_system("tabrind");
    int run_count = 0;
    for (int line_number = 1; read_line(file, &line, line_number); ++line_number) {
        const int before = command->len;
        process_line(&line, command, daemon_mode, line_number, &run_count, lock);
        if (learning && !names_sources(std::string_view(command->data + before, command->len - before))) {
            command->len = before;
            command->data[before] = '\0';
        }
    }
    fclose(file);
    free(line.data);
    // Learning needs no commands, and takes no lock.
    if (learning)
        return;
    expand_home(lock);
    make_absolute(lock);
    // Without the daemon's -d there is no lock either: it runs in the foreground.
    if (*daemon_mode) {
        add_text(command, "-d -l ");
        add_quoted(command, lock->data, lock->len);
    }
    if (run_count == 0)
        fail("No 'run' line in tabrind configuration file; nothing to do, exiting.\n");
}

// The lock's directory may be writable by everyone: what another user put at
// the lock path is no lock of ours. For root it is no daemon at all, since
// root's daemon makes its lock root's own: another user may have put it
// there to keep the system's daemon from starting or to pass for it.
bool is_no_daemon_of_roots(const struct stat &st)
{
    return getuid() == 0 && st.st_uid != 0;
}

void check_lock_file(const struct stat &st)
{
    if (!S_ISREG(st.st_mode))
        fail("Lock file is not a regular file\n");
    if (st.st_uid != getuid())
        fail("Lock file is owned by another user\n");
}

// The lock file opened for a query, or -1 when it is not there or, for root,
// is another user's. A link on the way that another user owns, or any link
// or other file at the path, is refused, never followed, and the query never
// blocks on it.
int open_lock(const char *path)
{
    const char *name = nullptr;
    const int directory = open_lock_directory(path, &name);
    if (directory == planted_link)
        fail("Lock file is not a regular file\n");
    if (directory < 0)
        return -1;
    struct stat st {};
    if (fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || is_no_daemon_of_roots(st)) {
        close(directory);
        return -1;
    }
    check_lock_file(st);
    const int fd = openat(directory, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    // ELOOP: a link put there since fstatat.
    if (fd < 0 && errno == ELOOP)
        fail("Lock file is not a regular file\n");
    if (fd < 0)
        fail_system("tabrind: opening lock file");
    close(directory);
    if (fstat(fd, &st) != 0)
        fail_system("tabrind: opening lock file");
    // The file opened may have replaced the one looked at.
    if (is_no_daemon_of_roots(st)) {
        close(fd);
        return -1;
    }
    check_lock_file(st);
    return fd;
}

// The process holding the daemon's lock, or 0 when nobody does. The daemon
// holds a write lock: a read lock is some other process's, which opened the
// file while its mode let others read it, and no daemon.
pid_t getlock(const char *path)
{
    const int fd = open_lock(path);
    if (fd < 0)
        return 0;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    if (fcntl(fd, F_GETLK, &probe) != 0)
        fail_system("tabrind: getting lock");
    // This process holds no lock of its own on the file, so closing loses nothing.
    close(fd);
    if (probe.l_type != F_WRLCK)
        return 0;
    // An open-file-description lock reports -1, a holder in another PID
    // namespace 0: neither may ever reach kill().
    if (probe.l_pid <= 0)
        fail("Lock file held by an unknown process\n");
    return probe.l_pid;
}

int action_named(std::string_view word)
{
    for (size_t i = 0; i < action_words.size(); ++i)
        if (word == action_words[i])
            return static_cast<int>(i);
    return -1;
}

arguments read_arguments(int argc, char **argv)
{
    arguments given = {action_start, "/etc/tabrind.conf", nullptr};
    bool file_given = false;
    int action_count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        const int named = action_named(word);
        if (named >= 0) {
            given.requested = static_cast<action>(named);
            ++action_count;
        } else if (word == "-f") {
            if (file_given)
                fail("-f option supplied more than once, exiting\n");
            if (i + 1 == argc)
                fail("-f option requires a file name, exiting\n");
            file_given = true;
            given.config_path = argv[++i];
        } else if (word == "-p") {
            if (given.pid_path != nullptr)
                fail("-p option supplied more than once, exiting\n");
            if (i + 1 == argc)
                fail("-p option requires a file name, exiting\n");
            given.pid_path = argv[++i];
        } else {
            fail(usage);
        }
        if (action_count > 1)
            fail("More than one action option defined, exiting\n");
    }
    return given;
}

void report_status(pid_t pid)
{
    if (pid == 0)
        printf("tabrin not running\n");
    else
        printf("tabrin running, pid=%d\n", pid);
}

// SIGINT is lost while the daemon runs a bound command, so stop returns only
// once the lock is free, or fails.
void stop_daemon(pid_t pid, const text_buffer *lock)
{
    if (pid == 0)
        fail("No tabrin started by tabrind running\n");
    if (kill(pid, SIGINT) != 0)
        fail_system("tabrind: tabrin kill");
    for (int waited_ms = 0; getlock(lock->data) != 0; waited_ms += stop_test_ms) {
        if (waited_ms >= stop_deadline_ms) {
            fprintf(stderr, "tabrin did not stop, pid=%d\n", pid);
            exit(1);
        }
        usleep(stop_test_ms * 1000);
    }
}

// Whether the daemon, through the shell that started it, ended as it should:
// a detached daemon's parent exits once start-up is over, with 1 if it failed
// (having said why); without -d the daemon runs until SIGINT ends it, and the
// shell, when it outlived the daemon, tells that by the status 128 + SIGINT.
bool ended_well(int status, bool daemon_mode)
{
    if (daemon_mode)
        return status == 0;
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGINT;
    return WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 128 + SIGINT;
}

// The shell is given the whole command line as the one word after -c, and
// the kernel passes no argument longer than 32 pages (MAX_ARG_STRLEN, 128 KiB
// with pages of 4 KiB), its NUL included: a longer one would fail the shell's
// exec with E2BIG, which the shell cannot report, being never run. Only the
// actions that start the daemon are refused, before anything is stopped.
void check_command_fits(const arguments &given, const text_buffer *command)
{
    if (given.requested != action_start && given.requested != action_restart && given.requested != action_learn)
        return;
    const long word_limit = 32 * sysconf(_SC_PAGESIZE);
    if (command->len + 1 > word_limit)
        fail("Commands too long to pass to the shell in one argument\n");
}

void start_daemon(const text_buffer *command, bool daemon_mode)
{
    // NOLINTNEXTLINE(cert-env33-c): the daemon is started through the shell, which finds it on the path
    const int status = system(command->data);
    if (status == -1)
        fail_system("tabrind: starting tabrin");
    if (!ended_well(status, daemon_mode))
        exit(1);
}

// The file in which start and restart tell a service manager the daemon's
// process id, opened before the daemon starts, so that a path that cannot be
// written fails with nothing started; -1 for the other actions and without
// -p. A daemon in the foreground has no process id to tell until it ends.
int open_pid_file(const arguments &given, bool daemon_mode)
{
    if (given.pid_path == nullptr || (given.requested != action_start && given.requested != action_restart))
        return -1;
    if (!daemon_mode)
        fail("-p cannot be used with nodaemon, exiting\n");
    // Emptied only once there is a process id to write: a start refused
    // because a daemon runs leaves that daemon's id as it is.
    const int fd = open(given.pid_path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        fail_system("tabrind: opening pid file");
    return fd;
}

// The daemon has finished its start-up, so its lock names it.
void tell_pid(int pid_file, const text_buffer *lock)
{
    if (pid_file < 0)
        return;
    const pid_t pid = getlock(lock->data);
    if (pid == 0)
        fail("tabrin ended right after its start-up\n");
    if (ftruncate(pid_file, 0) != 0 || dprintf(pid_file, "%d\n", pid) < 0 || close(pid_file) != 0)
        fail_system("tabrind: writing pid file");
}

// Learning mode runs in the foreground until the user ends it with Ctrl-C:
// that end, the daemon's own SIGINT or the shell's report of it (128 + 2),
// is success as much as status 0 is.
void learn_pads(const text_buffer *command)
{
    // NOLINTNEXTLINE(cert-env33-c): the daemon is started through the shell, which finds it on the path
    const int status = system(command->data);
    if (status == -1)
        fail_system("tabrind: starting tabrin");
    const bool interrupted = (WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) ||
                             (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGINT);
    if (!interrupted && status != 0)
        exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    const arguments given = read_arguments(argc, argv);
    char default_lock[] = "/var/lock/tabrin";
    text_buffer lock = {default_lock, 0, static_cast<int>(strlen(default_lock)), 0};
    text_buffer command = {nullptr, 0, 0, 0};
    bool daemon_mode = true;
    process_file(given.config_path, &command, &lock, &daemon_mode, given.requested == action_learn);
    check_command_fits(given, &command);
    const int pid_file = open_pid_file(given, daemon_mode);
    const pid_t pid = given.requested == action_learn ? 0 : getlock(lock.data);
    switch (given.requested) {
    case action_status:
        report_status(pid);
        break;
    case action_stop:
        stop_daemon(pid, &lock);
        break;
    case action_restart:
        stop_daemon(pid, &lock);
        start_daemon(&command, daemon_mode);
        tell_pid(pid_file, &lock);
        break;
    case action_start:
        // NOLINTNEXTLINE(clang-analyzer-unix.Malloc): the lock path lives until the exit, by design
        if (pid != 0)
            fail("tabrin already running\n");
        start_daemon(&command, daemon_mode);
        tell_pid(pid_file, &lock);
        break;
    case action_learn:
        learn_pads(&command);
        break;
    }
    return 0;
}
