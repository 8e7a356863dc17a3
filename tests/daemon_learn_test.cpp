// Learning mode on pads whose names are hostile, as a Bluetooth pad's name is
// whatever the remote device's owner chose: the names reach the terminal with
// no control in them and never break a line, and with two pads of one name
// each chord says which pad it was held on. These run in the test VM
// (tests/vm/run), as root.
#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sstream>

#include <csignal>

namespace {

// The lines told, less those that list a pad's standard names, which these
// tests do not look at.
std::vector<std::string> lines_of(const std::string &text)
{
    std::istringstream lines(text);
    std::vector<std::string> found;
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with("standard names of "))
            found.push_back(line);
    return found;
}

std::string ids_of(const pad_shape &shape)
{
    std::array<char, 16> ids{};
    snprintf(ids.data(), ids.size(), " (%04x:%04x)", shape.vendor, shape.product);
    return ids.data();
}

TEST(DaemonLearn, HostileNamesAreShownSafelyAndEachChordNamesItsPad)
{
    temp_dir dir;
    pad_shape hostile = generic_gamepad;
    // Sets the terminal's title, clears the screen, forges a line, and ends in
    // a byte that is not UTF-8.
    hostile.name = "Pad\x1b]0;owned\x07\x1b[2J\nlost /dev/input/event0\n\xff";
    virtual_device first;
    const std::string missing = plug(&first, hostile);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    virtual_device second;
    ASSERT_EQ(plug(&second, hostile), "");
    const pid_t pid = spawn({TABRIN, "-m"}, dir / "out");
    process_guard daemon(pid);
    const std::string shown = "Pad?]0;owned??[2J?lost /dev/input/event0??" + ids_of(hostile);
    ASSERT_TRUE(wait_for([&] { return lines_of(read_file(dir / "out")).size() == 2; })) << read_file(dir / "out");
    ASSERT_TRUE(wait_idle(pid));

    for (const virtual_device *pad : {&second, &first}) {
        const long mark = wakeups(pid);
        press(pad, {BTN_SOUTH});
        ASSERT_TRUE(wait_handled(pid, mark));
        const long pressed = wakeups(pid);
        release(pad, {BTN_SOUTH});
        ASSERT_TRUE(wait_handled(pid, pressed));
    }
    ASSERT_TRUE(wait_for([&] { return lines_of(read_file(dir / "out")).size() == 4; })) << read_file(dir / "out");
    const std::vector<std::string> told = lines_of(read_file(dir / "out"));
    // Found in either order.
    const bool first_found_first = told[0] == "found " + first.node + ": " + shown;
    EXPECT_EQ(told[first_found_first ? 0 : 1], "found " + first.node + ": " + shown) << read_file(dir / "out");
    EXPECT_EQ(told[first_found_first ? 1 : 0], "found " + second.node + ": " + shown) << read_file(dir / "out");
    for (const auto &[line, pad] : {std::pair{told[2], &second}, std::pair{told[3], &first}}) {
        EXPECT_EQ(line.substr(0, 7), "a held ") << line;
        EXPECT_TRUE(line.ends_with(" s on " + pad->node)) << line;
    }
    ASSERT_EQ(kill(pid, SIGINT), 0);
    EXPECT_EQ(wait_exit(pid), 128 + SIGINT);
    daemon.pid = 0; // reaped
}

} // namespace
