// Running the built programs as a user would, and watching what they do.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

struct run_result {
    int status = -1; // the exit status, or 128 + the signal that ended the program
    std::string out;
    std::string err;
};

struct run_options {
    std::string cwd;                  // empty: the test's own
    std::vector<std::string> env;     // NAME=value words added to the environment
    bool as_nobody = false;           // through setpriv, as user nobody with no groups
    std::string groups;               // with as_nobody: these supplementary groups instead (setpriv --groups)
};

inline run_options as_nobody()
{
    run_options options;
    options.as_nobody = true;
    return options;
}

// Runs a program to its end (10 s at most) with standard input on /dev/null.
run_result run(const std::vector<std::string> &args, const run_options &options = {});

// Starts a program in the background, its output going to out_file (or /dev/null).
pid_t spawn(const std::vector<std::string> &args, const std::string &out_file = "",
            const run_options &options = {});

// Ends a process the test started, by its id, even when the test failed.
struct process_guard {
    pid_t pid = 0;
    process_guard() = default;
    explicit process_guard(pid_t id) : pid(id) {}
    process_guard(const process_guard &) = delete;
    process_guard &operator=(const process_guard &) = delete;
    ~process_guard();
};

// Polls (every 2 ms at the most) until the condition holds, for up to 5 s.
bool wait_for(const std::function<bool()> &condition, int deadline_ms = 5000);

// The exit status of a child, waiting up to the deadline; -1 if it did not end.
int wait_exit(pid_t child, int deadline_ms = 5000);

bool process_alive(pid_t pid);

// The process holding a write lock on the whole file, 0 when none, -1 when the
// holder cannot be named (an open-file-description lock).
pid_t lock_holder(const std::string &path);

// A whole-file write lock taken by the test itself, released when it goes:
// F_SETLK (held by the test's process) or F_OFD_SETLK (held by the open file,
// whose holder a query cannot name).
struct file_lock {
    int fd = -1;
    file_lock(const std::string &path, int command);
    file_lock(const file_lock &) = delete;
    file_lock &operator=(const file_lock &) = delete;
    ~file_lock();
    bool held() const { return fd >= 0; }
};

// The live processes (zombies left out) with this word among their arguments.
std::vector<pid_t> processes_with_argument(const std::string &word);

// Read system calls the process has made so far: each read of a port image is one.
long read_calls(pid_t pid);

// Waits until the daemon runs no command and has then read its port image
// `count` more times, so that it has seen the buttons as they are now. (A
// finished command's reads are added to the daemon's count when it is reaped,
// so counting starts only once it has been.)
bool wait_reads(pid_t pid, long count);

// Whether the process has `path` open, even when the file has since gone.
bool holds_open(pid_t pid, const std::string &path);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);
int count_lines(const std::string &path);

// A port image: buttons 1 to 4 in bits 4 to 7, 0 while held.
void set_buttons(const std::string &image, unsigned char status);

// A fresh directory that every user may enter, removed with what it holds.
struct temp_dir {
    std::string path;
    temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    ~temp_dir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

bool running_as_root();

// A copy of PROGRAM in DIRECTORY that every user may run, since the build
// tree may be closed to others; its path.
std::string program_copy(const std::string &directory, const std::string &program);
