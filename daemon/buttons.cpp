#include "buttons.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>

namespace {
constexpr unsigned short game_port = 0x201;

bool game_port_access() { return ioperm(game_port, 1, 1) == 0; }
unsigned char game_port_read() { return inb(game_port); }
} // namespace
#else
namespace {
// No port I/O on this architecture: the game port can never be opened.
bool game_port_access() { return false; }
unsigned char game_port_read() { return 0xFF; }
} // namespace
#endif

namespace {
constexpr unsigned char all_up = 0xFF;

// The event types fit one word, so one word is all EVIOCGBIT(0) needs.
static_assert(EV_MAX < bits_per_word);

bool has_key(const key_bits *bits, int code)
{
    return (((*bits)[code / bits_per_word] >> (code % bits_per_word)) & 1) != 0;
}

void add_buttons(const key_bits *capabilities, int first, int last, button_codes *found)
{
    for (int code = first; code <= last && found->count < 4; ++code)
        if (has_key(capabilities, code))
            found->code[found->count++] = static_cast<unsigned short>(code);
}

// O_NONBLOCK: a FIFO planted at PATH must not hang the daemon before it is
// refused, and a device is only ever asked for its state, never waited on.
int open_path(const char *path)
{
    return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

mode_t file_type(int fd)
{
    struct stat st {};
    // glibc's fstat is fstatat on an empty path, and its "" lies in a stretch
    // of libc's read-only data that nothing else the daemon touches: passing
    // our own "" keeps the idle daemon some 60 kB smaller.
    return fstatat(fd, "", &st, AT_EMPTY_PATH) == 0 ? st.st_mode & S_IFMT : 0;
}

// The buttons of an input event device; none when fd is anything else.
button_codes device_buttons(int fd)
{
    unsigned long types = 0;
    key_bits capabilities{};
    if (ioctl(fd, EVIOCGBIT(0, sizeof types), &types) < 0 || ((types >> EV_KEY) & 1) == 0
        || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof capabilities), capabilities.data()) < 0)
        return {};
    return find_buttons(&capabilities);
}

// Keeps fd as the port when it is an input event device with buttons, and
// learns which they are; closes it otherwise. Only a character device is
// asked, so no other kind of file gets an ioctl meant for input devices.
bool take_device(button_port *port, int fd, mode_t type)
{
    port->buttons = type == S_IFCHR ? device_buttons(fd) : button_codes{};
    if (port->buttons.count == 0) {
        close(fd);
        return false;
    }
    port->fd = fd;
    return true;
}

// While the device is gone, once per read: a replugged device comes back
// under its by-id name, maybe as another event node.
void reopen_device(button_port *port)
{
    const int fd = open_path(port->path);
    if (fd >= 0 && take_device(port, fd, file_type(fd)))
        report_device(port->report, port->path, true);
}

unsigned char image_read(int fd)
{
    unsigned char status = all_up;
    // An empty file or a failed read leaves every button up: after start-up
    // there is no failure path.
    if (pread(fd, &status, 1, 0) != 1)
        return all_up;
    return status;
}

// One EVIOCGKEY: the state of every key now, with no event queue to drain.
unsigned char device_read(button_port *port)
{
    if (port->fd < 0)
        reopen_device(port);
    if (port->fd < 0)
        return all_up;
    key_bits held{};
    if (ioctl(port->fd, EVIOCGKEY(sizeof held), held.data()) < 0) {
        // Unplugged (ENODEV), or unusable for another reason: let go of the
        // node and look for PATH again.
        close(port->fd);
        port->fd = -1;
        report_device(port->report, port->path, false);
        return all_up;
    }
    return status_from_keys(&port->buttons, &held);
}

} // namespace

bool port_access(const button_port *port)
{
    return port->path != nullptr || game_port_access();
}

bool port_open(button_port *port)
{
    if (port->path == nullptr)
        return true;
    const int fd = open_path(port->path);
    if (fd < 0)
        return false;
    const mode_t type = file_type(fd);
    if (type == S_IFREG) {
        port->fd = fd;
        return true;
    }
    port->device = true;
    return take_device(port, fd, type);
}

unsigned char port_read(button_port *port)
{
    if (port->path == nullptr)
        return game_port_read();
    if (port->device)
        return device_read(port);
    return image_read(port->fd);
}

button_codes find_buttons(const key_bits *capabilities)
{
    button_codes found;
    add_buttons(capabilities, BTN_JOYSTICK, KEY_MAX, &found);
    add_buttons(capabilities, BTN_MISC, BTN_JOYSTICK - 1, &found);
    return found;
}

unsigned char status_from_keys(const button_codes *buttons, const key_bits *held)
{
    unsigned char status = all_up;
    for (int i = 0; i < buttons->count; ++i)
        if (has_key(held, buttons->code[i]))
            status &= static_cast<unsigned char>(~(0x10 << i));
    return status;
}
