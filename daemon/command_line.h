// The daemon's command line: the command table and the settings that start-up
// and the loop use, read from the argument vector before anything happens.
#pragma once

#include <array>
#include <string_view>

// Indexed by button set (bit 0 is button 1); null where nothing is bound. The
// commands point into the argument vector.
using command_table = std::array<const char *, 16>;

// The port bits of the four buttons.
constexpr int all_buttons = 0xF0;

// At most this many -j sources at once.
constexpr int max_sources = 8;

// Buttons 1 to 4 named with -b, as key codes; `count` 0 when -b was not given.
struct button_names {
    std::array<unsigned short, 4> code{};
    int count = 0;
};

struct settings {
    command_table commands{};
    int poll_usec = 500000;
    int wait_usec = 300000;
    int active_mask = all_buttons;
    bool daemon_mode = false;
    const char *lock_path = nullptr;
    std::array<const char *, max_sources> source_paths{}; // -j, in the given order
    int source_count = 0;                                  // 0: the game port
    button_names buttons;
};

constexpr std::string_view usage =
    "\nUsage: tabrin [-t secs] [-r [1234] \"cmd\"]\n"
    "Runs command when two joystick buttons are pressed,\n"
    "See man page tabrin(1) for details\n";

// 0: good; 1: an error, already reported; 2: the usage text is called for.
int readargs(int argc, char **argv, settings *result);

// The button set named by the digits 1 to 4, or 0 after reporting an error.
int readmask(const char *text);

// Milliseconds from 1 to 60000 as microseconds, or -1 after reporting an error.
int readtime(const char *text);

// One to four key names or decimal codes separated by commas; false after
// reporting an error.
bool readbuttons(const char *text, button_names *names);

// The code of a key or button named as in linux/input-event-codes.h
// ("BTN_START", "KEY_F13") or by its decimal code; -1 for anything else.
int key_code(std::string_view name);
