// The key and button names -b accepts, as the kernel's header spells them,
// and how a LIST of them becomes buttons 1 to 4.
#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <linux/input-event-codes.h>

namespace {

TEST(KeyNames, KernelNamesAliasesAndCodes)
{
    const std::vector<std::pair<std::string, int>> names = {
        {"BTN_SOUTH", BTN_SOUTH},   {"BTN_A", BTN_SOUTH},         {"BTN_GAMEPAD", BTN_SOUTH},
        {"BTN_EAST", BTN_EAST},     {"BTN_NORTH", BTN_NORTH},     {"BTN_WEST", BTN_WEST},
        {"BTN_SELECT", BTN_SELECT}, {"BTN_START", BTN_START},     {"BTN_MODE", BTN_MODE},
        {"BTN_TL", BTN_TL},         {"BTN_TR2", BTN_TR2},         {"BTN_TRIGGER", BTN_TRIGGER},
        {"BTN_DPAD_UP", 0x220},     {"BTN_DPAD_RIGHT", 0x223},    {"BTN_TRIGGER_HAPPY40", 0x2e7},
        {"KEY_ESC", 1},             {"KEY_F13", KEY_F13},         {"KEY_VOLUMEUP", KEY_VOLUMEUP},
        {"KEY_HANGUEL", KEY_HANGEUL}, {"KEY_A", 30},              {"30", 30},
        {"0304", BTN_SOUTH},        {"767", KEY_MAX},             {"1", 1},
    };
    for (const auto &[name, code] : names)
        EXPECT_EQ(key_code(name), code) << name;
    for (const std::string name : {"", "btn_south", "BTN_", "BTN_SOUTH ", " BTN_SOUTH", "KEY_MAX", "KEY_CNT",
                                   "KEY_RESERVED", "0", "768", "-1", "+30", "0x130", "3O", "99999999999999999999",
                                   "EV_KEY", "ABS_HAT0X"})
        EXPECT_EQ(key_code(name), -1) << "[" << name << "]";
}

TEST(ButtonList, OneToFourNamesInOrder)
{
    const std::vector<std::pair<std::string, std::vector<int>>> lists = {
        {"BTN_SELECT,BTN_START", {BTN_SELECT, BTN_START}},
        {"BTN_TL", {BTN_TL}},
        {"BTN_DPAD_UP,BTN_DPAD_DOWN,BTN_DPAD_LEFT,BTN_DPAD_RIGHT",
         {BTN_DPAD_UP, BTN_DPAD_DOWN, BTN_DPAD_LEFT, BTN_DPAD_RIGHT}},
        {"304,BTN_MODE", {BTN_SOUTH, BTN_MODE}},
    };
    for (const auto &[list, codes] : lists) {
        button_names names;
        const bool good = readbuttons(list.c_str(), &names);
        ASSERT_TRUE(good) << list;
        ASSERT_EQ(names.count, static_cast<int>(codes.size())) << list;
        for (size_t i = 0; i < codes.size(); ++i)
            EXPECT_EQ(names.code[i], codes[i]) << list << ", button " << i + 1;
    }
    for (const std::string list : {"", ",", "BTN_A,", ",BTN_A", "BTN_A,,BTN_B", "BTN_A BTN_B", "BTN_A;BTN_B",
                                   "KEY_A,KEY_B,KEY_C,KEY_D,KEY_E", "BTN_A,BTN_SOUTH", "KEY_A,KEY_B,30", "BTN_FOO"}) {
        button_names names;
        EXPECT_FALSE(readbuttons(list.c_str(), &names)) << "[" << list << "]";
        EXPECT_EQ(names.count, 0) << "a refused list leaves the names as they were: [" << list << "]";
    }
}

} // namespace
