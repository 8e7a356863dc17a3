// The -v lines at their limit: a path or a list too long for the line is cut
// with "...", the line takes nothing after it, and the daemon runs on.
#include "support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What a line keeps of a part cut at its end: 1,023 bytes before the
// newline, three of them the dots.
std::string cut_to_line(const std::string &start, const std::string &part)
{
    return start + part.substr(0, 1020 - start.size()) + "...\n";
}

// Pressed and let go, once the daemon has seen each; -v in the foreground.
void press_and_release(const temp_dir &dir, const std::string &image, pid_t daemon, unsigned char held)
{
    set_buttons(image, held);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    ASSERT_TRUE(wait_reads(daemon, 30));
    set_buttons(image, 0xFF);
    ASSERT_TRUE(wait_reads(daemon, 30));
}

TEST(DaemonReports, PathLongerThanTheLineIsCutAndTheDaemonRunsOn)
{
    temp_dir dir;
    std::string path = dir.path;
    for (int i = 0; i < 600; ++i)
        path += "/.";
    path += "/first";
    set_buttons(dir / "first", 0xFF);
    set_buttons(dir / "second", 0xFF);
    const pid_t pid = spawn({TABRIN, "-v", "-p", "1", "-w", "1", "-l", dir / "lock", "-j", path, "-j", dir / "second",
                             "-r", "1", "echo fired >> " + dir / "out"},
                            dir / "err");
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    press_and_release(dir, dir / "first", pid, 0xEF);
    EXPECT_EQ(read_file(dir / "out"), "fired\n");
    EXPECT_TRUE(process_alive(pid));
    const std::string held = cut_to_line("held on ", path);
    EXPECT_EQ(read_file(dir / "err"), held + "run 1: echo fired >> " + dir / "out" + "\nended 1: status 0\n" + held);
}

TEST(DaemonReports, ListLongerThanTheLineIsCutBeforeItsCommand)
{
    temp_dir dir;
    const std::string list = std::string(1100, '0') + "304+305";
    set_buttons(dir / "port", 0xFF);
    const pid_t pid = spawn({TABRIN, "-v", "-p", "1", "-w", "1", "-l", dir / "lock", "-j", dir / "port", "-b",
                             "BTN_SOUTH,BTN_EAST", "-r", list, "echo fired >> " + dir / "out"},
                            dir / "err");
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    press_and_release(dir, dir / "port", pid, 0xCF);
    EXPECT_EQ(read_file(dir / "out"), "fired\n");
    EXPECT_TRUE(process_alive(pid));
    EXPECT_EQ(read_file(dir / "err"), "held: BTN_SOUTH BTN_EAST\n" + cut_to_line("run ", list) +
                                          cut_to_line("ended ", list) + "held: none\n");
}

} // namespace
