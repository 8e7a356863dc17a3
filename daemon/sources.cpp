#include "sources.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

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

// The event types and hat 0's axes fit one word, so one word is all their
// EVIOCGBIT needs.
static_assert(EV_MAX < bits_per_word && ABS_HAT0Y < bits_per_word);

bool has_bit(const unsigned long *bits, int code)
{
    return ((bits[code / bits_per_word] >> (code % bits_per_word)) & 1) != 0;
}

void set_bit(unsigned long *bits, int code)
{
    bits[code / bits_per_word] |= 1UL << (code % bits_per_word);
}

void add_buttons(const key_bits *capabilities, int first, int last, device_buttons *buttons, int *count)
{
    for (int code = first; code <= last && *count < 4; ++code)
        if (has_bit(capabilities->data(), code))
            (*buttons)[(*count)++].key = static_cast<unsigned short>(code);
}

bool held(const device_button *button, const key_bits *keys, hat_position hat)
{
    if (button->key != 0 && has_bit(keys->data(), button->key))
        return true;
    const int position = button->hat_axis == ABS_HAT0X ? hat.x : hat.y;
    return button->hat_axis != 0 && (position < 0 ? -1 : position > 0 ? 1 : 0) == button->hat_direction;
}

// O_NONBLOCK: a FIFO planted at PATH must not hang the daemon before it is
// refused, and a device's events are drained without waiting.
int open_path(const source_set *sources, const source *port)
{
    std::array<char, PATH_MAX> path;
    if (!source_full_path(sources, port, &path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(path.data(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

mode_t file_type(int fd)
{
    struct stat st {};
    // glibc's fstat is fstatat on an empty path, and its "" lies in a stretch
    // of libc's read-only data that nothing else the daemon touches: passing
    // our own "" keeps the idle daemon some 60 kB smaller.
    return fstatat(fd, "", &st, AT_EMPTY_PATH) == 0 ? st.st_mode & S_IFMT : 0;
}

// Whether the device reports at least one of the buttons.
bool has_any(const device_buttons *buttons, const key_bits *keys, unsigned long axes)
{
    return std::any_of(buttons->begin(), buttons->end(), [&](const device_button &button) {
        return (button.key != 0 && has_bit(keys->data(), button.key))
               || (button.hat_axis != 0 && has_bit(&axes, button.hat_axis));
    });
}

// The buttons asked for on an input event device; false when fd is anything
// else or has none of them.
bool learn_buttons(const source_set *sources, int fd, source *port)
{
    unsigned long types = 0;
    unsigned long axes = 0;
    key_bits keys{};
    if (ioctl(fd, EVIOCGBIT(0, sizeof types), &types) < 0
        || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys.data()) < 0
        || ioctl(fd, EVIOCGBIT(EV_ABS, sizeof axes), &axes) < 0)
        return false;
    if (sources->names->count == 0) {
        port->buttons = device_buttons{};
        port->has_hat = false;
        return default_buttons(&keys, &port->buttons) > 0;
    }
    if (((types >> EV_ABS) & 1) == 0)
        axes = 0;
    port->buttons = named_buttons(sources->names);
    port->has_hat = has_bit(&axes, ABS_HAT0X) || has_bit(&axes, ABS_HAT0Y);
    return has_any(&port->buttons, &keys, axes);
}

void ask_mask(int fd, unsigned type, const void *bits, size_t size)
{
    input_mask mask {};
    mask.type = type;
    mask.codes_size = static_cast<__u32>(size);
    mask.codes_ptr = reinterpret_cast<std::uintptr_t>(bits);
    // A kernel without event masks sends everything: more wake-ups, the same behaviour.
    static_cast<void>(ioctl(fd, EVIOCSMASK, &mask));
}

// The kernel sends this reader the watched buttons' events only, and hat 0's
// when it stands for some: sticks, triggers and the other buttons of a pad
// in play wake nobody. (Reports that carry nothing left are not sent.)
void ask_only_for_buttons(int fd, const device_buttons *buttons)
{
    key_bits keys{};
    unsigned long axes = 0;
    unsigned long types = 1UL << EV_KEY;
    for (const auto &button : *buttons) {
        if (button.key != 0)
            set_bit(keys.data(), button.key);
        if (button.hat_axis != 0) {
            set_bit(&axes, button.hat_axis);
            types |= 1UL << EV_ABS;
        }
    }
    ask_mask(fd, EV_KEY, keys.data(), sizeof keys);
    ask_mask(fd, EV_ABS, &axes, sizeof axes);
    ask_mask(fd, 0, &types, sizeof types);
}

void close_source(source_set *sources, source *port)
{
    if (port->kind == source_kind::device)
        report_device(sources->report, port->path, false);
    close(port->fd);
    port->fd = -1;
    port->kind = source_kind::closed;
    ++sources->changes;
}

// Keeps fd as the source when it is a port image, or an input event device
// with buttons asked for; closes it otherwise. Only a character device is
// asked, so no other kind of file gets an ioctl meant for input devices.
bool take(source_set *sources, source *port, int fd)
{
    const mode_t type = file_type(fd);
    if (type == S_IFREG) {
        port->kind = source_kind::image;
    } else if (type == S_IFCHR && learn_buttons(sources, fd, port)) {
        port->kind = source_kind::device;
        ask_only_for_buttons(fd, &port->buttons);
    } else {
        close(fd);
        return false;
    }
    port->fd = fd;
    ++sources->changes;
    return true;
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

hat_position hat_read(int fd)
{
    input_absinfo x {};
    input_absinfo y {};
    if (ioctl(fd, EVIOCGABS(ABS_HAT0X), &x) < 0 || ioctl(fd, EVIOCGABS(ABS_HAT0Y), &y) < 0)
        return {};
    return {x.value, y.value};
}

// The state of every key now (and of the hat, if it matters), whatever the
// event queue holds.
unsigned char device_read(source_set *sources, source *port)
{
    key_bits keys{};
    if (ioctl(port->fd, EVIOCGKEY(sizeof keys), keys.data()) < 0) {
        // Unplugged (ENODEV), or unusable for another reason: let go of the
        // node and look for PATH again.
        close_source(sources, port);
        return all_up;
    }
    return status_from_state(&port->buttons, &keys, port->has_hat ? hat_read(port->fd) : hat_position{});
}

unsigned char source_read(source_set *sources, source *port)
{
    switch (port->kind) {
    case source_kind::game_port: return game_port_read();
    case source_kind::image: return image_read(port->fd);
    case source_kind::device: return device_read(sources, port);
    case source_kind::closed: break;
    }
    return all_up;
}

} // namespace

void sources_from_settings(const settings *given, source_set *sources)
{
    sources->count = given->source_count == 0 ? 1 : given->source_count;
    sources->names = &given->buttons;
    sources->start_dir[0] = '\0';
    sources->list[0] = source{};
    if (given->source_count == 0)
        sources->list[0].kind = source_kind::game_port;
    for (int i = 0; i < given->source_count; ++i) {
        sources->list[i] = source{};
        sources->list[i].path = given->source_paths[i];
    }
}

bool sources_access(const source_set *sources)
{
    return sources->list[0].kind != source_kind::game_port || game_port_access();
}

bool source_full_path(const source_set *sources, const source *port, std::array<char, PATH_MAX> *path)
{
    const char *dir = port->path[0] == '/' ? "" : sources->start_dir.data();
    const size_t dir_length = strlen(dir);
    const size_t length = strlen(port->path);
    const size_t slash = dir_length > 0 ? 1 : 0;
    if (dir_length + slash + length >= path->size())
        return false;
    memcpy(path->data(), dir, dir_length);
    (*path)[dir_length] = '/';
    memcpy(path->data() + dir_length + slash, port->path, length + 1);
    return true;
}

open_result source_open(source_set *sources, source *port)
{
    if (port->kind == source_kind::game_port)
        return open_result::opened;
    if (port->path[0] != '/' && sources->start_dir[0] == '\0'
        && getcwd(sources->start_dir.data(), sources->start_dir.size()) == nullptr)
        sources->start_dir[0] = '\0'; // unknown: relative paths stay relative to the current directory
    const int fd = open_path(sources, port);
    if (fd < 0)
        return errno == ENOENT ? open_result::missing : open_result::refused;
    return take(sources, port, fd) ? open_result::opened : open_result::refused;
}

void source_reopen(source_set *sources, source *port)
{
    if (port->fd >= 0)
        close_source(sources, port);
    const int fd = open_path(sources, port);
    if (fd >= 0 && take(sources, port, fd) && port->kind == source_kind::device)
        report_device(sources->report, port->path, true);
}

unsigned char sources_read(source_set *sources)
{
    unsigned char status = all_up;
    for (int i = 0; i < sources->count; ++i)
        status &= source_read(sources, &sources->list[i]);
    return status;
}

void source_drain(source_set *sources, source *port)
{
    std::array<input_event, 64> events;
    ssize_t got = 0;
    do
        got = read(port->fd, events.data(), sizeof events);
    while (got == static_cast<ssize_t>(sizeof events));
    if (got < 0 && errno != EAGAIN && errno != EINTR)
        close_source(sources, port);
}

int default_buttons(const key_bits *capabilities, device_buttons *buttons)
{
    int count = 0;
    add_buttons(capabilities, BTN_JOYSTICK, KEY_MAX, buttons, &count);
    add_buttons(capabilities, BTN_MISC, BTN_JOYSTICK - 1, buttons, &count);
    return count;
}

device_buttons named_buttons(const button_names *names)
{
    device_buttons buttons;
    for (int i = 0; i < names->count; ++i) {
        const unsigned short key = names->code[i];
        device_button &button = buttons[i];
        button.key = key;
        if (key >= BTN_DPAD_UP && key <= BTN_DPAD_RIGHT) {
            button.hat_axis = key <= BTN_DPAD_DOWN ? ABS_HAT0Y : ABS_HAT0X;
            button.hat_direction = key == BTN_DPAD_UP || key == BTN_DPAD_LEFT ? -1 : 1;
        }
    }
    return buttons;
}

unsigned char status_from_state(const device_buttons *buttons, const key_bits *keys, hat_position hat)
{
    unsigned char status = all_up;
    for (int i = 0; i < 4; ++i)
        if (held(&(*buttons)[i], keys, hat))
            status &= static_cast<unsigned char>(~(0x10 << i));
    return status;
}
