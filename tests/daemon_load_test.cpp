// The daemon under load and faults: crowds on one lock, long runs of presses, SIGKILL.
#include "support.h"

#include <gtest/gtest.h>

#include <csignal>

#include <sys/stat.h>

namespace {

constexpr unsigned char all_up = 0xFF;
constexpr unsigned char button1 = 0xEF;

TEST(DaemonLoad, TwentyDaemonsStartedAtOnceLeaveExactlyOne)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    constexpr int crowd = 20;
    std::vector<pid_t> starters;
    starters.reserve(crowd);
    for (int i = 0; i < crowd; ++i)
        starters.push_back(spawn({TABRIN, "-d", "-j", dir / "port", "-l", dir / "lock", "-r", "1", "x"},
                                 dir / ("err" + std::to_string(i))));
    int started = 0;
    int refused = 0;
    for (int i = 0; i < crowd; ++i) {
        const int status = wait_exit(starters[i]);
        const std::string err = read_file(dir / ("err" + std::to_string(i)));
        if (status == 0 && err.empty())
            ++started;
        else if (status == 1 && err == "Lockfile already locked\n")
            ++refused;
        else
            ADD_FAILURE() << "status " << status << ", stderr [" << err << "]";
    }
    process_guard daemon(lock_holder(dir / "lock"));
    EXPECT_EQ(started, 1);
    EXPECT_EQ(refused, crowd - 1);
    EXPECT_GT(daemon.pid, 0);
}

TEST(DaemonLoad, ThousandPressesRunTheCommandAThousandTimes)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const pid_t pid = spawn({TABRIN, "-j", dir / "port", "-p", "1", "-w", "1", "-l", dir / "lock", "-r", "1",
                             "echo >> " + dir / "count"});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    for (int press = 1; press <= 1000; ++press) {
        set_buttons(dir / "port", button1);
        ASSERT_TRUE(wait_for([&] { return count_lines(dir / "count") >= press; })) << "press " << press;
        set_buttons(dir / "port", all_up);
        // Seen up twice: the release wait is over, and the release ran nothing.
        ASSERT_TRUE(wait_reads(pid, 2)) << "press " << press;
        ASSERT_EQ(count_lines(dir / "count"), press);
    }
}

TEST(DaemonLoad, SigkillFreesTheLockAtOnceAndLeavesTheFile)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const std::vector<std::string> command = {TABRIN, "-j", dir / "port", "-l", dir / "lock", "-r", "1", "x"};
    const pid_t first = spawn(command);
    process_guard daemon(first);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == first; }));
    ASSERT_EQ(kill(first, SIGKILL), 0);
    EXPECT_EQ(wait_exit(first), 128 + SIGKILL);
    EXPECT_EQ(lock_holder(dir / "lock"), 0);
    struct stat st {};
    ASSERT_EQ(stat((dir / "lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    const pid_t second = spawn(command);
    process_guard again(second);
    EXPECT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == second; }));
}

} // namespace
