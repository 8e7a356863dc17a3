// The daemon's command line: the bindings and the settings that start-up and
// the loop use, read from the argument vector before anything happens.
#pragma once

#include "button_names.h"

#include <array>
#include <cstdint>
#include <string_view>

// The port bits of the four buttons.
constexpr int all_buttons = 0xF0;

// At most this many -j sources at once.
constexpr int max_sources = 8;

// A set of buttons, one bit each: bits 0 to 3 are buttons 1 to 4, the ones
// that digits name; the bits above them are the buttons that named lists
// name, in the order in which they were first named.
using chord = std::uint64_t;
constexpr int digit_buttons = 4;
constexpr int max_buttons = 64;
constexpr chord digit_chord = 0xF;

// At most this many -r, -h, -a and -2 bindings together.
constexpr int max_bindings = 256;

// How a binding fires: run after the settle time (or on a tap, or at once),
// hold once the chord has been held for its time, repeat as run does and
// again every period while the chord stays held, double at the second of two
// presses within the settle time.
enum class binding_kind : unsigned char { run, hold, repeat, double_press };

// A command bound to a chord. Command and list point into the argument
// vector, or into the copy that hides the commands.
struct binding {
    chord buttons;
    const char *command;
    const char *list; // as given, for -v
    int usec;         // hold: the hold time; repeat: the period; 0 for the others
    binding_kind kind;
    bool digits; // a digit list: its release wait covers every button
};

// Buttons 1 to 4 named with -b, as key codes; `count` 0 when -b was not given.
struct button_names {
    std::array<unsigned short, 4> code{};
    int count = 0;
};

// The fields that start-up writes come first and the large arrays last, of
// which only the entries in use are written: a daemon with a few bindings
// has few pages of them in memory.
struct settings {
    int binding_count = 0;
    int button_count = digit_buttons; // chord bits in use
    int poll_usec = 500000;
    int wait_usec = 300000;
    int rumble_usec = 0; // -z: how long a pad rumbles when a binding fires there; 0 for never
    int active_mask = all_buttons;
    bool daemon_mode = false;
    bool verbose = false;
    bool learning = false; // -m: every button of every pad is told, nothing is run
    bool named_chords = false; // some binding's list is of names: it may be tapped
    const char *lock_path = nullptr;
    int source_count = 0; // 0 and no pads: the game port
    int pad_count = 0;
    button_names buttons;
    std::array<const char *, max_sources> source_paths{}; // -j, in the given order
    std::array<const char *, max_sources> pad_patterns{}; // -n, shell patterns for pads' names
    std::array<button_id, max_buttons> named{};            // by chord bit; bits 0 to 3 unused
    std::array<binding, max_bindings> bindings;            // set up as they are bound: the rest is never touched
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

// A list of digits, or of names joined by '+', as a chord; new names take
// the next free bits of `given`. 0 after reporting an error.
chord readchord(const char *text, settings *given);
