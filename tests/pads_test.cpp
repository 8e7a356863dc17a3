// Pads found by name over a fake /sys/class/input and /dev/input, and which
// of the pads people own count as joysticks or gamepads.
#include "devices.h"
#include "pads.h"

#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

struct name_case {
    std::vector<const char *> patterns;
    std::string name;
    bool matches;
};

TEST(PadNames, ShellPatternsOverTheKernelsNames)
{
    const std::vector<name_case> cases = {
        {{"*"}, "Microsoft X-Box 360 pad", true},
        {{"*"}, "", true},
        {{"Microsoft X-Box 360 pad"}, "Microsoft X-Box 360 pad", true},
        {{"Microsoft X-Box 360 pad"}, "Microsoft X-Box 360 pad ", false},
        {{"microsoft x-box 360 pad"}, "Microsoft X-Box 360 pad", false},
        {{"*DualSense*"}, "Sony Interactive Entertainment DualSense Wireless Controller", true},
        {{"*DualSense*"}, "Sony Interactive Entertainment DualSense Wireless Controller Touchpad", true},
        {{"*DualSense Wireless Controller"}, "Sony Interactive Entertainment DualSense Wireless Controller Touchpad",
         false},
        {{"Nintendo Switch ? Joy-Con"}, "Nintendo Switch Left Joy-Con", false},
        {{"Nintendo Switch *Joy-Con"}, "Nintendo Switch Left Joy-Con", true},
        {{"USB Gamepad*"}, "USB Gamepad ", true},
        {{"[Uu]sb*"}, "usb gamepad", true},
        {{"Xbox*", "*Pro Controller"}, "Nintendo Switch Pro Controller", true},
        {{"Xbox*", "*Pro Controller"}, "Microsoft X-Box One S pad", false},
        {{}, "Microsoft X-Box 360 pad", false},
        {{"pad/*"}, "pad/one", true},
        {{"\\*"}, "*", true},
        {{"\\*"}, "x", false},
    };
    for (const auto &[patterns, name, matches] : cases)
        EXPECT_EQ(name_matches(patterns, name.c_str()), matches) << "[" << name << "] " << patterns.size();
}

TEST(PadNames, EventNodesAreEventAndDigits)
{
    for (const char *node : {"event0", "event7", "event123", "event999999999"})
        EXPECT_TRUE(is_event_node(node)) << node;
    for (const char *node : {"event", "events", "event1a", "event-1", "js0", "mouse0", "by-id", "Event1", " event1",
                             "event12345678901"})
        EXPECT_FALSE(is_event_node(node)) << node;
}

// A /sys/class/input and /dev/input of a test's own: nodes are empty files.
struct fake_input {
    temp_dir dir;
    std::string class_dir = dir / "class";
    std::string node_dir = dir / "dev";
    fake_input()
    {
        mkdir(class_dir.c_str(), 0755);
        mkdir(node_dir.c_str(), 0755);
        mkdir((node_dir + "/by-id").c_str(), 0755);
    }
    // A device with an event node and the name file the kernel writes, "%s\n".
    void add(const std::string &node, const std::string &name) const
    {
        write_file(node_dir + "/" + node, "");
        if (name.empty())
            return; // gone from sysfs already
        mkdir((class_dir + "/" + node).c_str(), 0755);
        mkdir((class_dir + "/" + node + "/device").c_str(), 0755);
        write_file(class_dir + "/" + node + "/device/name", name + "\n");
    }
};

TEST(PadNames, ReadFromSysfsWithoutTheNewline)
{
    const fake_input input;
    input.add("event3", "USB Gamepad ");
    input.add("event4", "");
    pad_name name;
    ASSERT_TRUE(read_pad_name(input.class_dir.c_str(), "event3", &name));
    EXPECT_EQ(std::string(name.data()), "USB Gamepad ");
    EXPECT_FALSE(read_pad_name(input.class_dir.c_str(), "event4", &name));

    const std::string longest(300, 'x');
    input.add("event6", longest);
    ASSERT_TRUE(read_pad_name(input.class_dir.c_str(), "event6", &name));
    EXPECT_EQ(std::string(name.data()), longest.substr(0, name.size() - 1));
}

TEST(PadNames, ListedLowestNumberFirstAmongMatchingEventNodesOnly)
{
    const fake_input input;
    input.add("event10", "Microsoft X-Box 360 pad");
    input.add("event2", "Sony Interactive Entertainment DualSense Wireless Controller");
    input.add("event3", "Sony Interactive Entertainment DualSense Wireless Controller Motion Sensors");
    input.add("event9", "Exmple USB Keyboard");
    input.add("event4", ""); // unplugged between the two reads
    input.add("event1", "Microsoft X-Box One S pad");
    input.add("js0", "Microsoft X-Box 360 pad");
    input.add("mouse0", "Microsoft X-Box 360 pad");

    const std::vector<const char *> pads = {"Microsoft*", "*Controller"};
    std::array<node_name, 8> found {};
    ASSERT_EQ(list_pads(input.node_dir.c_str(), input.class_dir.c_str(), pads, found), 3);
    EXPECT_EQ(std::string(found[0].data()), "event1");
    EXPECT_EQ(std::string(found[1].data()), "event2");
    EXPECT_EQ(std::string(found[2].data()), "event10");

    // Room for two: the count says how many more there are.
    std::array<node_name, 2> two {};
    const std::vector<const char *> every = {"*"};
    ASSERT_EQ(list_pads(input.node_dir.c_str(), input.class_dir.c_str(), every, two), 5);
    EXPECT_EQ(std::string(two[0].data()), "event1");
    EXPECT_EQ(std::string(two[1].data()), "event2");

    std::array<char, PATH_MAX> path;
    ASSERT_TRUE(node_path(input.node_dir.c_str(), found[2].data(), path));
    EXPECT_EQ(std::string(path.data()), input.node_dir + "/event10");
    EXPECT_EQ(list_pads((input.dir / "none").c_str(), input.class_dir.c_str(), every, found), -1);
}

// EVIOCGBIT(EV_KEY) as the kernel fills it in for these keys.
std::array<unsigned long, KEY_CNT / 8 / sizeof(unsigned long)> key_bits_of(const std::vector<int> &keys)
{
    constexpr size_t word = 8 * sizeof(unsigned long);
    std::array<unsigned long, KEY_CNT / word> bits {};
    for (int key : keys)
        bits[static_cast<size_t>(key) / word] |= 1UL << (static_cast<size_t>(key) % word);
    return bits;
}

TEST(PadNames, EveryPadIsAJoystickAndNothingElseIs)
{
    const std::vector<std::pair<const pad_shape *, bool>> shapes = {
        {&xbox_360_pad, true},      {&xbox_one_pad, true},        {&dualsense_pad, true},
        {&dualsense_motion, false}, {&dualsense_touchpad, false}, {&generic_gamepad, true},
        {&generic_joystick, true},  {&android_pad, true},         {&switch_pro_pad, true},
        {&joycon_left, true},       {&snes_style_pad, true},      {&usb_keyboard, false},
    };
    for (const auto &[shape, joystick] : shapes)
        EXPECT_EQ(has_joystick_keys(key_bits_of(shape->keys)), joystick) << shape->name;
    // Extra buttons alone make a pad; a mouse's, a tablet's or a D-pad's alone do not.
    for (const auto &[key, joystick] : std::vector<std::pair<int, bool>>{
             {BTN_TRIGGER_HAPPY1, true}, {BTN_TRIGGER_HAPPY40, true}, {BTN_DEAD, true}, {BTN_THUMBR, true},
             {BTN_LEFT, false}, {BTN_TASK, false}, {BTN_TOUCH, false}, {BTN_DPAD_UP, false},
             {KEY_VOLUMEUP, false}, {KEY_MAX, false}})
        EXPECT_EQ(has_joystick_keys(key_bits_of({key})), joystick) << key;
}

} // namespace
