// Pads found by name over a fake /sys/class/input and /dev/input, and which
// of the pads people own count as joysticks or gamepads.
#include "devices.h"
#include "pads.h"

#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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
    // A device with an event node and the files the kernel writes: its
    // name, "%s\n", and its capabilities, properties and ids.
    void add(const std::string &node, const std::string &name, const pad_shape &shape = generic_gamepad) const
    {
        write_file(node_dir + "/" + node, "");
        if (name.empty())
            return; // gone from sysfs already
        const std::string device = class_dir + "/" + node + "/device";
        for (const std::string &made : {class_dir + "/" + node, device, device + "/capabilities", device + "/id"})
            mkdir(made.c_str(), 0755);
        write_file(device + "/name", name + "\n");
        std::vector<int> axes(shape.axes.size());
        std::transform(shape.axes.begin(), shape.axes.end(), axes.begin(), [](const axis_shape &axis) { return axis.code; });
        write_file(device + "/capabilities/key", sysfs_bitmap(shape.keys, KEY_CNT));
        write_file(device + "/capabilities/abs", sysfs_bitmap(axes, ABS_CNT));
        write_file(device + "/properties", sysfs_bitmap(shape.properties, INPUT_PROP_CNT));
        char id[8];
        snprintf(id, sizeof id, "%04x\n", shape.vendor);
        write_file(device + "/id/vendor", id);
        snprintf(id, sizeof id, "%04x\n", shape.product);
        write_file(device + "/id/product", id);
    }

    // As the kernel prints a bitmap: its words in hexadecimal from the highest
    // that is not 0 down to word 0.
    static std::string sysfs_bitmap(const std::vector<int> &codes, int count)
    {
        constexpr int word = 8 * sizeof(unsigned long);
        std::vector<unsigned long> bits(static_cast<size_t>((count + word - 1) / word));
        for (int code : codes)
            bits[static_cast<size_t>(code / word)] |= 1UL << (code % word);
        size_t top = bits.size() - 1;
        while (top > 0 && bits[top] == 0)
            --top;
        std::string text;
        for (size_t i = top + 1; i-- > 0;) {
            char hex[24];
            snprintf(hex, sizeof hex, "%lx", bits[i]);
            text += hex;
            text += i > 0 ? " " : "\n";
        }
        return text;
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

TEST(PadNames, PadsListedLowestNumberFirstEachWithWhetherItsNameMatches)
{
    const fake_input input;
    input.add("event10", "Microsoft X-Box 360 pad", xbox_360_pad);
    input.add("event2", "Sony Interactive Entertainment DualSense Wireless Controller", dualsense_pad);
    input.add("event3", "Sony Interactive Entertainment DualSense Wireless Controller Motion Sensors", dualsense_motion);
    input.add("event5", "Sony Interactive Entertainment DualSense Wireless Controller Touchpad", dualsense_touchpad);
    input.add("event9", "Exmple USB Keyboard", usb_keyboard);
    input.add("event4", ""); // unplugged between the two reads
    input.add("event1", "Microsoft X-Box One S pad", xbox_one_pad);
    input.add("event7", "USB Gamepad ", snes_style_pad);
    input.add("js0", "Microsoft X-Box 360 pad");
    input.add("mouse0", "Microsoft X-Box 360 pad");

    // The motion sensors and the touchpad match too, and are no pads.
    const std::vector<const char *> pads = {"Microsoft*", "*Controller*"};
    std::array<pad_seen, 8> found {};
    ASSERT_EQ(list_pads(input.node_dir.c_str(), input.class_dir.c_str(), pads, found), 4);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"event1", true}, {"event2", true}, {"event7", false}, {"event10", true}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::string(found[i].node.data()), expected[i].first);
        EXPECT_EQ(found[i].matches, expected[i].second) << expected[i].first;
    }

    // Room for two: the count says how many more there are.
    std::array<pad_seen, 2> two {};
    const std::vector<const char *> every = {"*"};
    ASSERT_EQ(list_pads(input.node_dir.c_str(), input.class_dir.c_str(), every, two), 4);
    EXPECT_EQ(std::string(two[0].node.data()), "event1");
    EXPECT_EQ(std::string(two[1].node.data()), "event2");

    unsigned short vendor = 0;
    unsigned short product = 0;
    read_pad_ids(input.class_dir.c_str(), "event2", &vendor, &product);
    EXPECT_EQ(vendor, 0x054c);
    EXPECT_EQ(product, 0x0ce6);

    std::array<char, PATH_MAX> path;
    ASSERT_TRUE(node_path(input.node_dir.c_str(), found[3].node.data(), path));
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

// The same rule as sysfs shows it: keys, and no motion sensor's or touchpad's properties.
TEST(PadNames, PadsAreNeitherMotionSensorsNorTouchpads)
{
    const std::vector<std::pair<const pad_shape *, bool>> shapes = {
        {&xbox_360_pad, true},      {&dualsense_pad, true},        {&dualsense_motion, false},
        {&dualsense_touchpad, false}, {&android_pad, true},       {&usb_keyboard, false},
    };
    const fake_input input;
    for (const auto &[shape, pad] : shapes) {
        input.add("event1", shape->name, *shape);
        device_shape seen;
        ASSERT_TRUE(read_sysfs_shape(input.class_dir.c_str(), "event1", &seen)) << shape->name;
        EXPECT_EQ(is_pad(&seen), pad) << shape->name;
        EXPECT_EQ(seen.vendor, shape->vendor) << shape->name;
    }
    // Motion sensors that a driver gives a joystick key are no pad either.
    pad_shape odd_sensors = dualsense_motion;
    odd_sensors.keys = {BTN_SOUTH};
    input.add("event2", odd_sensors.name, odd_sensors);
    device_shape seen;
    ASSERT_TRUE(read_sysfs_shape(input.class_dir.c_str(), "event2", &seen));
    EXPECT_FALSE(is_pad(&seen));
    EXPECT_FALSE(read_sysfs_shape(input.class_dir.c_str(), "event3", &seen));
}

} // namespace
