// One configuration for every pad: the same standard names fire the same
// commands on pads shaped as xpad, hid-microsoft over Bluetooth,
// hid-playstation (with its motion sensors and touchpad, never opened),
// hid-sony, hid-nintendo and hid-generic make them. And the pads that are not taken, said; nodes that
// cannot be opened holding no place; an axis as wide as int. These run in
// the test VM (tests/vm/run), as root.
#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

// One change a pad reports, and how it is undone.
struct change {
    int type;
    int code;
    int on;
    int off;
};

// What a user presses on one pad for each binding of the configuration.
struct family_case {
    const pad_shape *shape;
    std::vector<change> back_start, triggers, a_x, y, right_stick_right, left_stick_up, guide;
};

change key(int code) { return {EV_KEY, code, 1, 0}; }
change axis(int code, int on, int off) { return {EV_ABS, code, on, off}; }

void apply(const virtual_device *pad, const std::vector<change> &changes, bool on)
{
    for (const change &one : changes)
        report(pad, one.type, {one.code}, on ? one.on : one.off);
}

// The Android-style pad whose Start is BTN_MODE, its logo KEY_HOMEPAGE.
// Made when first asked for: android_pad is another file's, set up in an
// order of its own.
const pad_shape &android_mode_start_pad()
{
    static const pad_shape shape = [] {
        pad_shape made = android_pad;
        made.name = "Exmple Android Gamepad 2";
        std::replace(made.keys.begin(), made.keys.end(), static_cast<int>(BTN_START), static_cast<int>(BTN_MODE));
        return made;
    }();
    return shape;
}

// hid-sony's DualShock 4: laid out as the DualSense.
const pad_shape &dualshock4_pad()
{
    static const pad_shape shape = [] {
        pad_shape made = dualsense_pad;
        made.name = "Sony Interactive Entertainment Wireless Controller";
        made.product = 0x09cc;
        return made;
    }();
    return shape;
}

std::vector<family_case> every_family()
{
    return {
    {&xbox_360_pad, {key(BTN_SELECT), key(BTN_START)}, {axis(ABS_Z, 255, 0), axis(ABS_RZ, 255, 0)},
     {key(BTN_SOUTH), key(BTN_NORTH)}, {key(BTN_WEST)}, {axis(ABS_RX, 32767, 0)}, {axis(ABS_Y, -32768, 0)},
     {key(BTN_MODE)}},
    {&xbox_bluetooth_pad, {key(BTN_SELECT), key(BTN_START)}, {axis(ABS_BRAKE, 1023, 0), axis(ABS_GAS, 1023, 0)},
     {key(BTN_SOUTH), key(BTN_NORTH)}, {key(BTN_WEST)}, {axis(ABS_Z, 65535, 32768)}, {axis(ABS_Y, 0, 32768)},
     {key(BTN_MODE)}},
    {&dualsense_pad, {key(BTN_SELECT), key(BTN_START)},
     {key(BTN_TL2), axis(ABS_Z, 255, 0), key(BTN_TR2), axis(ABS_RZ, 255, 0)}, {key(BTN_SOUTH), key(BTN_WEST)},
     {key(BTN_NORTH)}, {axis(ABS_RX, 255, 128)}, {axis(ABS_Y, 0, 128)}, {key(BTN_MODE)}},
    {&dualshock4_pad(), {key(BTN_SELECT), key(BTN_START)},
     {key(BTN_TL2), axis(ABS_Z, 255, 0), key(BTN_TR2), axis(ABS_RZ, 255, 0)}, {key(BTN_SOUTH), key(BTN_WEST)},
     {key(BTN_NORTH)}, {axis(ABS_RX, 255, 128)}, {axis(ABS_Y, 0, 128)}, {key(BTN_MODE)}},
    // The Switch's B is the bottom button, its Y the left one: names by place.
    {&switch_pro_pad, {key(BTN_SELECT), key(BTN_START)}, {key(BTN_TL2), key(BTN_TR2)},
     {key(BTN_SOUTH), key(BTN_WEST)}, {key(BTN_NORTH)}, {axis(ABS_RX, 32767, 0)}, {axis(ABS_Y, -32767, 0)},
     {key(BTN_MODE)}},
    {&android_pad, {key(KEY_BACK), key(BTN_START)}, {axis(ABS_BRAKE, 255, 0), axis(ABS_GAS, 255, 0)},
     {key(BTN_SOUTH), key(BTN_NORTH)}, {key(BTN_WEST)}, {axis(ABS_Z, 255, 128)}, {axis(ABS_Y, 0, 128)},
     {key(KEY_HOMEPAGE)}},
    {&android_mode_start_pad(), {key(KEY_BACK), key(BTN_MODE)}, {axis(ABS_BRAKE, 255, 0), axis(ABS_GAS, 255, 0)},
     {key(BTN_SOUTH), key(BTN_NORTH)}, {key(BTN_WEST)}, {axis(ABS_Z, 255, 128)}, {axis(ABS_Y, 0, 128)},
     {key(KEY_HOMEPAGE)}},
    };
}

int occurrences(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

struct DaemonFamilies : testing::Test {
    temp_dir dir;

    std::string writes(const std::string &word) const { return "echo " + word + " >> " + dir / "out"; }

    pid_t start(const std::vector<std::string> &options, const run_options &how = {})
    {
        std::vector<std::string> command = {TABRIN, "-w", "20"};
        command.insert(command.end(), options.begin(), options.end());
        return spawn(command, dir / "err", how);
    }
};

TEST_F(DaemonFamilies, OneStandardNameConfigurationFiresTheSameOnEveryPad)
{
    for (const family_case &family : every_family()) {
        SCOPED_TRACE(family.shape->name);
        virtual_device motion;
        const std::string missing = plug(&motion, dualsense_motion);
        if (!missing.empty())
            GTEST_SKIP() << missing;
        virtual_device touchpad;
        ASSERT_EQ(plug(&touchpad, dualsense_touchpad), "");
        virtual_device pad;
        ASSERT_EQ(plug(&pad, *family.shape), "");
        unlink((dir / "out").c_str());
        // The touchpad's ABS_Y rests at its minimum: taken, it would make
        // lefty- read held and start-up refuse.
        const pid_t pid = start({"-l", dir / "lock", "-n", "*",
                                 "-r", "back+start", writes("back_start"),
                                 "-r", "lefttrigger+righttrigger", writes("triggers"),
                                 "-r", "a+x", writes("a_x"),
                                 "-r", "y", writes("y"),
                                 "-r", "rightx+", writes("rightx"),
                                 "-r", "lefty-", writes("up"),
                                 "-h", "guide", "100", writes("guide")});
        process_guard daemon(pid);
        ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid && holds_open(pid, pad.node); }))
            << read_file(dir / "err");
        ASSERT_TRUE(wait_idle(pid));
        // Shaking the pad and touching its touchpad run nothing.
        for (const int code : {ABS_X, ABS_Y, ABS_Z, ABS_RX, ABS_RY, ABS_RZ})
            move_axis(&motion, code, 32768);
        move_axis(&touchpad, ABS_Y, 1079);
        const std::vector<std::pair<const std::vector<change> *, std::string>> presses = {
            {&family.back_start, "back_start"}, {&family.triggers, "triggers"}, {&family.a_x, "a_x"},
            {&family.y, "y"}, {&family.right_stick_right, "rightx"}, {&family.left_stick_up, "up"},
            {&family.guide, "guide"}};
        std::string expected;
        for (const auto &[changes, word] : presses) {
            expected += word + "\n";
            apply(&pad, *changes, true);
            ASSERT_TRUE(wait_for([&] { return read_file(dir / "out") == expected; }))
                << word << ": " << read_file(dir / "out");
            apply(&pad, *changes, false);
            ASSERT_TRUE(wait_idle(pid));
        }
        EXPECT_FALSE(holds_open(pid, motion.node));
        EXPECT_FALSE(holds_open(pid, touchpad.node));
        EXPECT_EQ(read_file(dir / "out"), expected);
    }
}

TEST_F(DaemonFamilies, PadThatNoPatternTakesIsSaidWithWhy)
{
    virtual_device pad;
    const std::string missing = plug(&pad, xbox_bluetooth_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({"-v", "-n", "Xbox", "-r", "a", "true"});
    process_guard daemon(pid);
    const std::string said = "not taken " + pad.node + ": Xbox Wireless Controller (045e:0b13): does not match 'Xbox'\n";
    ASSERT_TRUE(wait_for([&] { return read_file(dir / "err") == said; })) << read_file(dir / "err");
    ASSERT_TRUE(wait_idle(pid));
    // Said once, not at each look: another pad coming is told, this one is not again.
    virtual_device other;
    ASSERT_EQ(plug(&other, xbox_360_pad), "");
    const std::string both = said + "not taken " + other.node + ": Microsoft X-Box 360 pad (045e:028e): does not match 'Xbox'\n";
    ASSERT_TRUE(wait_for([&] { return read_file(dir / "err") == both; })) << read_file(dir / "err");
    EXPECT_FALSE(holds_open(pid, pad.node));

    // Learning mode says it on standard output.
    const auto learning = spawn({TABRIN, "-m", "-n", "Xbox"}, dir / "learn");
    process_guard learner(learning);
    ASSERT_TRUE(wait_for([&] { return read_file(dir / "learn").find(said) != std::string::npos; }))
        << read_file(dir / "learn");
}

// Nodes a user may not read (keyboards, another seat's pads) take no place:
// the pad after eight of them is taken, and one of them is taken once its
// permissions let it be, as a desktop grants the seat's user its pads.
TEST_F(DaemonFamilies, NodesThatCannotBeOpenedHoldNoPlace)
{
    if (!running_as_root())
        GTEST_SKIP() << "not root: the nodes cannot be made root's alone";
    std::vector<virtual_device> closed(8);
    const std::string missing = plug(&closed[0], generic_gamepad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    for (size_t i = 1; i < closed.size(); ++i)
        ASSERT_EQ(plug(&closed[i], generic_gamepad), "");
    for (const virtual_device &node : closed)
        ASSERT_EQ(chmod(node.node.c_str(), 0600), 0);
    virtual_device readable;
    ASSERT_EQ(plug(&readable, xbox_360_pad), "");
    ASSERT_EQ(chmod(readable.node.c_str(), 0644), 0);

    // The command runs as nobody too: its file is one that nobody may write.
    write_file(dir / "out", "");
    ASSERT_EQ(chmod((dir / "out").c_str(), 0666), 0);
    const pid_t pid = start({"-v", "-n", "*", "-r", "a", writes("a")}, as_nobody());
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, readable.node); })) << read_file(dir / "err");
    std::string denied;
    for (const virtual_device &node : closed)
        denied += "not taken " + node.node + ": Exmple USB Gamepad (1a2c:0101): Permission denied\n";
    EXPECT_NE(read_file(dir / "err").find(denied), std::string::npos) << read_file(dir / "err");
    EXPECT_EQ(read_file(dir / "err").find("left alone"), std::string::npos) << read_file(dir / "err");

    ASSERT_EQ(chmod(closed[3].node.c_str(), 0644), 0);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, closed[3].node); })) << read_file(dir / "err");
    ASSERT_TRUE(wait_idle(pid));
    press(&closed[3], {BTN_SOUTH});
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    // Each was said once, however often the daemon looked again.
    const std::string err = read_file(dir / "err");
    for (const virtual_device &node : closed)
        EXPECT_EQ(occurrences(err, "not taken " + node.node + ":"), 1) << err;
}

// A HID axis may be declared from INT_MIN to INT_MAX: it rests in its
// middle, and each end is reached, without start-up refusing.
TEST_F(DaemonFamilies, AxisAsWideAsIntReadsBothEnds)
{
    pad_shape wide = test_device({BTN_SOUTH});
    wide.axes = {{ABS_Z, INT_MIN, INT_MAX, 0}};
    virtual_device pad;
    const std::string missing = plug(&pad, wide);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start({"-l", dir / "lock", "-j", pad.node, "-r", "ABS_Z", writes("high"), "-r", "ABS_Z-", writes("low")});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; })) << read_file(dir / "err");
    ASSERT_TRUE(wait_idle(pid));
    EXPECT_EQ(read_file(dir / "out"), "");
    move_axis(&pad, ABS_Z, INT_MAX);
    ASSERT_TRUE(wait_for([&] { return read_file(dir / "out") == "high\n"; })) << read_file(dir / "out");
    move_axis(&pad, ABS_Z, 0);
    ASSERT_TRUE(wait_idle(pid));
    move_axis(&pad, ABS_Z, INT_MIN);
    ASSERT_TRUE(wait_for([&] { return read_file(dir / "out") == "high\nlow\n"; })) << read_file(dir / "out");
}

} // namespace
