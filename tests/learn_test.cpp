// The lines learning mode prints: pads found and lost, and chords held.
#include "command_line.h"
#include "learn.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <linux/input-event-codes.h>
#include <unistd.h>

namespace {

struct found_case {
    const char *path;
    const char *name;
    unsigned short vendor;
    unsigned short product;
    std::string line;
};

TEST(LearnLines, FoundAndLostNameThePathTheNameAndTheIds)
{
    const std::vector<found_case> cases = {
        {"/dev/input/event5", "Xbox Wireless Controller", 0x045e, 0x0b13,
         "found /dev/input/event5: Xbox Wireless Controller (045e:0b13)\n"},
        {"/dev/input/event12", "USB Gamepad ", 0x0810, 0xe501, "found /dev/input/event12: USB Gamepad  (0810:e501)\n"},
        {"/dev/input/by-id/usb-pad-event-joystick", "", 0, 0xffff,
         "found /dev/input/by-id/usb-pad-event-joystick:  (0000:ffff)\n"},
    };
    learn_line line;
    for (const auto &[path, name, vendor, product, text] : cases)
        EXPECT_EQ(format_found(&line, path, name, vendor, product), text);
    EXPECT_EQ(format_lost(&line, "/dev/input/event5"), "lost /dev/input/event5\n");
    EXPECT_EQ(format_not_taken(&line, "/dev/input/event5", "Xbox Wireless Controller", 0x045e, 0x0b13,
                               "does not match 'Xbox'"),
              "not taken /dev/input/event5: Xbox Wireless Controller (045e:0b13): does not match 'Xbox'\n");
    EXPECT_EQ(format_not_taken(&line, "/dev/input/event9", "USB Gamepad ", 0x0810, 0xe501, "Permission denied"),
              "not taken /dev/input/event9: USB Gamepad  (0810:e501): Permission denied\n");

    // A name chosen by whoever owns the pad: an escape sequence that would
    // set the terminal's title and clear it, newlines that would forge lines,
    // bytes that are not UTF-8. None of it reaches the terminal.
    EXPECT_EQ(format_found(&line, "/dev/input/event9", "\x1b]0;owned\x07\x1b[2J\nlost /dev/input/event5\n\xff\xc3 pad",
                           0x057e, 0x2009),
              "found /dev/input/event9: ?]0;owned??[2J?lost /dev/input/event5??? pad (057e:2009)\n");
    EXPECT_EQ(format_found(&line, "/dev/input/event9", "Pad \xe2\x80\x94 \xc3\xa9", 1, 2),
              "found /dev/input/event9: Pad \xe2\x80\x94 \xc3\xa9 (0001:0002)\n");

    // A name as long as a path can be still leaves the line whole.
    const std::string path(PATH_MAX - 1, 'p');
    const std::string name(255, 'n');
    EXPECT_EQ(format_found(&line, path.c_str(), name.c_str(), 1, 2), "found " + path + ": " + name + " (0001:0002)\n");
}

struct chord_case {
    std::vector<std::string_view> names;
    long long usec;
    std::string line;
};

TEST(LearnLines, ChordsAsARunLineTakesThemWithTheirTimeInHundredths)
{
    const std::vector<chord_case> cases = {
        {{"BTN_SELECT", "BTN_START"}, 1420000, "BTN_SELECT+BTN_START held 1.42 s\n"},
        {{"BTN_MODE"}, 1424999, "BTN_MODE held 1.42 s\n"},
        {{"BTN_MODE"}, 1425000, "BTN_MODE held 1.43 s\n"},
        {{"ABS_Z", "ABS_RZ"}, 5000, "ABS_Z+ABS_RZ held 0.01 s\n"},
        {{"BTN_SELECT", "ABS_Y-"}, 4999, "BTN_SELECT+ABS_Y- held 0.00 s\n"},
        {{"BTN_DPAD_UP"}, 0, "BTN_DPAD_UP held 0.00 s\n"},
        {{"BTN_DPAD_UP"}, -20000, "BTN_DPAD_UP held 0.00 s\n"},
        {{"BTN_SOUTH"}, 59995000, "BTN_SOUTH held 60.00 s\n"},
        {{"BTN_SOUTH"}, 90061230000, "BTN_SOUTH held 90061.23 s\n"},
        {{"KEY_BACK", "KEY_HOMEPAGE", "BTN_TL", "BTN_TR", "BTN_TL2", "BTN_TR2", "BTN_THUMBL"}, 250000,
         "KEY_BACK+KEY_HOMEPAGE+BTN_TL+BTN_TR+BTN_TL2+BTN_TR2+BTN_THUMBL held 0.25 s\n"},
    };
    learn_line line;
    for (const auto &[names, usec, text] : cases)
        EXPECT_EQ(format_chord(&line, names, usec, nullptr), text);
}

TEST(LearnLines, ChordTooLongForTheLineEndsWithTheNamesThatFit)
{
    const std::string name(100, 'B');
    const std::vector<std::string_view> names(100, name);
    learn_line line;
    const std::string text(format_chord(&line, names, 1000000, nullptr));
    EXPECT_LE(text.size(), line.size());
    ASSERT_GT(text.size(), name.size() + 13);
    const std::string_view held = " held 1.00 s\n";
    EXPECT_EQ(text.substr(text.size() - held.size() - 1), "B" + std::string(held));
    // Whole names, each but the first after a +.
    EXPECT_EQ((text.size() - held.size() + 1) % (name.size() + 1), 0U) << "a name cut short";
}

// Two pads of one name: each chord says which pad it was held on.
TEST(LearnLines, ChordsNameTheirPadWhenSeveralMayBeWatched)
{
    learn_line line;
    const std::vector<std::string_view> select = {"BTN_SELECT"};
    EXPECT_EQ(format_chord(&line, select, 300000, "/dev/input/event5"), "BTN_SELECT held 0.30 s on /dev/input/event5\n");
    EXPECT_EQ(format_chord(&line, select, 300000, "/dev/input/event6"), "BTN_SELECT held 0.30 s on /dev/input/event6\n");
    EXPECT_EQ(format_chord(&line, select, 300000, "pad\n\x1b[2J"), "BTN_SELECT held 0.30 s on pad??[2J\n");

    // The longest path after the most names: the path is cut, the line ends
    // with "...", and never passes its room.
    const std::string path(PATH_MAX - 1, 'p');
    const std::string name(31, 'B');
    const std::vector<std::string_view> names(64, name);
    const std::string text(format_chord(&line, names, 1000000, path.c_str()));
    EXPECT_EQ(text.size(), line.size());
    EXPECT_EQ(text.substr(text.size() - 8), "pppp...\n");
    EXPECT_NE(text.find(" held 1.00 s on ppp"), std::string::npos);
}

TEST(LearnLines, KeysByTheNameTheKernelGivesThemFirst)
{
    const std::vector<std::pair<unsigned short, std::string_view>> names = {
        {BTN_SOUTH, "BTN_SOUTH"},      {BTN_EAST, "BTN_EAST"},       {BTN_SELECT, "BTN_SELECT"},
        {BTN_TRIGGER, "BTN_TRIGGER"},  {BTN_0, "BTN_0"},             {BTN_LEFT, "BTN_LEFT"},
        {BTN_TOOL_PEN, "BTN_TOOL_PEN"}, {BTN_GEAR_DOWN, "BTN_GEAR_DOWN"}, {BTN_TRIGGER_HAPPY1, "BTN_TRIGGER_HAPPY1"},
        {BTN_DPAD_UP, "BTN_DPAD_UP"},  {KEY_HANGEUL, "KEY_HANGEUL"}, {KEY_ESC, "KEY_ESC"},
        {KEY_HOMEPAGE, "KEY_HOMEPAGE"}, {0, ""},                     {0x12c, ""},
        {KEY_MAX, ""},
    };
    for (const auto &[code, name] : names)
        EXPECT_EQ(key_name(code), name) << code;
}

TEST(LearnLines, EachLineIsOneWriteToStandardOutput)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int saved = dup(1);
    dup2(ends[1], 1);
    learn_line line;
    learn_tell(format_lost(&line, "/dev/input/event7"));
    dup2(saved, 1);
    close(saved);
    close(ends[1]);
    std::array<char, 64> got {};
    EXPECT_EQ(std::string(got.data(), static_cast<size_t>(read(ends[0], got.data(), got.size()))),
              "lost /dev/input/event7\n");
    close(ends[0]);
}

} // namespace
