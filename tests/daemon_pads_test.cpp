// Pads found by the name the kernel gives them: taken when they come,
// again under another node after a reconnect, with no by-id link; other
// devices never opened; a ninth left alone. And tabrind learn on a pad:
// what it finds, each press's chord, an axis, the hat, the pad lost. These
// run in the test VM (tests/vm/run), as root.
#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <csignal>
#include <sstream>

#include <sys/wait.h>

namespace {

struct DaemonPads : testing::Test {
    temp_dir dir;

    std::string writes(const std::string &name) const { return "echo " + name + " >> " + dir / "out"; }

    pid_t start(const std::vector<std::string> &options)
    {
        std::vector<std::string> command = {TABRIN, "-w", "20", "-l", dir / "lock"};
        command.insert(command.end(), options.begin(), options.end());
        const pid_t pid = spawn(command, dir / "err");
        wait_for([&] { return lock_holder(dir / "lock") == pid; });
        return pid;
    }
};

TEST_F(DaemonPads, PadFoundByItsNameAgainAfterAReconnect)
{
    virtual_device pad;
    const std::string missing = plug(&pad, xbox_360_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    virtual_device keyboard;
    ASSERT_EQ(plug(&keyboard, usb_keyboard), "");
    virtual_device other;
    ASSERT_EQ(plug(&other, switch_pro_pad), "");
    const pid_t pid = start({"-n", "*X-Box 360*", "-r", "BTN_MODE", writes("home")});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
    // Names come from sysfs: what does not match is never opened.
    EXPECT_FALSE(holds_open(pid, keyboard.node));
    EXPECT_FALSE(holds_open(pid, other.node));
    press(&pad, {BTN_MODE});
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    release(&pad, {BTN_MODE});

    const std::string before = pad.node;
    ASSERT_EQ(replug(&pad, xbox_360_pad), "");
    ASSERT_NE(pad.node, before);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node) && !holds_open(pid, before); }));
    ASSERT_TRUE(wait_idle(pid));
    press(&pad, {BTN_MODE});
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
    EXPECT_EQ(read_file(dir / "out"), "home\nhome\n");
    EXPECT_FALSE(holds_open(pid, keyboard.node));
}

TEST_F(DaemonPads, NinthPadThatMatchesIsLeftAlone)
{
    std::vector<virtual_device> pads(9);
    const std::string missing = plug(&pads[0], generic_gamepad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    for (size_t i = 1; i < pads.size(); ++i)
        ASSERT_EQ(plug(&pads[i], generic_gamepad), "");
    const pid_t pid = start({"-v", "-n", "*", "-r", "BTN_SOUTH", "true"});
    process_guard daemon(pid);
    long held = 0;
    ASSERT_TRUE(wait_for([&] {
        held = std::count_if(pads.begin(), pads.end(), [&](const virtual_device &pad) { return holds_open(pid, pad.node); });
        return held == 8;
    })) << held;
    // Numbered in the order they came: the last one is left out.
    EXPECT_FALSE(holds_open(pid, pads.back().node));
    EXPECT_NE(read_file(dir / "err").find("left alone " + pads.back().node + ": too many pads\n"), std::string::npos)
        << read_file(dir / "err");
    // A place set free is taken by the one left alone.
    unplug(&pads[0]);
    EXPECT_TRUE(wait_for([&] { return holds_open(pid, pads.back().node); }));
}

// The processes below `pid`, its children first.
std::vector<pid_t> descendants(pid_t pid)
{
    std::vector<pid_t> found;
    std::istringstream children(read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    for (pid_t child = 0; children >> child;) {
        found.push_back(child);
        const std::vector<pid_t> below = descendants(child);
        found.insert(found.end(), below.begin(), below.end());
    }
    return found;
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What a new user does: tabrind learn, a few presses, Ctrl-C.
TEST_F(DaemonPads, LearnTellsThePadItsChordsAxesAndHat)
{
    write_file(dir / "conf", "# nothing bound yet\n");
    virtual_device motion;
    const std::string missing = plug(&motion, dualsense_motion);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    virtual_device pad;
    ASSERT_EQ(plug(&pad, dualsense_pad), "");
    run_options options;
    const std::string tabrin = TABRIN;
    options.env = {"PATH=" + tabrin.substr(0, tabrin.rfind('/')) + ":/usr/bin:/bin"};
    const pid_t controller = spawn({TABRIND, "learn", "-f", dir / "conf"}, dir / "out", options);
    process_guard controller_guard(controller);
    // The pad and what its standard names are; never its motion sensors.
    const std::string found = "found " + pad.node + ": Sony Interactive Entertainment DualSense Wireless Controller (054c:0ce6)\n"
        "standard names of " + pad.node + ": a BTN_SOUTH, b BTN_EAST, x BTN_WEST, y BTN_NORTH, back BTN_SELECT, "
        "guide BTN_MODE, start BTN_START, leftshoulder BTN_TL, rightshoulder BTN_TR, lefttrigger ABS_Z, "
        "righttrigger ABS_RZ, leftstick BTN_THUMBL, rightstick BTN_THUMBR, dpup BTN_DPAD_UP, dpdown BTN_DPAD_DOWN, "
        "dpleft BTN_DPAD_LEFT, dpright BTN_DPAD_RIGHT, leftx- ABS_X-, leftx+ ABS_X, lefty- ABS_Y-, lefty+ ABS_Y, "
        "rightx- ABS_RX-, rightx+ ABS_RX, righty- ABS_RY-, righty+ ABS_RY\n";
    ASSERT_TRUE(wait_for([&] { return read_file(dir / "out") == found; })) << read_file(dir / "out");

    const std::vector<pid_t> below = descendants(controller);
    ASSERT_FALSE(below.empty());
    const pid_t daemon = below.back();
    // Each change seen by the daemon before the next is made.
    const auto seen = [&](const std::function<void()> &change) {
        const long mark = wakeups(daemon);
        change();
        ASSERT_TRUE(wait_handled(daemon, mark));
    };
    seen([&] { press(&pad, {BTN_SOUTH, BTN_START}); });
    const auto pressed = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_for([&] { return std::chrono::steady_clock::now() - pressed >= std::chrono::milliseconds(300); }));
    seen([&] { release(&pad, {BTN_START}); });
    seen([&] { release(&pad, {BTN_SOUTH}); });
    seen([&] { move_axis(&pad, ABS_Z, 255); });
    seen([&] { move_axis(&pad, ABS_Z, 0); });
    seen([&] { move_axis(&pad, ABS_HAT0Y, -1); });
    seen([&] { move_axis(&pad, ABS_HAT0Y, 0); });
    // L2 is a key and an axis both: one trigger, named once.
    seen([&] { report(&pad, EV_KEY, {BTN_TL2}, 1); move_axis(&pad, ABS_Z, 255); });
    seen([&] { report(&pad, EV_KEY, {BTN_TL2}, 0); move_axis(&pad, ABS_Z, 0); });
    seen([&] { move_axis(&pad, ABS_RZ, 255); press(&pad, {BTN_SOUTH}); });
    seen([&] { move_axis(&pad, ABS_RZ, 0); release(&pad, {BTN_SOUTH}); });
    unplug(&pad);
    const std::string lost = "lost " + pad.node + "\n";
    ASSERT_TRUE(wait_for([&] { return ends_with(read_file(dir / "out"), lost); })) << read_file(dir / "out");

    std::istringstream lines(read_file(dir / "out"));
    std::vector<std::string> told;
    for (std::string line; std::getline(lines, line);)
        told.push_back(line);
    ASSERT_EQ(told.size(), 8U) << read_file(dir / "out");
    EXPECT_EQ(told[2].substr(0, 13), "a+start held ");
    const double seconds = strtod(told[2].c_str() + 13, nullptr);
    EXPECT_GE(seconds, 0.29);
    EXPECT_TRUE(ends_with(told[2], " s"));
    EXPECT_EQ(told[3].substr(0, 17), "lefttrigger held ");
    EXPECT_EQ(told[4].substr(0, 10), "dpup held ");
    EXPECT_EQ(told[5].substr(0, 17), "lefttrigger held ");
    EXPECT_EQ(told[6].substr(0, 20), "a+righttrigger held ");

    // Ctrl-C: the daemon ends, and so does tabrind, with status 0.
    for (const pid_t pid : below)
        if (pid > 0)
            kill(pid, SIGINT);
    EXPECT_EQ(wait_exit(controller), 0);
}

} // namespace
