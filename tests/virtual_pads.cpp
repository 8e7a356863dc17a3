#include "virtual_pads.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const std::vector<int> xbox_keys = {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR,
                                    BTN_SELECT, BTN_START, BTN_MODE, BTN_THUMBL, BTN_THUMBR};

constexpr axis_shape hat_x = {ABS_HAT0X, -1, 1, 0};
constexpr axis_shape hat_y = {ABS_HAT0Y, -1, 1, 0};

std::vector<axis_shape> xbox_axes(int trigger_maximum)
{
    return {{ABS_X, -32768, 32767, 0}, {ABS_Y, -32768, 32767, 0}, {ABS_Z, 0, trigger_maximum, 0},
            {ABS_RX, -32768, 32767, 0}, {ABS_RY, -32768, 32767, 0}, {ABS_RZ, 0, trigger_maximum, 0},
            hat_x, hat_y};
}

// hid-generic numbers a pad's buttons from a base code up to the sixteenth,
// and the ones past it from BTN_TRIGGER_HAPPY1 on.
std::vector<int> hid_buttons(int base, int count)
{
    std::vector<int> keys;
    keys.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        keys.push_back(i < 16 ? base + i : BTN_TRIGGER_HAPPY1 + i - 16);
    return keys;
}

std::vector<int> keyboard_keys()
{
    std::vector<int> keys;
    for (int key = KEY_ESC; key <= KEY_KPDOT; ++key)
        keys.push_back(key);
    keys.insert(keys.end(), {KEY_F11, KEY_F12, KEY_RIGHTCTRL, KEY_RIGHTALT, KEY_HOME, KEY_UP, KEY_PAGEUP, KEY_LEFT,
                             KEY_RIGHT, KEY_END, KEY_DOWN, KEY_PAGEDOWN, KEY_INSERT, KEY_DELETE, KEY_LEFTMETA});
    return keys;
}

std::string reason(const std::string &what)
{
    return what + ": " + strerror(errno);
}

// The event node of input device `sysname`, such as "event7"; "" while there is none.
std::string event_name(const std::string &sysname)
{
    std::string found;
    DIR *dir = opendir(("/sys/class/input/" + sysname).c_str());
    if (dir == nullptr)
        return found;
    while (const dirent *entry = readdir(dir))
        if (strncmp(entry->d_name, "event", 5) == 0)
            found = entry->d_name;
    closedir(dir);
    return found;
}

bool is_character_device(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::string add_axis(int fd, const axis_shape &axis)
{
    uinput_abs_setup setup {};
    setup.code = static_cast<unsigned short>(axis.code);
    setup.absinfo.minimum = axis.minimum;
    setup.absinfo.maximum = axis.maximum;
    setup.absinfo.value = axis.resting;
    if (ioctl(fd, UI_SET_ABSBIT, axis.code) != 0 || ioctl(fd, UI_ABS_SETUP, &setup) != 0)
        return reason("UI_ABS_SETUP");
    return "";
}

std::string set_capabilities(int fd, const pad_shape &shape)
{
    if ((!shape.keys.empty() && ioctl(fd, UI_SET_EVBIT, EV_KEY) != 0) ||
        (!shape.axes.empty() && ioctl(fd, UI_SET_EVBIT, EV_ABS) != 0))
        return reason("UI_SET_EVBIT");
    for (int key : shape.keys)
        if (ioctl(fd, UI_SET_KEYBIT, key) != 0)
            return reason("UI_SET_KEYBIT");
    for (const axis_shape &axis : shape.axes)
        if (std::string failed = add_axis(fd, axis); !failed.empty())
            return failed;
    for (int property : shape.properties)
        if (ioctl(fd, UI_SET_PROPBIT, property) != 0)
            return reason("UI_SET_PROPBIT");
    return "";
}

} // namespace

const pad_shape xbox_360_pad = {"Microsoft X-Box 360 pad", BUS_USB, 0x045e, 0x028e, xbox_keys, xbox_axes(255), {}};

const pad_shape xbox_one_pad = {"Microsoft X-Box One S pad", BUS_USB, 0x045e, 0x02ea, xbox_keys, xbox_axes(1023), {}};

// The same pad over Bluetooth: BTN_C, BTN_Z, BTN_TL2 and BTN_TR2 are declared
// and never sent, Share is KEY_RECORD, every stick from 0 to 65535.
const pad_shape xbox_bluetooth_pad = {
    "Xbox Wireless Controller", BUS_BLUETOOTH, 0x045e, 0x0b13,
    {BTN_SOUTH, BTN_EAST, BTN_C, BTN_NORTH, BTN_WEST, BTN_Z, BTN_TL, BTN_TR, BTN_TL2, BTN_TR2, BTN_SELECT, BTN_START,
     BTN_MODE, BTN_THUMBL, BTN_THUMBR, KEY_RECORD},
    {{ABS_X, 0, 65535, 32768}, {ABS_Y, 0, 65535, 32768}, {ABS_Z, 0, 65535, 32768}, {ABS_RZ, 0, 65535, 32768},
     {ABS_GAS, 0, 1023, 0}, {ABS_BRAKE, 0, 1023, 0}, hat_x, hat_y},
    {}};

// L2 and R2 are keys and axes both; the sticks rest in the middle of 0 to 255.
const pad_shape dualsense_pad = {
    "Sony Interactive Entertainment DualSense Wireless Controller", BUS_USB, 0x054c, 0x0ce6,
    {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR, BTN_TL2, BTN_TR2, BTN_SELECT, BTN_START, BTN_MODE,
     BTN_THUMBL, BTN_THUMBR},
    {{ABS_X, 0, 255, 128}, {ABS_Y, 0, 255, 128}, {ABS_Z, 0, 255, 0}, {ABS_RX, 0, 255, 128}, {ABS_RY, 0, 255, 128},
     {ABS_RZ, 0, 255, 0}, hat_x, hat_y},
    {}};

// Accelerometer on X, Y, Z and gyroscope on RX, RY, RZ: axes, and no key at all.
const pad_shape dualsense_motion = {
    "Sony Interactive Entertainment DualSense Wireless Controller Motion Sensors", BUS_USB, 0x054c, 0x0ce6, {},
    {{ABS_X, -32768, 32768, 0}, {ABS_Y, -32768, 32768, 0}, {ABS_Z, -32768, 32768, 0},
     {ABS_RX, -2097152, 2097152, 0}, {ABS_RY, -2097152, 2097152, 0}, {ABS_RZ, -2097152, 2097152, 0}},
    {INPUT_PROP_ACCELEROMETER}};

// A clickpad of two slots: its click is BTN_LEFT, below every joystick code.
const pad_shape dualsense_touchpad = {
    "Sony Interactive Entertainment DualSense Wireless Controller Touchpad", BUS_USB, 0x054c, 0x0ce6,
    {BTN_LEFT, BTN_TOUCH, BTN_TOOL_FINGER, BTN_TOOL_DOUBLETAP},
    {{ABS_X, 0, 1919, 0}, {ABS_Y, 0, 1079, 0}, {ABS_MT_SLOT, 0, 1, 0}, {ABS_MT_POSITION_X, 0, 1919, 0},
     {ABS_MT_POSITION_Y, 0, 1079, 0}, {ABS_MT_TRACKING_ID, 0, 65535, 0}},
    {INPUT_PROP_POINTER, INPUT_PROP_BUTTONPAD}};

// Twelve buttons: BTN_SOUTH, BTN_EAST, BTN_C, BTN_NORTH ... BTN_SELECT, BTN_START.
const pad_shape generic_gamepad = {"Exmple USB Gamepad", BUS_USB, 0x1a2c, 0x0101, hid_buttons(BTN_GAMEPAD, 12),
                                   {{ABS_X, 0, 255, 128}, {ABS_Y, 0, 255, 128}, {ABS_Z, 0, 255, 128},
                                    {ABS_RZ, 0, 255, 128}, hat_x, hat_y},
                                   {}};

// Twenty buttons: BTN_TRIGGER to BTN_BASE6, three unnamed codes, BTN_DEAD,
// then BTN_TRIGGER_HAPPY1 to 4. A twisting stick with a throttle.
const pad_shape generic_joystick = {"Exmple Flight Stick", BUS_USB, 0x1a2c, 0x0202, hid_buttons(BTN_JOYSTICK, 20),
                                    {{ABS_X, 0, 1023, 512}, {ABS_Y, 0, 1023, 512}, {ABS_RZ, 0, 255, 128},
                                     {ABS_THROTTLE, 0, 255, 0}, hat_x, hat_y},
                                    {}};

// The right stick on Z and Rz, the triggers as Brake and Accelerator.
const pad_shape android_pad = {
    "Exmple Android Gamepad", BUS_BLUETOOTH, 0x1a2c, 0x0303,
    {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR, BTN_THUMBL, BTN_THUMBR, BTN_START, KEY_BACK,
     KEY_HOMEPAGE},
    {{ABS_X, 0, 255, 128}, {ABS_Y, 0, 255, 128}, {ABS_Z, 0, 255, 128}, {ABS_RZ, 0, 255, 128},
     {ABS_GAS, 0, 255, 0}, {ABS_BRAKE, 0, 255, 0}, hat_x, hat_y},
    {}};

// A is BTN_EAST and B is BTN_SOUTH, by their place; ZL and ZR are keys; the
// capture button is BTN_Z.
const pad_shape switch_pro_pad = {
    "Nintendo Switch Pro Controller", BUS_BLUETOOTH, 0x057e, 0x2009,
    {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_TL, BTN_TR, BTN_TL2, BTN_TR2, BTN_SELECT, BTN_START, BTN_MODE,
     BTN_THUMBL, BTN_THUMBR, BTN_Z},
    {{ABS_X, -32767, 32767, 0}, {ABS_Y, -32767, 32767, 0}, {ABS_RX, -32767, 32767, 0}, {ABS_RY, -32767, 32767, 0},
     hat_x, hat_y},
    {}};

const pad_shape joycon_left = {"Nintendo Switch Left Joy-Con", BUS_BLUETOOTH, 0x057e, 0x2006,
                               {BTN_SELECT, BTN_Z, BTN_THUMBL, BTN_DPAD_UP, BTN_DPAD_DOWN, BTN_DPAD_LEFT,
                                BTN_DPAD_RIGHT, BTN_TL, BTN_TL2},
                               {{ABS_X, -32767, 32767, 0}, {ABS_Y, -32767, 32767, 0}},
                               {}};

// A joystick to hid-generic, ten buttons; its name ends in a blank, as such
// pads' often do.
const pad_shape snes_style_pad = {"USB Gamepad ", BUS_USB, 0x0810, 0xe501, hid_buttons(BTN_JOYSTICK, 10),
                                  {{ABS_X, 0, 255, 127}, {ABS_Y, 0, 255, 128}},
                                  {}};

const pad_shape usb_keyboard = {"Exmple USB Keyboard", BUS_USB, 0x1a2c, 0x0404, keyboard_keys(), {}, {}};

pad_shape test_device(const std::vector<int> &keys, const std::vector<int> &axes)
{
    pad_shape shape = {"tabrin test device", BUS_VIRTUAL, 0x7ab, 0x1, keys, {}, {}};
    shape.axes.reserve(axes.size());
    for (int axis : axes)
        shape.axes.push_back(axis == ABS_HAT0X || axis == ABS_HAT0Y ? axis_shape{axis, -1, 1, 0}
                                                                    : axis_shape{axis, -32768, 32767, 0});
    return shape;
}

void unplug(virtual_device *device)
{
    if (device->fd < 0)
        return;
    ioctl(device->fd, UI_DEV_DESTROY);
    close(device->fd);
    device->fd = -1;
}

virtual_device::~virtual_device()
{
    unplug(this);
}

namespace {

// ff_effects 0: no force feedback.
std::string plug_with_effects(virtual_device *device, const pad_shape &shape, unsigned ff_effects)
{
    device->fd = open("/dev/uinput", (ff_effects == 0 ? O_WRONLY : O_RDWR) | O_NONBLOCK | O_CLOEXEC);
    if (device->fd < 0)
        return reason("cannot open /dev/uinput");
    if (std::string failed = set_capabilities(device->fd, shape); !failed.empty())
        return failed;
    if (ff_effects != 0 && (ioctl(device->fd, UI_SET_EVBIT, EV_FF) != 0 || ioctl(device->fd, UI_SET_FFBIT, FF_RUMBLE) != 0))
        return reason("UI_SET_FFBIT");
    uinput_setup setup {};
    setup.ff_effects_max = ff_effects;
    setup.id.bustype = shape.bus;
    setup.id.vendor = shape.vendor;
    setup.id.product = shape.product;
    strncpy(setup.name, shape.name.c_str(), UINPUT_MAX_NAME_SIZE - 1);
    if (ioctl(device->fd, UI_DEV_SETUP, &setup) != 0)
        return reason("UI_DEV_SETUP");
    if (ioctl(device->fd, UI_DEV_CREATE) != 0)
        return reason("UI_DEV_CREATE");
    char sysname[64] = {};
    if (ioctl(device->fd, UI_GET_SYSNAME(sizeof sysname - 1), sysname) < 0)
        return reason("UI_GET_SYSNAME");
    std::string name;
    if (!wait_for([&] { return !(name = event_name(sysname)).empty(); }))
        return "the virtual device " + std::string(sysname) + " got no event node in sysfs";
    device->node = "/dev/input/" + name;
    if (!wait_for([&] { return is_character_device(device->node); }))
        return device->node + " did not appear (no devtmpfs here?)";
    return "";
}

} // namespace

std::string plug(virtual_device *device, const pad_shape &shape)
{
    return plug_with_effects(device, shape, 0);
}

std::string plug_rumbling(virtual_device *device, const pad_shape &shape)
{
    return plug_with_effects(device, shape, 4);
}

void answer_rumble(const virtual_device *device, rumble_seen *seen, bool refuse)
{
    input_event event {};
    while (read(device->fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event)) {
        if (event.type == EV_FF) {
            seen->played.push_back(event);
        } else if (event.type == EV_UINPUT && event.code == UI_FF_UPLOAD) {
            uinput_ff_upload upload {};
            upload.request_id = static_cast<unsigned>(event.value);
            if (ioctl(device->fd, UI_BEGIN_FF_UPLOAD, &upload) != 0)
                continue;
            seen->uploaded.push_back(upload.effect);
            upload.retval = refuse ? -EINVAL : 0;
            ioctl(device->fd, UI_END_FF_UPLOAD, &upload);
        } else if (event.type == EV_UINPUT && event.code == UI_FF_ERASE) {
            uinput_ff_erase erase {};
            erase.request_id = static_cast<unsigned>(event.value);
            if (ioctl(device->fd, UI_BEGIN_FF_ERASE, &erase) != 0)
                continue;
            seen->erased.push_back(static_cast<int>(erase.effect_id));
            erase.retval = 0;
            ioctl(device->fd, UI_END_FF_ERASE, &erase);
        }
    }
}

std::string plug(virtual_device *device, const std::vector<int> &keys, const std::vector<int> &axes)
{
    return plug(device, test_device(keys, axes));
}

std::string replug(virtual_device *device, const pad_shape &shape)
{
    const std::string old_node = device->node;
    unplug(device);
    // The kernel gives the lowest free number: a stand-in takes the old one.
    // It has a relative axis only, so that nothing takes it for a pad or keyboard.
    virtual_device stand_in;
    stand_in.fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (stand_in.fd < 0)
        return reason("cannot open /dev/uinput");
    uinput_setup setup {};
    setup.id.bustype = BUS_VIRTUAL;
    strncpy(setup.name, "tabrin stand-in", UINPUT_MAX_NAME_SIZE - 1);
    if (ioctl(stand_in.fd, UI_SET_EVBIT, EV_REL) != 0 || ioctl(stand_in.fd, UI_SET_RELBIT, REL_WHEEL) != 0 ||
        ioctl(stand_in.fd, UI_DEV_SETUP, &setup) != 0 || ioctl(stand_in.fd, UI_DEV_CREATE) != 0)
        return reason("the stand-in device");
    if (std::string failed = plug(device, shape); !failed.empty())
        return failed;
    if (device->node == old_node)
        return "replugged under the same node " + old_node;
    return "";
}

void report(const virtual_device *device, int type, const std::vector<int> &codes, int value)
{
    std::vector<input_event> events;
    for (int code : codes) {
        input_event event {};
        event.type = static_cast<unsigned short>(type);
        event.code = static_cast<unsigned short>(code);
        event.value = value;
        events.push_back(event);
    }
    events.push_back(input_event{});
    events.back().type = EV_SYN;
    events.back().code = SYN_REPORT;
    const ssize_t size = static_cast<ssize_t>(events.size() * sizeof(input_event));
    ASSERT_EQ(write(device->fd, events.data(), static_cast<size_t>(size)), size) << strerror(errno);
}

void set_keys(const virtual_device *device, const std::vector<int> &keys, int value)
{
    report(device, EV_KEY, keys, value);
}

void move_axis(const virtual_device *device, int axis, int value)
{
    report(device, EV_ABS, {axis}, value);
}

// The times the daemon has gone to sleep (voluntary switches) and been
// preempted (involuntary ones). Blocked in the kernel, a process runs nothing:
// while this stays the same, it makes no system call at all.
long wakeups(pid_t pid)
{
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    long total = 0;
    for (const std::string field : {"\nvoluntary_ctxt_switches:", "\nnonvoluntary_ctxt_switches:"}) {
        const auto at = status.find(field);
        if (at == std::string::npos)
            return -1;
        total += strtol(status.c_str() + at + field.size(), nullptr, 10);
    }
    return total;
}

// Whether the daemon sleeps in epoll_wait without a timeout (-1): waiting
// for events, with nothing pending and nothing to poll.
bool waits_for_events(pid_t pid)
{
    std::istringstream call(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    std::string epoll;
    std::string events;
    std::string count;
    std::string timeout;
    call >> number >> epoll >> events >> count >> timeout;
    return number == SYS_epoll_wait && (timeout == "0xffffffff" || timeout == "0xffffffffffffffff");
}

// No command runs, and the daemon waits for events.
bool at_rest(pid_t pid)
{
    const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    return waits_for_events(pid) && read_file(children).empty();
}

bool wait_idle(pid_t pid)
{
    return wait_for([&] { return at_rest(pid); });
}

// Waits until the daemon has woken since `mark` (a wakeups() count), done
// what there was to do, and gone back to waiting for events.
bool wait_handled(pid_t pid, long mark)
{
    return wait_for([&] { return wakeups(pid) > mark && at_rest(pid); });
}
