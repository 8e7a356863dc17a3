// Which keys of an input event device are buttons 1 to 4, and the status
// byte their state makes, over devices of the kinds people plug in.
#include "buttons.h"

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

TEST(DeviceButtons, FirstFourInTheJoystickInterfacesOrder)
{
    for (const auto &[name, keys, buttons, presses] : devices) {
        const key_bits capabilities = bits_of(keys);
        const button_codes found = find_buttons(&capabilities);
        ASSERT_EQ(found.count, static_cast<int>(buttons.size())) << name;
        for (int i = 0; i < found.count; ++i)
            EXPECT_EQ(found.code[i], buttons[i]) << name << ", button " << i + 1;
    }
}

TEST(DeviceButtons, HeldKeysMakeTheStatusByte)
{
    for (const auto &[name, keys, buttons, presses] : devices) {
        const key_bits capabilities = bits_of(keys);
        const button_codes found = find_buttons(&capabilities);
        for (const auto &[held, status] : presses) {
            const key_bits state = bits_of(held);
            std::string shown;
            for (int code : held)
                shown += " " + std::to_string(code);
            EXPECT_EQ(status_from_keys(&found, &state), status) << name << ", held:" << shown;
        }
    }
}

} // namespace
