#include "support.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> full_command(const std::vector<std::string> &args, const run_options &options)
{
    std::vector<std::string> words;
    if (options.as_nobody)
        words = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                 options.groups.empty() ? "--clear-groups" : "--groups=" + options.groups, "--"};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

// The test's environment with the options' NAME=value words put in.
std::vector<std::string> environment(const run_options &options)
{
    std::vector<std::string> settings;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string setting = *entry;
        const auto named = [&](const std::string &word) {
            return word.compare(0, word.find('=') + 1, setting, 0, setting.find('=') + 1) == 0;
        };
        if (std::none_of(options.env.begin(), options.env.end(), named))
            settings.push_back(setting);
    }
    settings.insert(settings.end(), options.env.begin(), options.env.end());
    return settings;
}

std::vector<char *> pointers(const std::vector<std::string> &words)
{
    std::vector<char *> list(words.size() + 1, nullptr);
    std::transform(words.begin(), words.end(), list.begin(),
                   [](const std::string &word) { return const_cast<char *>(word.c_str()); });
    return list;
}

// Starts the program with the descriptors `actions` sets up; -1 when it
// cannot be started. posix_spawn rather than fork: copying the page tables
// of a sanitized test process costs more than a controller's whole run.
pid_t start_command(const std::vector<std::string> &words, const run_options &options,
                    posix_spawn_file_actions_t *actions)
{
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(actions, options.cwd.c_str());
    // Whatever the test runner ignores or blocks, the program starts from defaults.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const auto settings = environment(options);
    pid_t child = -1;
    if (posix_spawnp(&child, words[0].c_str(), actions, &attributes, pointers(words).data(),
                     pointers(settings).data()) != 0)
        child = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(actions);
    return child;
}

int decode_status(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

void drain(int fd, std::string *into, bool *open)
{
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0)
        into->append(buffer, static_cast<size_t>(got));
    else if (got == 0 || errno != EINTR)
        *open = false;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

} // namespace

run_result run(const std::vector<std::string> &args, const run_options &options)
{
    const auto words = full_command(args, options);
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const pid_t child = start_command(words, options, &actions);
    close(out[1]);
    close(err[1]);
    run_result result;
    if (child < 0) {
        close(out[0]);
        close(err[0]);
        result.status = 127;
        return result;
    }
    bool out_open = true;
    bool err_open = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((out_open || err_open) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        if (poll(fds, 2, 100) <= 0)
            continue;
        if (out_open && fds[0].revents != 0)
            drain(out[0], &result.out, &out_open);
        if (err_open && fds[1].revents != 0)
            drain(err[0], &result.err, &err_open);
    }
    close(out[0]);
    close(err[0]);
    result.status = wait_exit(child, 10000);
    if (result.status < 0 && child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return result;
}

pid_t spawn(const std::vector<std::string> &args, const std::string &out_file, const run_options &options)
{
    const auto words = full_command(args, options);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.empty() ? "/dev/null" : out_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    return start_command(words, options, &actions);
}

process_guard::~process_guard()
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0); // reaps it when it is the test's own child
    wait_for([this] { return !process_alive(pid); }, 2000);
}

bool wait_for(const std::function<bool()> &condition, int deadline_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    // Short pauses first: most effects come within a millisecond or two.
    auto pause = std::chrono::microseconds(50);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    return true;
}

int wait_exit(pid_t child, int deadline_ms)
{
    int status = 0;
    pid_t done = 0;
    wait_for([&] { return (done = waitpid(child, &status, WNOHANG)) != 0; }, deadline_ms);
    return done == child ? decode_status(status) : -1;
}

bool process_alive(pid_t pid)
{
    if (pid <= 0)
        return false;
    // A zombie has ended already, even though its id still answers to kill(0).
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    const auto close_paren = line.rfind(')');
    return close_paren != std::string::npos && line.size() > close_paren + 2 && line[close_paren + 2] != 'Z';
}

pid_t lock_holder(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const int got = fcntl(fd, F_GETLK, &probe);
    close(fd);
    if (got != 0 || probe.l_type == F_UNLCK)
        return 0;
    return probe.l_pid > 0 ? probe.l_pid : -1;
}

file_lock::file_lock(const std::string &path, int command)
{
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fd >= 0 && fcntl(fd, command, &lock) != 0) {
        close(fd);
        fd = -1;
    }
}

file_lock::~file_lock()
{
    if (fd >= 0)
        close(fd);
}

std::vector<pid_t> processes_with_argument(const std::string &word)
{
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (const dirent *entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(strtol(entry->d_name, nullptr, 10));
        if (pid <= 0)
            continue;
        // The arguments, each ended by a NUL.
        std::string args(1, '\0');
        args += read_file("/proc/" + std::to_string(pid) + "/cmdline");
        std::string wanted(1, '\0');
        wanted += word;
        wanted += '\0';
        if (args.find(wanted) != std::string::npos && process_alive(pid))
            found.push_back(pid);
    }
    closedir(proc);
    return found;
}

long read_calls(pid_t pid)
{
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string name;
    long value = 0;
    while (io >> name >> value)
        if (name == "syscr:")
            return value;
    return -1;
}

bool wait_reads(pid_t pid, long count)
{
    const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    if (!wait_for([&] { return read_file(children).empty(); }))
        return false;
    const long start = read_calls(pid);
    return start >= 0 && wait_for([&] { return read_calls(pid) >= start + count; });
}

bool holds_open(pid_t pid, const std::string &path)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr)
        return false;
    bool held = false;
    while (const dirent *entry = readdir(dir)) {
        char target[PATH_MAX];
        const ssize_t length = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target);
        const std::string link = length < 0 ? "" : std::string(target, static_cast<size_t>(length));
        held = held || link == path || link == path + " (deleted)";
    }
    closedir(dir);
    return held;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool file_exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

int count_lines(const std::string &path)
{
    const std::string text = read_file(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

void set_buttons(const std::string &image, unsigned char status)
{
    // Rewritten in place, so that the daemon's open descriptor sees the change.
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0) {
        if (pwrite(fd, &status, 1, 0) != 1)
            perror("set_buttons");
        close(fd);
    }
}

temp_dir::temp_dir()
{
    char name[] = "/tmp/tabrin-test-XXXXXX";
    path = mkdtemp(name);
    chmod(path.c_str(), 0755);
}

temp_dir::~temp_dir()
{
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

bool running_as_root()
{
    return geteuid() == 0;
}

std::string program_copy(const std::string &directory, const std::string &program)
{
    std::string copy = directory + program.substr(program.rfind('/'));
    write_file(copy, read_file(program));
    chmod(copy.c_str(), 0755);
    return copy;
}
