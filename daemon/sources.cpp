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

void map_same_buttons(source *port, int count)
{
    for (int bit = 0; bit < count; ++bit) {
        int first = 0;
        while (first < bit && !same_button(&(*port->buttons)[first], &(*port->buttons)[bit]))
            ++first;
        port->same_as[bit] = static_cast<unsigned char>(reads_something(&(*port->buttons)[bit]) ? first : bit);
    }
}

// The watched buttons on an input event device; false when fd is anything
// else or has none of them. Pads found by name are taken only when they are
// joysticks or gamepads, never a pad's motion sensors or touchpad.
bool learn_buttons(const source_set *sources, int fd, source *port)
{
    device_shape shape;
    if (!read_shape(fd, &shape) || (port->by_name && !is_pad(&shape)))
        return false;
    *port->buttons = device_buttons{};
    port->button_count = sources->learning ? every_button(fd, &shape, port->buttons)
                                           : watched_buttons(fd, &shape, sources->given, sources->watched, port->buttons);
    const bool any = fit_buttons(&shape, port->buttons, port->button_count);
    if (sources->learning)
        name_standard_buttons(fd, &shape, port->buttons, port->button_count);
    map_same_buttons(port, port->button_count);
    port->raw = 0;
    return any;
}

// Learning mode tells every pad it takes; -v, a device taken again and
// every pad found by its name.
void tell_found(const source_set *sources, const source *port, bool again)
{
    // Each pad found by its name says what its standard names are, and in
    // learning mode every device with some.
    std::array<char, 768> names_text;
    device_shape shape;
    const std::string_view names = (port->by_name || sources->learning) && read_shape(port->fd, &shape)
                                       ? describe_standard_names(port->fd, &shape, names_text)
                                       : std::string_view();
    if (!sources->learning) {
        if (again || port->by_name)
            report_device(sources->report, port->path, true);
        if (!names.empty())
            report_standard_names(sources->report, port->path, names);
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
    if (!names.empty())
        learn_tell(format_standard_names(&line, port->path, names));
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

// The state of every key now (and of the axes that matter), whatever the
// event queue holds.
chord device_read(source_set *sources, source *port)
{
    if (!read_device(port->fd, port->buttons, port->button_count, &port->raw)) {
        // Unplugged (ENODEV), or unusable for another reason: let go of the
        // node and look for PATH again.
        close_source(sources, port);
        return 0;
    }
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

// Whether the pad at `path` is in a place or was put in one: 0, else errno
// of the open that failed; a pad that is not there to be opened, or is no
// pad after all, neither takes a place nor is told.
int take_pad(source_set *sources, const std::array<char, 32> *path)
{
    source *port = place_of(sources, path);
    if (port == nullptr) {
        report_left_alone(sources->report, path->data());
        return 0;
    }
    if (port->kind != source_kind::closed)
        return 0;
    port->node = *path;
    const int fd = open_path(sources, port);
    const int error = fd < 0 ? errno : 0;
    if (fd < 0 || !take(sources, port, fd)) {
        port->node[0] = '\0';
        return error == ENOENT || error == ENODEV ? 0 : error;
    }
    tell_found(sources, port, false);
    return 0;
}

bool told_before(const source_set *sources, const not_taken *pad)
{
    for (int i = 0; i < sources->untaken_count; ++i)
        if (strcmp(sources->untaken[i].node.data(), pad->node.data()) == 0 && sources->untaken[i].error == pad->error)
            return true;
    return false;
}

// "does not match 'A' or 'B'", cut where the room ends.
void no_match_reason(const source_set *sources, std::span<char> reason)
{
    size_t length = 0;
    const auto add = [&](const char *text) {
        for (; *text != '\0' && length + 1 < reason.size(); ++text)
            reason[length++] = *text;
    };
    add("does not match ");
    for (size_t i = 0; i < sources->patterns.size(); ++i) {
        add(i == 0 ? "'" : " or '");
        add(sources->patterns[i]);
        add("'");
    }
    reason[length] = '\0';
}

void tell_not_taken(const source_set *sources, const not_taken *pad, const char *path)
{
    pad_name name{};
    unsigned short vendor = 0;
    unsigned short product = 0;
    if (!read_pad_name("/sys/class/input", pad->node.data(), &name))
        name[0] = '\0';
    read_pad_ids("/sys/class/input", pad->node.data(), &vendor, &product);
    std::array<char, 512> reason;
    if (pad->error == 0)
        no_match_reason(sources, reason);
    const char *why = pad->error == 0 ? reason.data() : strerror(pad->error);
    if (!sources->learning) {
        report_not_taken(sources->report, path, name.data(), vendor, product, why);
        return;
    }
    learn_line line;
    learn_tell(format_not_taken(&line, path, name.data(), vendor, product, why));
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
    std::array<pad_seen, 4UL * max_sources> found;
    const int pads = std::min(list_pads("/dev/input", "/sys/class/input", sources->patterns, found),
                              static_cast<int>(found.size()));
    std::array<not_taken, 4UL * max_sources> untaken;
    int untaken_count = 0;
    for (int i = 0; i < pads; ++i) {
        std::array<char, 32> path;
        if (!node_path("/dev/input", found[i].node.data(), path))
            continue;
        const int error = found[i].matches ? take_pad(sources, &path) : 0;
        if (found[i].matches && error == 0)
            continue;
        not_taken *pad = &untaken[untaken_count++];
        memcpy(pad->node.data(), found[i].node.data(), pad->node.size());
        pad->error = error;
        if (!told_before(sources, pad))
            tell_not_taken(sources, pad, path.data());
    }
    sources->untaken = untaken;
    sources->untaken_count = untaken_count;
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

std::string_view bit_name(const source *port, int bit, std::array<char, 32> *name)
{
    if (port->kind != source_kind::device) {
        (*name)[0] = static_cast<char>('1' + bit);
        return {name->data(), 1};
    }
    return button_name(&(*port->buttons)[bit], name);
}

std::string_view bit_standard_name(const source *port, int bit)
{
    const unsigned char standard = port->kind == source_kind::device ? (*port->buttons)[bit].standard : 0;
    return standard == 0 ? std::string_view() : standard_name(standard - 1);
}
