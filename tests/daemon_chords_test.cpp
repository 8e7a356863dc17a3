// Chords of named buttons on pads shaped as their drivers make them: seven
// buttons of an ordinary configuration, triggers as axes, the D-pad as a hat
// and as axes, two pads that never add up, a button nobody named, a tap and
// a hold of one button. These run in the test VM (tests/vm/run), as root.
#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

struct DaemonChords : testing::Test {
    temp_dir dir;

    std::string writes(const std::string &name) const { return "echo " + name + " >> " + dir / "out"; }

    // The daemon on these pads with these bindings, once past its start-up.
    pid_t start(const std::vector<const virtual_device *> &pads, const std::vector<std::string> &bindings)
    {
        std::vector<std::string> command = {TABRIN, "-w", "50", "-l", dir / "lock"};
        for (const virtual_device *pad : pads)
            command.insert(command.end(), {"-j", pad->node});
        command.insert(command.end(), bindings.begin(), bindings.end());
        const pid_t pid = spawn(command, dir / "err");
        wait_for([&] { return lock_holder(dir / "lock") == pid; });
        return pid;
    }

    // Waits until the names written are these, and the daemon is at rest.
    void expect_out(pid_t pid, const std::string &names)
    {
        ASSERT_TRUE(wait_for([&] { return read_file(dir / "out") == names; })) << read_file(dir / "out");
        ASSERT_TRUE(wait_idle(pid));
    }
};

// Holds what is held for three times the settle time of 50 ms, or longer.
void past_settle(int ms = 150)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    ASSERT_TRUE(wait_for([&] { return std::chrono::steady_clock::now() >= until; }));
}

TEST_F(DaemonChords, SevenButtonsOfAnOrdinaryConfigurationOnOnePad)
{
    virtual_device pad;
    const std::string missing = plug(&pad, xbox_360_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({&pad}, {"-r", "BTN_SELECT+BTN_START", writes("quit"), "-r", "BTN_MODE", writes("launcher"),
                                     "-r", "BTN_SELECT+BTN_DPAD_UP", writes("up"), "-r", "BTN_SELECT+BTN_DPAD_DOWN",
                                     writes("down"), "-r", "ABS_Z+ABS_RZ", writes("shot")});
    process_guard daemon(pid);

    press(&pad, {BTN_START, BTN_SELECT});
    expect_out(pid, "quit\n");
    release(&pad, {BTN_START, BTN_SELECT});

    // A button nobody named, held meanwhile, does not spoil the chord.
    press(&pad, {BTN_SOUTH});
    press(&pad, {BTN_MODE});
    expect_out(pid, "quit\nlauncher\n");
    release(&pad, {BTN_MODE, BTN_SOUTH});

    // Select held as a modifier: the hat up twice, then down.
    press(&pad, {BTN_SELECT});
    past_settle();
    for (const int direction : {-1, -1, 1}) {
        move_axis(&pad, ABS_HAT0Y, direction);
        past_settle();
        move_axis(&pad, ABS_HAT0Y, 0);
        past_settle();
    }
    release(&pad, {BTN_SELECT});
    expect_out(pid, "quit\nlauncher\nup\nup\ndown\n");

    // One trigger is no chord; both past three quarters of 0..255 are.
    move_axis(&pad, ABS_Z, 255);
    past_settle();
    move_axis(&pad, ABS_Z, 0);
    past_settle();
    move_axis(&pad, ABS_Z, 200);
    move_axis(&pad, ABS_RZ, 230);
    expect_out(pid, "quit\nlauncher\nup\nup\ndown\nshot\n");
    EXPECT_EQ(read_file(dir / "err"), "");
}

// One player holds Select, the other presses Start: no quit. A pad whose
// chord fired and is still held does not hold up the other pad.
TEST_F(DaemonChords, TwoPadsNeverAddUp)
{
    virtual_device one;
    const std::string missing = plug(&one, dualsense_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    virtual_device two;
    ASSERT_EQ(plug(&two, switch_pro_pad), "");
    const pid_t pid = start({&one, &two}, {"-r", "BTN_SELECT+BTN_START", writes("quit"), "-r", "BTN_MODE",
                                           writes("home")});
    process_guard daemon(pid);

    press(&one, {BTN_SELECT});
    press(&two, {BTN_START});
    past_settle();
    release(&one, {BTN_SELECT});
    release(&two, {BTN_START});
    past_settle();
    press(&one, {BTN_MODE});
    expect_out(pid, "home\n");
    press(&two, {BTN_SELECT, BTN_START});
    expect_out(pid, "home\nquit\n");
    EXPECT_EQ(read_file(dir / "err"), "");
}

// A cheap pad's D-pad is ABS_X and ABS_Y from 0 to 255, resting in the
// middle; its buttons are a joystick's, Start the tenth (BTN_BASE4).
TEST_F(DaemonChords, DpadOnAxesOfACheapPad)
{
    virtual_device pad;
    const std::string missing = plug(&pad, snes_style_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({&pad}, {"-r", "ABS_X-", writes("left"), "-r", "ABS_X", writes("right"), "-r",
                                     "ABS_Y-+BTN_BASE4", writes("start-up")});
    process_guard daemon(pid);
    for (const int x : {0, 127, 255, 128}) {
        move_axis(&pad, ABS_X, x);
        past_settle();
    }
    press(&pad, {BTN_BASE4});
    move_axis(&pad, ABS_Y, 0);
    expect_out(pid, "left\nright\nstart-up\n");
}

// Home tapped opens the launcher, held opens the power menu instead.
TEST_F(DaemonChords, TapAndHoldOfOneButton)
{
    virtual_device pad;
    const std::string missing = plug(&pad, xbox_one_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({&pad}, {"-r", "BTN_MODE", writes("launcher"), "-h", "BTN_MODE", "2000", writes("power")});
    process_guard daemon(pid);
    // A tap well past the settle time, and well short of the hold, on a
    // machine that may be slow to wake the daemon.
    press(&pad, {BTN_MODE});
    past_settle(600);
    release(&pad, {BTN_MODE});
    expect_out(pid, "launcher\n");
    const auto pressed = std::chrono::steady_clock::now();
    press(&pad, {BTN_MODE});
    expect_out(pid, "launcher\npower\n");
    EXPECT_GE(std::chrono::steady_clock::now() - pressed, std::chrono::milliseconds(2000));
    release(&pad, {BTN_MODE});
    past_settle();
    EXPECT_EQ(read_file(dir / "out"), "launcher\npower\n");
}

} // namespace

namespace {

// On a pad, with a settle time of a second: the logo button tapped for
// 100 ms fires as it is let go; held as a modifier with A, the chord fires
// at once and the logo button alone nothing after it.
TEST_F(DaemonChords, TapAndModifierOnAPad)
{
    virtual_device pad;
    const std::string missing = plug(&pad, xbox_360_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({&pad}, {"-w", "1000", "-r", "BTN_MODE", writes("launcher"), "-r", "BTN_MODE+BTN_SOUTH",
                                     writes("shot")});
    process_guard daemon(pid);
    const auto pressed = std::chrono::steady_clock::now();
    press(&pad, {BTN_MODE});
    past_settle(100);
    release(&pad, {BTN_MODE});
    expect_out(pid, "launcher\n");
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::milliseconds(1000));
    press(&pad, {BTN_MODE});
    press(&pad, {BTN_SOUTH});
    expect_out(pid, "launcher\nshot\n");
    release(&pad, {BTN_SOUTH});
    past_settle(1200);
    release(&pad, {BTN_MODE});
    past_settle();
    EXPECT_EQ(read_file(dir / "out"), "launcher\nshot\n");
}

// Select and Up held for 700 ms with a period of 200: the settle time of 50
// ms, then 250, 450 and 650; nothing once Up is let go.
TEST_F(DaemonChords, RepeatWhileHeldOnAPad)
{
    virtual_device pad;
    const std::string missing = plug(&pad, xbox_360_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({&pad}, {"-a", "BTN_SELECT+BTN_DPAD_UP", "200", writes("up")});
    process_guard daemon(pid);
    press(&pad, {BTN_SELECT});
    move_axis(&pad, ABS_HAT0Y, -1);
    past_settle(700);
    move_axis(&pad, ABS_HAT0Y, 0);
    ASSERT_TRUE(wait_idle(pid));
    const int repeats = count_lines(dir / "out");
    EXPECT_GE(repeats, 3);
    EXPECT_LE(repeats, 4);
    past_settle(500);
    release(&pad, {BTN_SELECT});
    EXPECT_EQ(count_lines(dir / "out"), repeats);
}

// Two taps of the logo button of 80 ms, 80 ms apart, make the double press;
// one, once the settle time has passed, the run binding.
TEST_F(DaemonChords, DoubleAndSinglePressOnAPad)
{
    virtual_device pad;
    const std::string missing = plug(&pad, xbox_360_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({&pad}, {"-w", "500", "-r", "BTN_MODE", writes("single"), "-2", "BTN_MODE",
                                     writes("double")});
    process_guard daemon(pid);
    for (int tap = 0; tap < 2; ++tap) {
        press(&pad, {BTN_MODE});
        past_settle(80);
        release(&pad, {BTN_MODE});
        past_settle(80);
    }
    expect_out(pid, "double\n");
    press(&pad, {BTN_MODE});
    past_settle(80);
    release(&pad, {BTN_MODE});
    expect_out(pid, "double\nsingle\n");
}

} // namespace
