// Port images as writers really update them, several sources at once, and a
// source that is not there yet.
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <unistd.h>

namespace {

constexpr unsigned char all_up = 0xFF;
constexpr unsigned char button1 = 0xEF;
constexpr unsigned char button2 = 0xDF;
constexpr unsigned char buttons12 = 0xCF;

constexpr long settled = 30;

// As editors and `sed -i` do: a new file renamed over the old one.
void replace_image(const std::string &image, unsigned char status)
{
    write_file(image + ".new", std::string(1, static_cast<char>(status)));
    ASSERT_EQ(rename((image + ".new").c_str(), image.c_str()), 0);
}

// Removed, then written afresh: a new file under the old name.
void recreate_image(const std::string &image, unsigned char status)
{
    ASSERT_EQ(unlink(image.c_str()), 0);
    set_buttons(image, status);
}

std::string append(const temp_dir &dir, const std::string &text)
{
    return "echo " + text + " >> " + dir / "out";
}

TEST(DaemonSources, PortImageReplacedUnderItsNameIsFollowed)
{
    temp_dir dir;
    set_buttons(dir / "port", all_up);
    const pid_t pid = spawn({TABRIN, "-j", dir / "port", "-p", "1", "-w", "1", "-l", dir / "lock", "-r", "12",
                             append(dir, "12")});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));

    replace_image(dir / "port", buttons12);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    replace_image(dir / "port", all_up);
    ASSERT_TRUE(wait_reads(pid, settled));

    recreate_image(dir / "port", buttons12);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
    // Still held when removed: a missing image reads as all up, so the
    // release wait ends and a new file with the buttons held is a new press.
    ASSERT_EQ(unlink((dir / "port").c_str()), 0);
    ASSERT_TRUE(wait_for([&] { return !holds_open(pid, dir / "port"); }));
    replace_image(dir / "port", buttons12);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 3; }));
    ASSERT_TRUE(wait_reads(pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "12\n12\n12\n");
}

TEST(DaemonSources, EachSourceHasItsOwnChordsAndReleaseWait)
{
    temp_dir dir;
    set_buttons(dir / "a", all_up);
    set_buttons(dir / "b", all_up);
    // -b names keys of input event devices: port images keep their four bits.
    const pid_t pid = spawn({TABRIN, "-j", dir / "a", "-j", dir / "b", "-b", "BTN_START", "-p", "1", "-w", "1",
                             "-l", dir / "lock", "-r", "12", append(dir, "12"), "-r", "1", append(dir, "1")});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));

    // Button 1 on one source and button 2 on the other never make 12.
    set_buttons(dir / "a", button1);
    set_buttons(dir / "b", button2);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    ASSERT_TRUE(wait_reads(pid, settled));
    // a still waits for its release; b's own press is not held up by it.
    set_buttons(dir / "b", button1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
    set_buttons(dir / "a", all_up);
    set_buttons(dir / "b", all_up);
    ASSERT_TRUE(wait_reads(pid, settled));
    set_buttons(dir / "b", button1 & button2);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 3; }));
    ASSERT_TRUE(wait_reads(pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "1\n1\n12\n");
}

TEST(DaemonSources, MissingPathIsWaitedForInTheStartDirectory)
{
    temp_dir dir;
    run_options in_dir;
    in_dir.cwd = dir.path;
    // Detached, the daemon works in "/", yet "port" still names dir's file.
    const auto result = run({TABRIN, "-d", "-j", "port", "-p", "1", "-w", "1", "-l", dir / "lock", "-r", "1",
                             append(dir, "1")},
                            in_dir);
    process_guard daemon(lock_holder(dir / "lock"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "Waiting for joystick device port\n");
    ASSERT_GT(daemon.pid, 0);
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    EXPECT_EQ(read_file(dir / "out"), "1\n");
}

} // namespace
