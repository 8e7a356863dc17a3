// Which keys of an input event device are buttons 1 to 4, with and without
// -b, and the status byte their state makes, over devices of the kinds people
// plug in; the D-pad as keys and as hat 0.
#include "sources.h"

#include <gtest/gtest.h>

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
        device_buttons found;
        ASSERT_EQ(default_buttons(&capabilities, &found), static_cast<int>(buttons.size())) << name;
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(found[i].key, i < buttons.size() ? buttons[i] : 0) << name << ", button " << i + 1;
    }
}

TEST(DeviceButtons, HeldKeysMakeTheStatusByte)
{
    for (const auto &[name, keys, buttons, presses] : devices) {
        const key_bits capabilities = bits_of(keys);
        device_buttons found;
        default_buttons(&capabilities, &found);
        for (const auto &[held, status] : presses) {
            const key_bits state = bits_of(held);
            EXPECT_EQ(status_from_state(&found, &state, {}), status) << name << ", held:" << shown(held);
        }
    }
}

struct named_press {
    std::vector<int> held;
    hat_position hat;
    unsigned char status;
};

// -b BTN_DPAD_UP,BTN_DPAD_RIGHT,BTN_SELECT,BTN_DPAD_DOWN: the D-pad counts
// whether the pad reports its keys or hat 0 (y -1 up, x +1 right).
TEST(DeviceButtons, NamedDpadIsTheKeysOrHatZero)
{
    button_names names;
    names.code = {BTN_DPAD_UP, BTN_DPAD_RIGHT, BTN_SELECT, BTN_DPAD_DOWN};
    names.count = 4;
    const device_buttons buttons = named_buttons(&names);
    const std::vector<named_press> presses = {
        {{}, {}, 0xFF},
        {{BTN_DPAD_UP}, {}, 0xEF},
        {{}, {0, -1}, 0xEF},
        {{}, {1, 0}, 0xDF},
        {{}, {1, -1}, 0xCF},
        {{}, {-1, 1}, 0x7F},
        {{}, {0, 1}, 0x7F},
        {{BTN_SELECT, BTN_DPAD_RIGHT}, {}, 0x9F},
        {{BTN_SELECT}, {1, 1}, 0x1F},
        {{BTN_SOUTH, BTN_DPAD_LEFT}, {-1, 0}, 0xFF},
        {{}, {0, -127}, 0xEF},
    };
    for (const auto &[held, hat, status] : presses) {
        const key_bits state = bits_of(held);
        EXPECT_EQ(status_from_state(&buttons, &state, hat), status)
            << "held:" << shown(held) << ", hat " << hat.x << "," << hat.y;
    }
}

TEST(DeviceButtons, NamedButtonsKeepTheirOrderAndUnnamedOnesReadUp)
{
    button_names names;
    names.code = {KEY_B, KEY_A, 0, 0};
    names.count = 2;
    const device_buttons buttons = named_buttons(&names);
    EXPECT_EQ(buttons[0].key, KEY_B);
    EXPECT_EQ(buttons[1].key, KEY_A);
    EXPECT_EQ(buttons[2].key, 0);
    EXPECT_EQ(buttons[0].hat_axis, 0);
    const key_bits state = bits_of({KEY_A, KEY_C, BTN_SOUTH});
    EXPECT_EQ(status_from_state(&buttons, &state, {0, -1}), 0xDF);
}

} // namespace
