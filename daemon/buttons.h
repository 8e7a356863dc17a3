// Where the daemon reads the four buttons: the game port's status byte at
// I/O port 0x201, a port image file named with -j, or an input event device
// (a joystick or gamepad) named with -j.
#pragma once

#include "report.h"

#include <array>

#include <linux/input.h>

// One bit per key code, in the kernel's layout: what EVIOCGBIT(EV_KEY) and
// EVIOCGKEY fill in.
constexpr int bits_per_word = 8 * sizeof(unsigned long);
using key_bits = std::array<unsigned long, (KEY_MAX + bits_per_word) / bits_per_word>;

// The key codes of buttons 1 to 4 on an input event device; buttons past
// `count` do not exist and always read up.
struct button_codes {
    std::array<unsigned short, 4> code{};
    int count = 0;
};

struct button_port {
    const char *path = nullptr; // -j PATH; null for the game port
    int fd = -1;                // PATH while open; -1 for the game port and while a device is gone
    bool device = false;        // PATH is an input event device, reopened when it comes back
    button_codes buttons;       // a device's buttons 1 to 4
    const reporting *report = nullptr; // told when a device is lost and found again
};

// Before privileges are given up: the game port needs ioperm as root.
bool port_access(const button_port *port);

// After privileges are given up, so that PATH is opened with the invoking
// user's rights only. PATH must be a regular file (a port image) or an
// input event device with at least one button.
bool port_open(button_port *port);

// One fresh read of the status byte: buttons 1 to 4 in bits 4 to 7, 0 while
// held, bits 0 to 3 set. A device that is gone reads as all up, and is looked
// for again at the next read.
unsigned char port_read(button_port *port);

// A device's first four buttons, numbered as the kernel's joystick interface
// numbers them: the codes it has from BTN_JOYSTICK up to KEY_MAX, then those
// from BTN_MISC up to BTN_JOYSTICK - 1.
button_codes find_buttons(const key_bits *capabilities);

// The status byte for the keys held on a device with these buttons.
unsigned char status_from_keys(const button_codes *buttons, const key_bits *held);
