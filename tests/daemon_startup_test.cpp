// Start-up: held buttons, detaching, descriptors, signals, the lock, privileges.
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned char all_up = 0xFF;
constexpr unsigned char button1 = 0xEF;
constexpr unsigned char buttons12 = 0xCF;

std::vector<std::string> daemon_command(const temp_dir &dir, const std::vector<std::string> &options)
{
    std::vector<std::string> command = {TABRIN, "-j", dir / "port", "-p", "1", "-w", "1", "-l", dir / "lock"};
    command.insert(command.end(), options.begin(), options.end());
    return command;
}

// The words for a shell command line, each quoted (none holds a quote).
std::string shell_words(const std::vector<std::string> &words)
{
    std::string command;
    for (const auto &word : words)
        command += "'" + word + "' ";
    return command;
}

std::string link_target(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    return length < 0 ? "" : std::string(target, static_cast<size_t>(length));
}

std::string proc_field(pid_t pid, const std::string &name)
{
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("\n" + name + ":\t");
    if (at == std::string::npos)
        return "";
    const auto start = at + name.size() + 3;
    std::string value = status.substr(start, status.find('\n', start) - start);
    while (!value.empty() && value.back() == ' ')
        value.pop_back();
    return value;
}

TEST(DaemonStartup, RefusedWhileABoundSetIsHeld)
{
    temp_dir dir;
    set_buttons(dir / "port", buttons12);
    for (const auto &detach : {std::vector<std::string>{}, std::vector<std::string>{"-d"}}) {
        auto options = detach;
        options.insert(options.end(), {"-r", "12", "x"});
        const auto result = run(daemon_command(dir, options));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Joystick buttons that trigger action already pressed\n");
        EXPECT_EQ(lock_holder(dir / "lock"), 0);
    }
}

TEST(DaemonStartup, HeldButtonsWithoutBindingAreNoError)
{
    temp_dir dir;
    set_buttons(dir / "port", button1);
    const auto result = run(daemon_command(dir, {"-d", "-r", "12", "x"}));
    process_guard daemon(lock_holder(dir / "lock"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_GT(daemon.pid, 0);
}

TEST(DaemonStartup, DetachedDaemonIsReadyWhenItsParentReturns)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const std::string command = "ls /proc/self/fd > " + dir / "fds; pwd > " + dir / "cwd";
    // The run reads the daemon's output through pipes: it returns only if the
    // parent exits and the daemon lets go of them.
    const auto result = run(daemon_command(dir, {"-d", "-r", "1", command}));
    process_guard daemon(lock_holder(dir / "lock"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_GT(daemon.pid, 0);
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ(link_target("/proc/" + std::to_string(daemon.pid) + "/fd/" + std::to_string(fd)), "/dev/null");
    EXPECT_EQ(link_target("/proc/" + std::to_string(daemon.pid) + "/cwd"), "/");
    EXPECT_EQ(getsid(daemon.pid), daemon.pid);

    // Bound commands get the standard descriptors and nothing more: not the lock's.
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "cwd") == 1; }));
    EXPECT_EQ(read_file(dir / "fds"), "0\n1\n2\n3\n"); // 3 is ls's own listing
    EXPECT_EQ(read_file(dir / "cwd"), "/\n");
}

TEST(DaemonStartup, StrayAndClosedDescriptorsOfTheStarterAreSettled)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const std::string command = shell_words(daemon_command(dir, {"-r", "1", "x"}));
    // Started with its standard descriptors closed and a stray one open.
    const pid_t pid = spawn({"sh", "-c", "exec 7>" + dir / "stray" + "; exec " + command + "<&- >&- 2>&-"});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ(link_target(fds + std::to_string(fd)), "/dev/null");
    EXPECT_EQ(link_target(fds + "3"), dir / "port");
    EXPECT_EQ(link_target(fds + "4"), "anon_inode:inotify"); // follows the port image's directory
    EXPECT_EQ(link_target(fds + "5"), "anon_inode:[eventpoll]");
    EXPECT_EQ(link_target(fds + "6"), ""); // the lock's directory, on the way to the lock
    EXPECT_EQ(link_target(fds + "7"), dir / "lock");
    EXPECT_EQ(link_target(fds + "8"), "");
}

TEST(DaemonStartup, SigintEndsDaemonEvenWhenItsStarterIgnoredIt)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const std::string command = shell_words(daemon_command(dir, {"-r", "1", "x"}));
    const pid_t pid = spawn({"sh", "-c", "trap '' INT; exec " + command});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_EQ(wait_exit(pid), 128 + SIGINT);
}

// An older daemon made its lock 0644, less the umask: the daemon makes it the
// user's alone before locking it, so that no one else can open it.
TEST(DaemonStartup, LockFileLeftReadableIsMadeTheUsersAlone)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    write_file(dir / "lock", "");
    ASSERT_EQ(chmod((dir / "lock").c_str(), 0644), 0);
    const pid_t pid = spawn(daemon_command(dir, {"-r", "1", "x"}));
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    struct stat st {};
    ASSERT_EQ(stat((dir / "lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600);
}

TEST(DaemonStartup, LockIsExclusiveEmptyAndOutlivesTheDaemon)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const pid_t pid = spawn(daemon_command(dir, {"-r", "1", "x"}));
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    struct stat st {};
    ASSERT_EQ(stat((dir / "lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600);
    EXPECT_EQ(st.st_size, 0);

    for (const auto &detach : {std::vector<std::string>{}, std::vector<std::string>{"-d"}}) {
        auto options = detach;
        options.insert(options.end(), {"-r", "1", "x"});
        const auto second = run(daemon_command(dir, options));
        EXPECT_EQ(second.status, 1);
        EXPECT_EQ(second.err, "Lockfile already locked\n");
    }
    EXPECT_EQ(lock_holder(dir / "lock"), pid);

    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_EQ(wait_exit(pid), 128 + SIGINT);
    EXPECT_EQ(lock_holder(dir / "lock"), 0);
    ASSERT_EQ(stat((dir / "lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(DaemonStartup, LockPathThatCannotBeOpenedIsRefused)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    for (const std::string &lock : {dir / "link", dir / "missing/lock"}) {
        for (const auto &detach : {std::vector<std::string>{}, std::vector<std::string>{"-d"}}) {
            auto options = detach;
            options.insert(options.end(), {"-r", "1", "x", "-l", lock});
            const auto result = run(daemon_command(dir, options));
            EXPECT_EQ(result.status, 1) << lock;
            EXPECT_EQ(result.err, "Couldn't open lockfile\n") << lock;
        }
    }
    EXPECT_FALSE(file_exists(dir / "target"));
}

class DaemonAsUser : public testing::Test {
protected:
    void SetUp() override
    {
        if (!running_as_root())
            GTEST_SKIP() << "needs root to install a set-user-ID copy and act as nobody";
        // A set-user-ID and set-group-ID root copy: a wrong drop order would keep root's group.
        write_file(dir / "tabrin", read_file(TABRIN));
        ASSERT_EQ(chmod((dir / "tabrin").c_str(), 06755), 0);
        ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
        set_buttons(dir / "port", all_up);
    }
    temp_dir dir;
};

TEST_F(DaemonAsUser, SetuidDaemonKeepsNoneOfRootsRights)
{
    const auto result = run({dir / "tabrin", "-d", "-j", dir / "port", "-p", "1", "-l", dir / "lock", "-r", "1", "x"},
                            as_nobody());
    process_guard daemon(lock_holder(dir / "lock"));
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_GT(daemon.pid, 0);
    EXPECT_EQ(proc_field(daemon.pid, "Uid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(proc_field(daemon.pid, "Gid"), "65534\t65534\t65534\t65534");
    EXPECT_EQ(proc_field(daemon.pid, "Groups"), "");
    EXPECT_EQ(proc_field(daemon.pid, "CapPrm"), "0000000000000000");
    EXPECT_EQ(proc_field(daemon.pid, "CapEff"), "0000000000000000");
}

TEST_F(DaemonAsUser, SetuidDaemonCannotReadWhatItsUserCannot)
{
    set_buttons(dir / "secret", all_up);
    ASSERT_EQ(chmod((dir / "secret").c_str(), 0600), 0);
    const auto result = run({dir / "tabrin", "-j", dir / "secret", "-r", "1", "x"}, as_nobody());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Could not open joystick device " + dir / "secret" + ": Permission denied\n");
}

} // namespace
