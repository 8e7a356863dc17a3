// Input event devices: what a device is (its keys, axes and properties, and
// so whether it is a pad at all), the buttons a chord's bits stand for on it,
// and how its state is read and turned into the bits held.
#pragma once

#include "command_line.h"

#include <array>
#include <span>
#include <string_view>

#include <linux/input.h>

// One bit per code, in the kernel's layout: what EVIOCGBIT and EVIOCGKEY
// fill in, and what sysfs's capabilities files show.
constexpr int bits_per_word = 8 * sizeof(unsigned long);
using key_bits = std::array<unsigned long, (KEY_MAX + bits_per_word) / bits_per_word>;
using axis_bits = std::array<unsigned long, (ABS_MAX + bits_per_word) / bits_per_word>;
using property_bits = std::array<unsigned long, (INPUT_PROP_MAX + bits_per_word) / bits_per_word>;

// Every absolute axis's value, by code.
using axis_values = std::array<int, ABS_CNT>;

bool has_bit(std::span<const unsigned long> bits, int code);

// What a device is, as far as the daemon cares.
struct device_shape {
    key_bits keys{};
    axis_bits axes{};
    property_bits properties{};
    unsigned short vendor = 0;
};

// The shape of the device open at fd; false when it is no input device.
bool read_shape(int fd, device_shape *shape);

// Whether a device with these keys is a joystick or gamepad: it has a key of
// the joystick or gamepad ranges (BTN_JOYSTICK up to BTN_DIGI) or one of the
// extra buttons (BTN_TRIGGER_HAPPY1 to BTN_TRIGGER_HAPPY40). A keyboard, a
// mouse, a touchpad or a motion sensor has none of them.
bool has_joystick_keys(std::span<const unsigned long> keys);

// A joystick or gamepad, and neither a pad's motion sensors (which some
// drivers give joystick keys too) nor its touchpad.
bool is_pad(const device_shape *shape);

enum class axis_use : unsigned char {
    none,
    hat,  // hat 0 for a D-pad name: held while the axis points `direction`
    high, // held from three quarters of the range up, until back at the middle
    low,  // held from a quarter of the range down, until back at the middle
};

// How one chord bit reads on an input event device: a key, an axis, or for
// the D-pad's names either, so that a pad reporting keys or a hat works.
struct device_button {
    unsigned short key; // 0: no key
    unsigned short axis;
    axis_use use;
    signed char direction; // hat: -1 (up, left) or 1 (down, right)
    unsigned char standard; // learning mode: 1 + the index of the standard name it is here; 0 for none
    int minimum;           // high, low: the axis's range as EVIOCGABS gives it
    long long range;       // maximum - minimum: INT_MIN to INT_MAX is a range too
};
// Not set up until a device is taken, so that the places of sources that
// are not devices never bring these pages into memory; {} makes one none.
using device_buttons = std::array<device_button, max_buttons>;

// Learning mode watches everything a device has, up to the bits a chord
// has: its keys, the D-pad as keys or hat 0, and every other axis both ways
// but the way it rests at. Returns how many.
int every_button(int fd, const device_shape *shape, device_buttons *buttons);

// The buttons that the settings name, for the bits in `watched`; the others
// read nothing. Returns how many bits there are.
int watched_buttons(int fd, const device_shape *shape, const settings *given, chord watched, device_buttons *buttons);

// The standard names of this pad in learning mode's buttons.
void name_standard_buttons(int fd, const device_shape *shape, device_buttons *buttons, int count);

// "a BTN_SOUTH, b BTN_EAST, ..., lefttrigger ABS_Z, ...": what each standard
// name is on this pad, those it lacks left out; "" for a pad with none. Cut
// at a name's end where the room ends.
std::string_view describe_standard_names(int fd, const device_shape *shape, std::span<char> text);

// Leaves each button what the device has of it; false when it has none of them.
bool fit_buttons(const device_shape *shape, device_buttons *buttons, int count);

// The kernel sends this reader the buttons' events only, and the axes' that
// stand for some: sticks, unnamed triggers and the other buttons of a pad in
// play wake nobody.
void ask_only_for_buttons(int fd, const device_buttons *buttons, int count);

// The bits held now, whatever the event queue holds, given those held
// before; false when the device is gone or unusable.
bool read_device(int fd, const device_buttons *buttons, int count, chord *held);

// Without -b: a device's first four buttons, numbered as the kernel's joystick
// interface numbers them: the codes it has from BTN_JOYSTICK up to KEY_MAX,
// then those from BTN_MISC up to BTN_JOYSTICK - 1. Returns how many it has.
int default_buttons(const key_bits *capabilities, device_buttons *buttons);

// A key of the D-pad's names or another: BTN_DPAD_UP, _DOWN, _LEFT and
// _RIGHT also name hat 0's directions.
device_button key_button(unsigned short key);

// An axis pushed past three quarters of its range, from minimum to maximum.
device_button axis_button(button_id axis, int minimum, int maximum);

bool same_button(const device_button *a, const device_button *b);
bool reads_something(const device_button *button);

// The chord held on a device with these keys and axes, given what was held
// before: an axis stays held until it is back at its middle.
chord device_state(const device_buttons *buttons, int count, const key_bits *keys, const axis_values *axes,
                   chord before);

// The kernel's name of what the button reads, as a list takes it: a key,
// an axis with '-' for its low side, a D-pad name for hat 0.
std::string_view button_name(const device_button *button, std::array<char, 32> *name);
