// Virtual input devices made through uinput, shaped as the kernel's drivers
// make the real ones: the same name, bus and ids, keys, absolute axes with
// their ranges and resting values, and input properties. Plugged in while the
// uinput descriptor is open; destroying it is a real unplug.
#pragma once

#include <string>
#include <vector>

#include <linux/input.h>
#include <sys/types.h>

struct axis_shape {
    int code = 0; // ABS_*
    int minimum = 0;
    int maximum = 0;
    int resting = 0; // the value it reads when plugged in and let go
};

struct pad_shape {
    std::string name; // as EVIOCGNAME and /sys/class/input/eventN/device/name give it
    unsigned short bus = BUS_USB;
    unsigned short vendor = 0;
    unsigned short product = 0;
    std::vector<int> keys;       // KEY_* and BTN_*
    std::vector<axis_shape> axes;
    std::vector<int> properties; // INPUT_PROP_*
};

// Pads as their drivers make them.
extern const pad_shape xbox_360_pad;          // xpad, USB
extern const pad_shape xbox_one_pad;          // xpad, USB: triggers up to 1023
extern const pad_shape xbox_bluetooth_pad;    // hid-microsoft, Bluetooth: triggers as brake and gas, right stick on Z and Rz
extern const pad_shape dualsense_pad;         // hid-playstation: the pad itself
extern const pad_shape dualsense_motion;      // its motion sensors, a device of their own
extern const pad_shape dualsense_touchpad;    // its touchpad, a device of its own
extern const pad_shape generic_gamepad;       // hid-generic, a game pad: buttons from BTN_SOUTH up
extern const pad_shape generic_joystick;      // hid-generic, a joystick: BTN_TRIGGER up, then BTN_TRIGGER_HAPPY
extern const pad_shape android_pad;           // hid-generic: Back and Home as keys, triggers as brake and gas
extern const pad_shape switch_pro_pad;        // hid-nintendo, Bluetooth: positional names, the D-pad a hat
extern const pad_shape joycon_left;           // hid-nintendo, Bluetooth: the D-pad as BTN_DPAD_* keys
extern const pad_shape snes_style_pad;        // a cheap USB pad: the D-pad on ABS_X/ABS_Y, 0 to 255
extern const pad_shape usb_keyboard;          // a keyboard, which is no pad

// The shape the daemon's older tests use: "tabrin test device" on the virtual
// bus, with these keys and these axes (hat 0 from -1 to 1, others -32768 to 32767).
pad_shape test_device(const std::vector<int> &keys, const std::vector<int> &axes = {});

// A device made through uinput: plugged in while `fd` is open and created.
struct virtual_device {
    int fd = -1;
    std::string node; // its /dev/input/eventN
    virtual_device() = default;
    virtual_device(const virtual_device &) = delete;
    virtual_device &operator=(const virtual_device &) = delete;
    ~virtual_device();
};

// Plugs the device in with this shape; "" once its event node is there, else
// what stood in the way.
std::string plug(virtual_device *device, const pad_shape &shape);
std::string plug(virtual_device *device, const std::vector<int> &keys, const std::vector<int> &axes = {});

// A pad that can rumble, as a force-feedback driver makes it: EV_FF with
// FF_RUMBLE, and room for four effects. Its requests wait for answer_rumble.
std::string plug_rumbling(virtual_device *device, const pad_shape &shape);

// What a daemon asked of a rumbling pad.
struct rumble_seen {
    std::vector<ff_effect> uploaded;
    std::vector<int> erased;         // effect ids
    std::vector<input_event> played; // EV_FF: the effect's id, 1 to start and 0 to stop
};

// Answers the pad's pending uploads (accepted, or refused with EINVAL) and
// erasures, and notes its EV_FF events; returns at once.
void answer_rumble(const virtual_device *device, rumble_seen *seen, bool refuse = false);

void unplug(virtual_device *device);

// A reconnect, as after a Bluetooth pad's sleep: unplugged, and plugged again
// under another eventN, since a device plugged in meanwhile took the old one
// (gone again once this returns). "" once the new node is there.
std::string replug(virtual_device *device, const pad_shape &shape);

// Reports these changes of one type as one report, the way a real device does.
void report(const virtual_device *device, int type, const std::vector<int> &codes, int value);

// Keys down (1) or up (0).
void set_keys(const virtual_device *device, const std::vector<int> &keys, int value);
inline void press(const virtual_device *device, const std::vector<int> &keys) { set_keys(device, keys, 1); }
inline void release(const virtual_device *device, const std::vector<int> &keys) { set_keys(device, keys, 0); }

void move_axis(const virtual_device *device, int axis, int value);

// The times the daemon has gone to sleep (voluntary switches) and been
// preempted (involuntary ones). Blocked in the kernel, a process runs nothing:
// while this stays the same, it makes no system call at all.
long wakeups(pid_t pid);

// Whether the daemon sleeps in epoll_wait without a timeout (-1): waiting
// for events, with nothing pending and nothing to poll.
bool waits_for_events(pid_t pid);

// No command runs, and the daemon waits for events.
bool at_rest(pid_t pid);
bool wait_idle(pid_t pid);

// Waits until the daemon has woken since `mark` (a wakeups() count), done
// what there was to do, and gone back to waiting for events.
bool wait_handled(pid_t pid, long mark);
