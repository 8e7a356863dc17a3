// Where the daemon reads the four buttons, each source giving the game port's
// status byte (buttons 1 to 4 in bits 4 to 7, 0 while held): the game port at
// I/O port 0x201, or up to eight -j paths, each a port image file or an input
// event device (a joystick, a gamepad, a pedal), held together.
#pragma once

#include "command_line.h"

#include <array>
#include <climits>

#include <linux/input.h>

// One bit per key code, in the kernel's layout: what EVIOCGBIT(EV_KEY) and
// EVIOCGKEY fill in.
constexpr int bits_per_word = 8 * sizeof(unsigned long);
using key_bits = std::array<unsigned long, (KEY_MAX + bits_per_word) / bits_per_word>;

// Button 1, 2, 3 or 4 of an input event device: a key, and for the D-pad's
// names also a direction of hat 0, so that a pad reporting either works.
struct device_button {
    unsigned short key = 0;      // 0: no such button, it reads up
    unsigned short hat_axis = 0; // ABS_HAT0X or ABS_HAT0Y; 0 when none
    int hat_direction = 0;       // -1 (up, left) or 1 (down, right)
};
using device_buttons = std::array<device_button, 4>;

// Hat 0's position, as EVIOCGABS reports it.
struct hat_position {
    int x = 0;
    int y = 0;
};

enum class source_kind : unsigned char {
    game_port,
    closed, // missing, gone or not usable yet: reads as all buttons up
    image,
    device,
};

struct source {
    const char *path = nullptr; // -j PATH as given; null for the game port
    source_kind kind = source_kind::closed;
    int fd = -1;
    device_buttons buttons; // a device's buttons 1 to 4
    bool has_hat = false;   // a device whose hat 0 stands for some of them
};

struct source_set {
    std::array<source, max_sources> list;
    int count = 0;
    const button_names *names = nullptr; // -b; no names: a device's first four buttons
    // The directory the daemon was started in: relative paths name files
    // there, also once -d has changed to "/".
    std::array<char, PATH_MAX> start_dir;
    unsigned changes = 0; // counts sources opened and closed, for the waiting
};

// The sources that the settings name: the game port without -j.
void sources_from_settings(const settings *given, source_set *sources);

// Before privileges are given up: the game port needs ioperm as root.
bool sources_access(const source_set *sources);

enum class open_result : unsigned char { opened, missing, refused };

// After privileges are given up, so that each path is opened with the
// invoking user's rights only. A path must be a regular file (a port image) or
// an input event device with at least one of the buttons asked for.
open_result source_open(source_set *sources, source *port);

// Closes what is open at the source's path and takes whatever is there now.
void source_reopen(source_set *sources, source *port);

// The full path of a -j source, resolved against the start directory; false
// when it does not fit.
bool source_full_path(const source_set *sources, const source *port, std::array<char, PATH_MAX> *path);

// One fresh read of every source, held buttons of all of them together. A
// device that is gone reads as all up and is closed.
unsigned char sources_read(source_set *sources);

// Reads a device's pending events without blocking, so that it is quiet until
// the next change; closes it when it is gone.
void source_drain(source_set *sources, source *port);

// Without -b: a device's first four buttons, numbered as the kernel's joystick
// interface numbers them: the codes it has from BTN_JOYSTICK up to KEY_MAX,
// then those from BTN_MISC up to BTN_JOYSTICK - 1. Returns how many it has.
int default_buttons(const key_bits *capabilities, device_buttons *buttons);

// With -b: the named keys; BTN_DPAD_UP, _DOWN, _LEFT and _RIGHT also name
// hat 0's directions.
device_buttons named_buttons(const button_names *names);

// The status byte for the keys held and the hat's position on a device.
unsigned char status_from_state(const device_buttons *buttons, const key_bits *held, hat_position hat);
