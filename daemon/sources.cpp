#include "sources.h"

#include "learn.h"
#include "pads.h"
#include "rumble.h"

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

// The event types fit one word, so one word is all their EVIOCGBIT needs.
static_assert(EV_MAX < bits_per_word);

using axis_bits = std::array<unsigned long, (ABS_MAX + bits_per_word) / bits_per_word>;

bool has_bit(const unsigned long *bits, int code)
{
    return ((bits[code / bits_per_word] >> (code % bits_per_word)) & 1) != 0;
}

void set_bit(unsigned long *bits, int code)
{
    bits[code / bits_per_word] |= 1UL << (code % bits_per_word);
}

bool has(chord buttons, int bit)
{
    return (buttons & (chord{1} << bit)) != 0;
}

void add_buttons(const key_bits *capabilities, int first, int last, device_buttons *buttons, int *count)
{
    for (int code = first; code <= last && *count < digit_buttons; ++code)
        if (has_bit(capabilities->data(), code))
            (*buttons)[(*count)++] = key_button(static_cast<unsigned short>(code));
}

bool same_button(const device_button *a, const device_button *b)
{
    return a->key == b->key && a->axis == b->axis && a->use == b->use && a->direction == b->direction;
}

bool reads_something(const device_button *button)
{
    return button->key != 0 || button->use != axis_use::none;
}

// An axis held: past three quarters of the range towards its end, and then
// until it is back at the middle.
bool axis_held(const device_button *button, int value, bool before)
{
    const long long from_minimum = static_cast<long long>(value) - button->minimum;
    const long long range = button->range;
    if (button->use == axis_use::high)
        return before ? 2 * from_minimum > range + 1 : 4 * from_minimum >= 3 * range;
    return before ? 2 * from_minimum < range - 1 : 4 * from_minimum <= range;
}

bool held(const device_button *button, const key_bits *keys, const axis_values *axes, bool before)
{
    if (button->key != 0 && has_bit(keys->data(), button->key))
        return true;
    if (button->use == axis_use::none)
        return false;
    const int value = (*axes)[button->axis];
    if (button->use == axis_use::hat)
        return (value < 0 ? -1 : value > 0 ? 1 : 0) == button->direction;
    return axis_held(button, value, before);
}

// O_NONBLOCK: a FIFO planted at PATH must not hang the daemon before it is
// refused, and a device's events are drained without waiting. With -z a pad
// is opened for writing too, which playing its rumble needs; where writing
// is not allowed, for reading alone, without rumble.
int open_path(const source_set *sources, const source *port)
{
    std::array<char, PATH_MAX> path;
    if (!source_full_path(sources, port, &path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    constexpr int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (sources->given->rumble_usec > 0) {
        const int fd = open(path.data(), O_RDWR | flags);
        if (fd >= 0 || (errno != EACCES && errno != EPERM && errno != EROFS))
            return fd;
    }
    return open(path.data(), O_RDONLY | flags);
}

mode_t file_type(int fd)
{
    struct stat st {};
    // glibc's fstat is fstatat on an empty path, and its "" lies in a stretch
    // of libc's read-only data that nothing else the daemon touches: passing
    // our own "" keeps the idle daemon some 60 kB smaller.
    return fstatat(fd, "", &st, AT_EMPTY_PATH) == 0 ? st.st_mode & S_IFMT : 0;
}

// What a device has of the capabilities a button needs: the rest reads up.
device_button as_the_device_has(device_button button, const key_bits *keys, const axis_bits *axes)
{
    if (button.key != 0 && !has_bit(keys->data(), button.key))
        button.key = 0;
    if (button.use != axis_use::none && !has_bit(axes->data(), button.axis))
        button.use = axis_use::none;
    if (button.use == axis_use::none)
        button.axis = 0;
    return button;
}

// A named button as the device reads it: an axis in the range it gives.
device_button named_button(int fd, button_id id)
{
    if (id.kind == button_kind::key)
        return key_button(id.code);
    input_absinfo info {};
    if (ioctl(fd, EVIOCGABS(id.code), &info) < 0 || info.maximum <= info.minimum)
        return {};
    return axis_button(id, info.minimum, info.maximum);
}

void map_same_buttons(source *port, int count)
{
    for (int bit = 0; bit < count; ++bit) {
        int first = 0;
        while (first < bit && !same_button(&(*port->buttons)[first], &(*port->buttons)[bit]))
            ++first;
        port->same_as[bit] = static_cast<unsigned char>(reads_something(&(*port->buttons)[bit]) ? first : bit);
    }
}

// Learning mode watches everything a device has, up to the bits a chord
// has: its keys, the D-pad as keys or hat 0, and every other axis both ways.
int every_button(int fd, const key_bits *keys, const axis_bits *axes, device_buttons *buttons)
{
    int count = 0;
    for (int code = 1; code <= KEY_MAX && count < max_buttons; ++code)
        if (has_bit(keys->data(), code) && (code < BTN_DPAD_UP || code > BTN_DPAD_RIGHT))
            (*buttons)[count++] = key_button(static_cast<unsigned short>(code));
    const bool hat = has_bit(axes->data(), ABS_HAT0X) || has_bit(axes->data(), ABS_HAT0Y);
    for (int code = BTN_DPAD_UP; code <= BTN_DPAD_RIGHT && count < max_buttons; ++code)
        if (hat || has_bit(keys->data(), code))
            (*buttons)[count++] = key_button(static_cast<unsigned short>(code));
    // A way the axis rests at, as a trigger rests at its minimum, is no button.
    input_absinfo info {};
    for (int code = 0; code <= ABS_MAX && count + 1 < max_buttons; ++code) {
        if (!has_bit(axes->data(), code) || code == ABS_HAT0X || code == ABS_HAT0Y
            || ioctl(fd, EVIOCGABS(code), &info) < 0 || info.maximum <= info.minimum)
            continue;
        for (const button_kind way : {button_kind::axis_high, button_kind::axis_low}) {
            const device_button button = axis_button({static_cast<unsigned short>(code), way}, info.minimum, info.maximum);
            if (!axis_held(&button, info.value, false))
                (*buttons)[count++] = button;
        }
    }
    return count;
}

// The watched buttons as the settings name them.
int watched_buttons(const source_set *sources, int fd, const key_bits *keys, device_buttons *buttons)
{
    const settings *given = sources->given;
    if (given->buttons.count == 0)
        default_buttons(keys, buttons);
    for (int digit = 0; digit < given->buttons.count; ++digit)
        (*buttons)[digit] = key_button(given->buttons.code[digit]);
    for (int bit = digit_buttons; bit < given->button_count; ++bit)
        (*buttons)[bit] = named_button(fd, given->named[bit]);
    for (int bit = 0; bit < given->button_count; ++bit)
        if (!has(sources->watched, bit))
            (*buttons)[bit] = device_button{};
    return given->button_count;
}

// The watched buttons on an input event device; false when fd is anything
// else or has none of them. Learning mode takes pads found by name only when
// they are joysticks or gamepads.
bool learn_buttons(const source_set *sources, int fd, source *port)
{
    unsigned long types = 0;
    axis_bits axes{};
    key_bits keys{};
    if (ioctl(fd, EVIOCGBIT(0, sizeof types), &types) < 0
        || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys.data()) < 0
        || ioctl(fd, EVIOCGBIT(EV_ABS, sizeof axes), axes.data()) < 0)
        return false;
    if (((types >> EV_ABS) & 1) == 0)
        axes = {};
    if (sources->learning && port->by_name && !has_joystick_keys(keys))
        return false;
    *port->buttons = device_buttons{};
    port->button_count = sources->learning ? every_button(fd, &keys, &axes, port->buttons)
                                           : watched_buttons(sources, fd, &keys, port->buttons);
    bool any = false;
    for (int bit = 0; bit < port->button_count; ++bit) {
        device_button *button = &(*port->buttons)[bit];
        *button = as_the_device_has(*button, &keys, &axes);
        any = any || reads_something(button);
    }
    map_same_buttons(port, port->button_count);
    port->raw = 0;
    return any;
}

// Learning mode tells every pad it takes; -v, a device taken again and
// every pad found by its name.
void tell_found(const source_set *sources, const source *port, bool again)
{
    if (!sources->learning) {
        if (again || port->by_name)
            report_device(sources->report, port->path, true);
        return;
    }
    pad_name name{};
    input_id id {};
    if (ioctl(port->fd, EVIOCGNAME(name.size() - 1), name.data()) < 0)
        name[0] = '\0';
    if (ioctl(port->fd, EVIOCGID, &id) < 0)
        id = {};
    learn_line line;
    learn_tell(format_found(&line, port->path, name.data(), id.vendor, id.product));
}

void tell_lost(const source_set *sources, const source *port)
{
    if (!sources->learning) {
        report_device(sources->report, port->path, false);
        return;
    }
    learn_line line;
    learn_tell(format_lost(&line, port->path));
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

// The kernel sends this reader the watched buttons' events only, and the
// axes' that stand for some: sticks, unnamed triggers and the other buttons
// of a pad in play wake nobody. (Reports that carry nothing left are not sent.)
void ask_only_for_buttons(int fd, const device_buttons *buttons, int count)
{
    key_bits keys{};
    axis_bits axes{};
    unsigned long types = 1UL << EV_KEY;
    for (int bit = 0; bit < count; ++bit) {
        const device_button &button = (*buttons)[bit];
        if (button.key != 0)
            set_bit(keys.data(), button.key);
        if (button.use != axis_use::none) {
            set_bit(axes.data(), button.axis);
            types |= 1UL << EV_ABS;
        }
    }
    ask_mask(fd, EV_KEY, keys.data(), sizeof keys);
    ask_mask(fd, EV_ABS, axes.data(), sizeof axes);
    ask_mask(fd, 0, &types, sizeof types);
}

// A pad found by its name leaves its place free; a -j path is looked for again.
void close_source(source_set *sources, source *port)
{
    if (port->kind == source_kind::device)
        tell_lost(sources, port);
    close(port->fd);
    port->fd = -1;
    port->kind = source_kind::closed;
    port->raw = 0;
    port->rumble = -1; // the kernel erases the effect with the descriptor
    port->moves = gesture{};
    port->press = learned{};
    if (port->by_name) {
        port->node[0] = '\0';
        sources->place_freed = true;
    }
    ++sources->changes;
}

// The bits as the settings read them, for the game port and port images: a
// name that -b lists is that digit's button; other names never read held.
void map_by_names(const settings *given, button_map *same_as)
{
    for (int bit = 0; bit < max_buttons; ++bit) {
        (*same_as)[bit] = static_cast<unsigned char>(bit);
        for (int digit = 0; bit >= digit_buttons && digit < given->buttons.count; ++digit)
            if (given->named[bit].kind == button_kind::key && given->named[bit].code == given->buttons.code[digit])
                (*same_as)[bit] = static_cast<unsigned char>(digit);
    }
}

// The bits that take part in its chords as the source reads them: ignored
// digits left out. Set once the source's bits are known, so that no read
// works it out again.
void note_active(const source_set *sources, source *port)
{
    const settings *given = sources->given;
    const chord named = ~digit_chord & ~(~chord{0} << (given->button_count - 1) << 1);
    const chord active = static_cast<chord>((given->active_mask >> 4) & 0xF) | named;
    port->active = mapped_chord(&port->same_as, active & sources->watched);
}

// Keeps fd as the source when it is a port image, or an input event device
// with watched buttons; closes it otherwise. Only a
// character device is asked, so no other kind of file gets an ioctl meant
// for input devices.
bool take(source_set *sources, source *port, int fd)
{
    const mode_t type = file_type(fd);
    if (type == S_IFREG && !port->by_name) {
        port->kind = source_kind::image;
        port->button_count = digit_buttons;
        map_by_names(sources->given, &port->same_as);
    } else if (type == S_IFCHR && learn_buttons(sources, fd, port)) {
        port->kind = source_kind::device;
        ask_only_for_buttons(fd, port->buttons, port->button_count);
        if (sources->given->rumble_usec > 0)
            port->rumble = rumble_upload(fd, sources->given->rumble_usec);
    } else {
        close(fd);
        return false;
    }
    note_active(sources, port);
    port->fd = fd;
    ++sources->changes;
    return true;
}

chord status_chord(unsigned char status)
{
    return static_cast<chord>((~status >> 4) & 0xF);
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

// Each axis that some button reads, once.
void read_axes(int fd, const device_buttons *buttons, int count, axis_values *axes)
{
    axis_bits read{};
    for (int bit = 0; bit < count; ++bit) {
        const device_button &button = (*buttons)[bit];
        if (button.use == axis_use::none || has_bit(read.data(), button.axis))
            continue;
        set_bit(read.data(), button.axis);
        input_absinfo info {};
        (*axes)[button.axis] = ioctl(fd, EVIOCGABS(button.axis), &info) == 0 ? info.value : 0;
    }
}

// The state of every key now (and of the axes that matter), whatever the
// event queue holds.
chord device_read(source_set *sources, source *port)
{
    key_bits keys{};
    if (ioctl(port->fd, EVIOCGKEY(sizeof keys), keys.data()) < 0) {
        // Unplugged (ENODEV), or unusable for another reason: let go of the
        // node and look for PATH again.
        close_source(sources, port);
        return 0;
    }
    const int count = port->button_count;
    axis_values axes{};
    read_axes(port->fd, port->buttons, count, &axes);
    port->raw = device_state(port->buttons, count, &keys, &axes, port->raw);
    return mapped_chord(&port->same_as, port->raw);
}

source *place_of(source_set *sources, const std::array<char, 32> *path)
{
    for (int i = 0; i < sources->count; ++i)
        if (sources->list[i].by_name && strcmp(sources->list[i].node.data(), path->data()) == 0)
            return &sources->list[i];
    for (int i = 0; i < sources->count; ++i)
        if (is_free(&sources->list[i]))
            return &sources->list[i];
    return nullptr;
}

// A node that is not readable yet keeps its place: udev makes it readable a
// moment after it appears, and the change of its mode brings the daemon back.
void take_pad(source_set *sources, const char *node)
{
    std::array<char, 32> path;
    if (!node_path("/dev/input", node, path))
        return;
    source *port = place_of(sources, &path);
    if (port == nullptr) {
        report_left_alone(sources->report, path.data());
        return;
    }
    if (port->kind != source_kind::closed)
        return;
    port->node = path;
    const int fd = open_path(sources, port);
    if (fd < 0 && errno == EACCES)
        return;
    if (fd < 0 || !take(sources, port, fd)) {
        port->node[0] = '\0';
        return;
    }
    tell_found(sources, port, false);
}

} // namespace

void sources_from_settings(const settings *given, source_set *sources)
{
    // Learning mode without a source of its own looks for every pad.
    static constexpr std::array<const char *, 1> every_pad = {"*"};
    const bool every = given->learning && given->source_count == 0 && given->pad_count == 0;
    sources->patterns = every ? std::span<const char *const>(every_pad)
                              : std::span<const char *const>(given->pad_patterns.data(), given->pad_count);
    sources->learning = given->learning;
    const bool pads = !sources->patterns.empty();
    sources->count = pads ? max_sources : given->source_count == 0 ? 1 : given->source_count;
    sources->given = given;
    sources->watched = 0;
    for (int i = 0; i < given->binding_count; ++i)
        sources->watched |= given->bindings[i].buttons;
    // A chord of digits waits for all four to be up.
    if ((sources->watched & digit_chord) != 0)
        sources->watched |= digit_chord;
    sources->start_dir[0] = '\0';
    sources->list[0] = source{};
    sources->list[0].buttons = &sources->buttons[0];
    if (given->source_count == 0 && !pads) {
        sources->list[0].kind = source_kind::game_port;
        map_by_names(given, &sources->list[0].same_as);
        note_active(sources, &sources->list[0]);
    }
    for (int i = 0; i < given->source_count; ++i) {
        sources->list[i] = source{};
        sources->list[i].path = given->source_paths[i];
        sources->list[i].buttons = &sources->buttons[i];
    }
    for (int i = given->source_count; pads && i < max_sources; ++i) {
        source *place = &sources->list[i];
        *place = source{};
        place->by_name = true;
        place->path = place->node.data();
        place->buttons = &sources->buttons[i];
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
    return take(sources, port, fd) ? open_result::opened : open_result::unfit;
}

void source_reopen(source_set *sources, source *port)
{
    if (port->fd >= 0)
        close_source(sources, port);
    const int fd = open_path(sources, port);
    if (fd >= 0 && take(sources, port, fd) && port->kind == source_kind::device)
        tell_found(sources, port, true);
}

bool is_free(const source *port)
{
    return port->by_name && port->node[0] == '\0';
}

void take_pads(source_set *sources)
{
    if (sources->patterns.empty())
        return;
    // Room for the pads' other devices whose names match too (motion
    // sensors, touchpads), which are opened and let go.
    std::array<node_name, 4UL * max_sources> found;
    const int matched = std::min(list_pads("/dev/input", "/sys/class/input", sources->patterns, found),
                                 static_cast<int>(found.size()));
    for (int i = 0; i < sources->count; ++i)
        if (sources->list[i].by_name && sources->list[i].kind == source_kind::closed)
            sources->list[i].node[0] = '\0'; // not readable before: looked at again below
    for (int i = 0; i < matched; ++i)
        take_pad(sources, found[i].data());
}

chord source_read(source_set *sources, source *port)
{
    switch (port->kind) {
    case source_kind::game_port: return status_chord(game_port_read());
    case source_kind::image: return status_chord(image_read(port->fd));
    case source_kind::device: return device_read(sources, port);
    case source_kind::closed: break;
    }
    return 0;
}

chord source_chord(const source *port, chord buttons)
{
    return mapped_chord(&port->same_as, buttons);
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

device_button key_button(unsigned short key)
{
    device_button button{};
    button.key = key;
    if (key >= BTN_DPAD_UP && key <= BTN_DPAD_RIGHT) {
        button.use = axis_use::hat;
        button.axis = key <= BTN_DPAD_DOWN ? ABS_HAT0Y : ABS_HAT0X;
        button.direction = key == BTN_DPAD_UP || key == BTN_DPAD_LEFT ? -1 : 1;
    }
    return button;
}

device_button axis_button(button_id axis, int minimum, int maximum)
{
    device_button button{};
    button.axis = axis.code;
    button.use = axis.kind == button_kind::axis_low ? axis_use::low : axis_use::high;
    button.minimum = minimum;
    button.range = maximum - minimum;
    return button;
}

chord device_state(const device_buttons *buttons, int count, const key_bits *keys, const axis_values *axes,
                   chord before)
{
    chord now = 0;
    for (int bit = 0; bit < count; ++bit)
        if (held(&(*buttons)[bit], keys, axes, has(before, bit)))
            now |= chord{1} << bit;
    return now;
}

std::string_view bit_name(const source *port, int bit, std::array<char, 32> *name)
{
    if (port->kind != source_kind::device) {
        (*name)[0] = static_cast<char>('1' + bit);
        return {name->data(), 1};
    }
    const device_button &button = (*port->buttons)[bit];
    std::string_view text;
    if (button.key != 0)
        text = key_name(button.key);
    else if (button.use == axis_use::hat)
        text = key_name(button.axis == ABS_HAT0Y ? (button.direction < 0 ? BTN_DPAD_UP : BTN_DPAD_DOWN)
                                                 : (button.direction < 0 ? BTN_DPAD_LEFT : BTN_DPAD_RIGHT));
    else
        text = axis_name(button.axis);
    const bool low = button.key == 0 && button.use == axis_use::low;
    const size_t length = std::min(text.size(), name->size() - 2);
    memcpy(name->data(), text.data(), length);
    if (low)
        (*name)[length] = '-';
    return {name->data(), length + (low ? 1 : 0)};
}
