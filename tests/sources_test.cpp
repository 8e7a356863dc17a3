// Which keys of an input event device are buttons 1 to 4 without -b, and the
// chord their state makes, over devices of the kinds people plug in; the
// D-pad as keys and as hat 0; axes held past three quarters of their range.
#include "sources.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct press {
    std::vector<int> held;
    unsigned char status;
};

struct device {
    std::string name;
    std::vector<int> keys;    // the key codes the device reports
    std::vector<int> buttons; // its buttons 1 to 4, as many as it has
    std::vector<press> presses;
};

const std::vector<device> devices = {
    {"joystick",
     {BTN_TRIGGER, BTN_THUMB, BTN_THUMB2, BTN_TOP, BTN_TOP2, BTN_PINKIE, BTN_BASE, BTN_BASE2},
     {BTN_TRIGGER, BTN_THUMB, BTN_THUMB2, BTN_TOP},
     {{{}, 0xFF},
      {{BTN_TRIGGER}, 0xEF},
      {{BTN_TRIGGER, BTN_THUMB}, 0xCF},
      {{BTN_THUMB2}, 0xBF},
      {{BTN_TOP}, 0x7F},
      {{BTN_TRIGGER, BTN_THUMB, BTN_THUMB2, BTN_TOP}, 0x0F},
      {{BTN_TOP2, BTN_PINKIE, BTN_BASE}, 0xFF}}},
    {"gamepad",
     {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR, BTN_SELECT, BTN_START, BTN_MODE, BTN_THUMBL,
      BTN_THUMBR, BTN_DPAD_UP, BTN_DPAD_DOWN, BTN_DPAD_LEFT, BTN_DPAD_RIGHT, KEY_VOLUMEUP},
     {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST},
     {{{BTN_SOUTH}, 0xEF},
      {{BTN_EAST}, 0xDF},
      {{BTN_NORTH}, 0xBF},
      {{BTN_WEST}, 0x7F},
      {{BTN_SOUTH, BTN_WEST}, 0x6F},
      {{BTN_START, BTN_DPAD_UP, KEY_VOLUMEUP}, 0xFF}}},
    {"gamepad with a C button",
     {BTN_A, BTN_B, BTN_C, BTN_X, BTN_Y, BTN_Z},
     {BTN_A, BTN_B, BTN_C, BTN_X},
     {{{BTN_C}, 0xBF}, {{BTN_X}, 0x7F}, {{BTN_Y, BTN_Z}, 0xFF}}},
    {"two buttons",
     {BTN_TRIGGER, BTN_THUMB},
     {BTN_TRIGGER, BTN_THUMB},
     {{{BTN_THUMB}, 0xDF}, {{BTN_TRIGGER, BTN_THUMB}, 0xCF}, {{BTN_THUMB2, BTN_TOP}, 0xFF}}},
    {"joystick range before the others, whatever their codes",
     {BTN_0, BTN_1, BTN_2, BTN_DPAD_UP, BTN_TRIGGER_HAPPY1},
     {BTN_DPAD_UP, BTN_TRIGGER_HAPPY1, BTN_0, BTN_1},
     {{{BTN_TRIGGER_HAPPY1}, 0xDF}, {{BTN_0}, 0xBF}, {{BTN_1}, 0x7F}, {{BTN_2}, 0xFF}}},
    {"keyboard",
     {KEY_ESC, KEY_1, KEY_Q, KEY_A, KEY_Z, KEY_SPACE, KEY_LEFTSHIFT, KEY_ENTER, KEY_F1, KEY_MUTE},
     {},
     {{{KEY_ESC, KEY_SPACE, KEY_A, KEY_F1}, 0xFF}}},
};

key_bits bits_of(const std::vector<int> &codes)
{
    key_bits bits{};
    for (int code : codes)
        bits[code / bits_per_word] |= 1UL << (code % bits_per_word);
    return bits;
}

std::string shown(const std::vector<int> &codes)
{
    std::string text;
    for (int code : codes)
        text += " " + std::to_string(code);
    return text;
}

TEST(DeviceButtons, FirstFourInTheJoystickInterfacesOrder)
{
    for (const auto &[name, keys, buttons, presses] : devices) {
        const key_bits capabilities = bits_of(keys);
        device_buttons found{};
        ASSERT_EQ(default_buttons(&capabilities, &found), static_cast<int>(buttons.size())) << name;
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(found[i].key, i < buttons.size() ? buttons[i] : 0) << name << ", button " << i + 1;
    }
}

// The chord of buttons 1 to 4 that a game port status byte stands for.
chord chord_of(unsigned char status)
{
    return static_cast<chord>((~status >> 4) & 0xF);
}

TEST(DeviceButtons, HeldKeysMakeTheChord)
{
    for (const auto &[name, keys, buttons, presses] : devices) {
        const key_bits capabilities = bits_of(keys);
        device_buttons found{};
        default_buttons(&capabilities, &found);
        for (const auto &[held, status] : presses) {
            const key_bits state = bits_of(held);
            const axis_values centred{};
            EXPECT_EQ(device_state(&found, 4, &state, &centred, 0), chord_of(status)) << name << ", held:" << shown(held);
        }
    }
}

struct named_press {
    std::vector<int> held;
    int hat_x;
    int hat_y;
    unsigned char status;
};

// BTN_DPAD_UP, BTN_DPAD_RIGHT, BTN_SELECT, BTN_DPAD_DOWN: the D-pad counts
// whether the pad reports its keys or hat 0 (y -1 up, x +1 right).
TEST(DeviceButtons, NamedDpadIsTheKeysOrHatZero)
{
    device_buttons buttons{};
    int bit = 0;
    for (const int key : {BTN_DPAD_UP, BTN_DPAD_RIGHT, BTN_SELECT, BTN_DPAD_DOWN})
        buttons[bit++] = key_button(static_cast<unsigned short>(key));
    const std::vector<named_press> presses = {
        {{}, 0, 0, 0xFF},
        {{BTN_DPAD_UP}, 0, 0, 0xEF},
        {{}, 0, -1, 0xEF},
        {{}, 1, 0, 0xDF},
        {{}, 1, -1, 0xCF},
        {{}, -1, 1, 0x7F},
        {{}, 0, 1, 0x7F},
        {{BTN_SELECT, BTN_DPAD_RIGHT}, 0, 0, 0x9F},
        {{BTN_SELECT}, 1, 1, 0x1F},
        {{BTN_SOUTH, BTN_DPAD_LEFT}, -1, 0, 0xFF},
        {{}, 0, -127, 0xEF},
    };
    for (const auto &[held, x, y, status] : presses) {
        const key_bits state = bits_of(held);
        axis_values axes{};
        axes[ABS_HAT0X] = x;
        axes[ABS_HAT0Y] = y;
        EXPECT_EQ(device_state(&buttons, 4, &state, &axes, 0), chord_of(status))
            << "held:" << shown(held) << ", hat " << x << "," << y;
    }
}

// Each step: the axis's value, and whether the button reads held after it.
struct axis_case {
    std::string name;
    button_id axis;
    int minimum;
    int maximum;
    std::vector<std::pair<int, bool>> steps;
};

// Held from three quarters of the range towards the named end, and then
// until the axis is back at its middle, so that a trigger resting a little
// above its middle or a pedal pressed half way does not flicker.
TEST(DeviceButtons, AxisIsHeldPastThreeQuartersUntilBackAtTheMiddle)
{
    const std::vector<axis_case> cases = {
        {"trigger 0..255", {ABS_Z, button_kind::axis_high}, 0, 255,
         {{0, false}, {191, false}, {192, true}, {129, true}, {128, false}, {255, true}, {0, false}}},
        {"trigger 0..1023", {ABS_RZ, button_kind::axis_high}, 0, 1023,
         {{767, false}, {768, true}, {600, true}, {512, false}}},
        {"stick up, -32768..32767", {ABS_Y, button_kind::axis_low}, -32768, 32767,
         {{0, false}, {-16384, false}, {-16385, true}, {-2, true}, {-1, false}, {32767, false}}},
        {"D-pad on ABS_X 0..255, resting at 127", {ABS_X, button_kind::axis_low}, 0, 255,
         {{127, false}, {0, true}, {126, true}, {127, false}, {255, false}}},
        {"D-pad on ABS_X 0..255, resting at 128", {ABS_X, button_kind::axis_high}, 0, 255,
         {{128, false}, {255, true}, {128, false}, {0, false}}},
        {"HID axis INT_MIN..INT_MAX, high", {ABS_Z, button_kind::axis_high}, INT_MIN, INT_MAX,
         {{0, false}, {INT_MIN, false}, {INT_MAX, true}, {1, true}, {0, false}, {1073741823, false}, {1073741824, true}}},
        {"HID axis INT_MIN..INT_MAX, low", {ABS_Z, button_kind::axis_low}, INT_MIN, INT_MAX,
         {{0, false}, {INT_MAX, false}, {INT_MIN, true}, {-2, true}, {-1, false}, {-1073741824, false}, {-1073741825, true}}},
        {"hat as an axis", {ABS_HAT1X, button_kind::axis_high}, -1, 1, {{0, false}, {1, true}, {0, false}, {-1, false}}},
    };
    for (const auto &[name, axis, minimum, maximum, steps] : cases) {
        device_buttons buttons{};
        buttons[0] = axis_button(axis, minimum, maximum);
        const key_bits keys{};
        chord held = 0;
        for (const auto &[value, expected] : steps) {
            axis_values axes{};
            axes[axis.code] = value;
            held = device_state(&buttons, 1, &keys, &axes, held);
            EXPECT_EQ(held, expected ? 1U : 0U) << name << ", at " << value;
        }
    }
}

} // namespace
