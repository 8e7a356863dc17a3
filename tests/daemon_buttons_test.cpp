// Presses through a port image file: what runs, when, and how often.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr unsigned char all_up = 0xFF;
constexpr unsigned char button1 = 0xEF;
constexpr unsigned char buttons12 = 0xCF;
constexpr unsigned char buttons13 = 0xAF;
constexpr unsigned char buttons14 = 0x6F;
constexpr unsigned char button3 = 0xBF;

// Enough port reads for the daemon to have acted on what it sees, many times over.
constexpr long settled = 30;

// Starts the daemon on dir's port image with short times; returns once it
// holds its lock, that is once start-up is done.
pid_t start_watching(const temp_dir &dir, const std::vector<std::string> &options)
{
    set_buttons(dir / "port", all_up);
    std::vector<std::string> command = {TABRIN, "-j", dir / "port", "-p", "1", "-w", "1", "-l", dir / "lock"};
    command.insert(command.end(), options.begin(), options.end());
    const pid_t pid = spawn(command);
    wait_for([&] { return lock_holder(dir / "lock") == pid; });
    return pid;
}

std::string append(const temp_dir &dir, const std::string &text)
{
    return "echo " + text + " >> " + dir / "out";
}

TEST(DaemonButtons, HeldSetRunsItsCommandOncePerPress)
{
    temp_dir dir;
    process_guard daemon(start_watching(dir, {"-r", "12", append(dir, "12"), "-r", "1", append(dir, "1")}));
    ASSERT_EQ(lock_holder(dir / "lock"), daemon.pid);

    set_buttons(dir / "port", buttons12);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "12\n");

    set_buttons(dir / "port", all_up);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "12\n1\n");
}

TEST(DaemonButtons, SettleReadDecidesWhichCommandRuns)
{
    temp_dir dir;
    process_guard daemon(
        start_watching(dir, {"-w", "400", "-r", "1", append(dir, "1"), "-r", "12", append(dir, "12")}));
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_reads(daemon.pid, 1));
    // The daemon now sleeps out its settle time; the second button joins in it.
    set_buttons(dir / "port", buttons12);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    EXPECT_EQ(read_file(dir / "out"), "12\n");
}

TEST(DaemonButtons, IgnoredButtonsAreMaskedButKeepTheReleaseWait)
{
    temp_dir dir;
    process_guard daemon(start_watching(dir, {"-i", "34", "-r", "1", append(dir, "1"), "-r", "13", append(dir, "13")}));

    // Button 3 is ignored: buttons 1 and 3 held make the set of button 1 alone.
    set_buttons(dir / "port", buttons13);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    EXPECT_EQ(read_file(dir / "out"), "1\n");

    // Ignored button 3 still down: the press of button 1 again is the same press.
    set_buttons(dir / "port", button3);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    set_buttons(dir / "port", buttons13);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "1\n");

    set_buttons(dir / "port", all_up);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    set_buttons(dir / "port", buttons14);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
    EXPECT_EQ(read_file(dir / "out"), "1\n1\n");
}

TEST(DaemonButtons, UnboundSetHeldRunsNothingUntilItBecomesBound)
{
    temp_dir dir;
    process_guard daemon(start_watching(dir, {"-r", "12", append(dir, "12")}));
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_FALSE(file_exists(dir / "out"));
    set_buttons(dir / "port", buttons12);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    // Back to the first button alone: still the same press until all are up.
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    set_buttons(dir / "port", buttons12);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "12\n");
}

TEST(DaemonButtons, EveryButtonIgnoredNeverRuns)
{
    temp_dir dir;
    process_guard daemon(start_watching(dir, {"-i", "1234", "-r", "1", append(dir, "1")}));
    set_buttons(dir / "port", 0x0F);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_FALSE(file_exists(dir / "out"));
    EXPECT_TRUE(process_alive(daemon.pid));
}

TEST(DaemonButtons, VerboseTellsHeldButtonsRunsAndEndsWhileQuietTellsNothing)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    std::vector<std::string> quiet = {TABRIN, "-j", dir / "port", "-p", "1", "-w", "1", "-i", "4",
                                      "-r", "1", "exit 3", "-r", "12", "kill -TERM $$", "-l", dir / "quiet.lock"};
    std::vector<std::string> verbose = quiet;
    verbose.back() = dir / "verbose.lock";
    verbose.emplace_back("-v");
    process_guard silent(spawn(quiet, dir / "quiet.out"));
    process_guard told(spawn(verbose, dir / "verbose.out"));
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "quiet.lock") == silent.pid; }));
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "verbose.lock") == told.pid; }));

    // Each step waits for its line; ignored button 4 is told as held too.
    const std::vector<std::pair<unsigned char, int>> steps = {
        {button1, 3}, {buttons14, 4}, {all_up, 5}, {buttons12, 8}, {all_up, 9}};
    for (const auto &step : steps) {
        set_buttons(dir / "port", step.first);
        ASSERT_TRUE(wait_for([&] { return count_lines(dir / "verbose.out") == step.second; }))
            << read_file(dir / "verbose.out");
    }
    ASSERT_TRUE(wait_reads(told.pid, settled));
    EXPECT_EQ(read_file(dir / "verbose.out"), "held: 1\n"
                                               "run 1: exit 3\n"
                                               "ended 1: status 3\n"
                                               "held: 1 4\n"
                                               "held: none\n"
                                               "held: 1 2\n"
                                               "run 12: kill -TERM $$\n"
                                               "ended 12: signal 15\n"
                                               "held: none\n");
    ASSERT_TRUE(wait_reads(silent.pid, settled));
    EXPECT_EQ(read_file(dir / "quiet.out"), "");
}

// The machine's log socket, made by the test where there is none (or only a
// dead one), so that what a daemon logs can be read; removed with the test.
struct log_socket {
    int fd = -1;
    std::string missing; // why the test cannot read the log
    log_socket();
    log_socket(const log_socket &) = delete;
    log_socket &operator=(const log_socket &) = delete;
    ~log_socket();
};

log_socket::log_socket()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    const auto *name = reinterpret_cast<const sockaddr *>(&address);
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool dead = connect(probe, name, sizeof address) != 0 && errno == ECONNREFUSED;
    close(probe);
    if (!running_as_root())
        missing = "needs root to make /dev/log";
    else if (file_exists("/dev/log") && !(dead && unlink("/dev/log") == 0))
        missing = "/dev/log belongs to this machine's system logger";
    else if ((fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) < 0 || bind(fd, name, sizeof address) != 0)
        missing = std::string("cannot make /dev/log: ") + strerror(errno);
}

log_socket::~log_socket()
{
    if (missing.empty())
        unlink("/dev/log");
    if (fd >= 0)
        close(fd);
}

// The messages logged by `pid`, as "<priority>text", until `count` are in.
std::vector<std::string> logged(const log_socket *log, pid_t pid, size_t count)
{
    const std::string ident = "tabrin[" + std::to_string(pid) + "]: ";
    std::vector<std::string> found;
    wait_for([&] {
        std::array<char, 2048> buffer{};
        for (ssize_t got; (got = recv(log->fd, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;) {
            const std::string message(buffer.data(), static_cast<size_t>(got));
            const auto at = message.find(ident);
            if (at != std::string::npos)
                found.push_back(message.substr(0, message.find('>') + 1) + message.substr(at + ident.size()));
        }
        return found.size() >= count;
    });
    return found;
}

TEST(DaemonButtons, VerboseDaemonLogsRunsAndEndsButNoHeldButtons)
{
    const log_socket log;
    if (!log.missing.empty())
        GTEST_SKIP() << log.missing;
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const auto started = run({TABRIN, "-d", "-v", "-j", dir / "port", "-p", "1", "-w", "1", "-l", dir / "lock",
                              "-r", "1", "exit 2"});
    process_guard daemon(lock_holder(dir / "lock"));
    ASSERT_EQ(started.status, 0) << started.err;
    ASSERT_GT(daemon.pid, 0);
    set_buttons(dir / "port", button1);
    // LOG_DAEMON with LOG_INFO: priority 3 * 8 + 6.
    EXPECT_EQ(logged(&log, daemon.pid, 2), (std::vector<std::string>{"<30>run 1: exit 2", "<30>ended 1: status 2"}));
    set_buttons(dir / "port", all_up);
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_EQ(logged(&log, daemon.pid, 0), std::vector<std::string>{});
}

} // namespace
