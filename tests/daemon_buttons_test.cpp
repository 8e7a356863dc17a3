// Presses through a port image file: what runs, when, and how often.
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>

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
        start_watching(dir, {"-w", "1500", "-r", "1", append(dir, "1"), "-r", "12", append(dir, "12")}));
    set_buttons(dir / "port", button1);
    // Read every millisecond, the press is noticed long before 300 ms have
    // passed, and 1.2 s of the settle time are still to come. (Counting reads
    // would race: the read that notices may come before counting starts, and
    // the next one is the read that decides.)
    const auto pressed = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for([&] { return std::chrono::steady_clock::now() - pressed >= std::chrono::milliseconds(300); }));
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

// A report is one line that no terminal takes for a control sequence: each
// C0 and C1 control shows as '?', a C1 control written in UTF-8 too, while
// other UTF-8 (even with a byte of the C1 range inside) stays as it is.
TEST(DaemonButtons, VerboseShowsEveryControlCharacterAsAQuestionMark)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    // After the '#' the shell reads nothing: tab, ESC, DEL, a raw CSI byte, CSI
    // and two more C1 controls in UTF-8, no-break space, e acute, e caron, an
    // overlong form and a lone lead byte: bytes that are not UTF-8 are '?' too.
    const std::string command = "true #\t\x1b[2J\x7f\x9b\xc2\x9b\xc2\x80\xc2\x9f\xc2\xa0\xc3\xa9\xc4\x9b\xe0\x82\x9b\xc2";
    process_guard daemon(spawn({TABRIN, "-j", dir / "port", "-p", "1", "-w", "1", "-v", "-r", "1", command, "-l",
                                dir / "lock"},
                               dir / "out"));
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == daemon.pid; }));
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 3; })) << read_file(dir / "out");
    EXPECT_EQ(read_file(dir / "out"), "held: 1\n"
                                      "run 1: true #??[2J?????\xc2\xa0\xc3\xa9\xc4\x9b????\n"
                                      "ended 1: status 0\n");
}

} // namespace

namespace {

// A port image has no layout: a standard name never reads held there, even
// with -b naming the key that the name is on a pad.
TEST(DaemonButtons, StandardNamesNeverReadHeldOnAPortImage)
{
    temp_dir dir;
    process_guard daemon(start_watching(dir, {"-b", "BTN_SOUTH", "-r", "a", append(dir, "a"), "-r", "BTN_SOUTH",
                                              append(dir, "south")}));
    ASSERT_EQ(lock_holder(dir / "lock"), daemon.pid);
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    ASSERT_TRUE(wait_reads(daemon.pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "south\n");
}

} // namespace
