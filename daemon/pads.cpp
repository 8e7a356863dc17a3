#include "pads.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/input.h>
#include <unistd.h>

namespace {

// The number of an event node, for "event12" 12.
long node_number(const char *node)
{
    return strtol(node + 5, nullptr, 10);
}

// Puts `node` into the first `kept` of `found`, which are in order of
// their numbers, when it belongs there; the last one falls out when full.
void keep_in_order(std::span<pad_seen> found, int kept, const char *node, bool matches)
{
    const int size = static_cast<int>(found.size());
    int at = kept < size ? kept : size;
    while (at > 0 && node_number(found[at - 1].node.data()) > node_number(node)) {
        if (at < size)
            found[at] = found[at - 1];
        --at;
    }
    if (at < size) {
        found[at] = {};
        memcpy(found[at].node.data(), node, strnlen(node, found[at].node.size() - 1));
        found[at].matches = matches;
    }
}

// CLASS_DIR/NODE/device/FILE, its text NUL-ended and cut to fit; false
// when there is none to read.
bool read_device_file(const char *class_dir, const char *node, const char *file, std::span<char> text)
{
    std::array<char, PATH_MAX> path;
    const int length = snprintf(path.data(), path.size(), "%s/%s/device/%s", class_dir, node, file);
    if (length < 0 || length >= static_cast<int>(path.size()))
        return false;
    const int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t got = read(fd, text.data(), text.size() - 1);
    close(fd);
    if (got < 0)
        return false;
    text[static_cast<size_t>(got)] = '\0';
    return true;
}

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A bitmap as sysfs writes it: the kernel's words in hexadecimal, the
// highest first, the last one word 0. A word longer than ours is a 64-bit
// kernel's under a 32-bit daemon: each then fills two of ours.
void parse_bitmap(const char *text, std::span<unsigned long> bits)
{
    std::array<const char *, 64> words{};
    size_t count = 0;
    bool wide = false;
    for (const char *at = text; *at != '\0' && count < words.size();) {
        while (*at != '\0' && !is_hex_digit(*at))
            ++at;
        if (*at == '\0')
            break;
        const char *start = at;
        while (is_hex_digit(*at))
            ++at;
        wide = wide || static_cast<size_t>(at - start) > 2 * sizeof(unsigned long);
        words[count++] = start;
    }
    const size_t per_word = wide && sizeof(unsigned long) == 4 ? 2 : 1;
    for (size_t k = 0; k < count; ++k) {
        const unsigned long long value = strtoull(words[count - 1 - k], nullptr, 16);
        for (size_t half = 0; half < per_word; ++half) {
            const size_t index = k * per_word + half;
            if (index < bits.size())
                bits[index] = static_cast<unsigned long>(per_word == 2 ? value >> (32 * half) : value);
        }
    }
}

bool read_bitmap(const char *class_dir, const char *node, const char *file, std::span<unsigned long> bits)
{
    std::array<char, 1024> text;
    if (!read_device_file(class_dir, node, file, text))
        return false;
    parse_bitmap(text.data(), bits);
    return true;
}

unsigned short read_id(const char *class_dir, const char *node, const char *file)
{
    std::array<char, 16> text;
    return read_device_file(class_dir, node, file, text)
               ? static_cast<unsigned short>(strtoul(text.data(), nullptr, 16))
               : 0;
}

} // namespace

bool is_event_node(const char *entry)
{
    if (strncmp(entry, "event", 5) != 0 || entry[5] == '\0' || strlen(entry) >= node_name().size())
        return false;
    for (const char *digit = entry + 5; *digit != '\0'; ++digit)
        if (*digit < '0' || *digit > '9')
            return false;
    return true;
}

bool read_pad_name(const char *class_dir, const char *node, pad_name *name)
{
    std::array<char, PATH_MAX> path;
    const int length = snprintf(path.data(), path.size(), "%s/%s/device/name", class_dir, node);
    if (length < 0 || length >= static_cast<int>(path.size()))
        return false;
    const int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t got = read(fd, name->data(), name->size() - 1);
    close(fd);
    if (got < 0)
        return false;
    (*name)[static_cast<size_t>(got)] = '\0';
    if (got > 0 && (*name)[static_cast<size_t>(got) - 1] == '\n')
        (*name)[static_cast<size_t>(got) - 1] = '\0';
    return true;
}

bool name_matches(std::span<const char *const> patterns, const char *name)
{
    for (const char *pattern : patterns)
        if (fnmatch(pattern, name, 0) == 0)
            return true;
    return false;
}

void read_pad_ids(const char *class_dir, const char *node, unsigned short *vendor, unsigned short *product)
{
    *vendor = read_id(class_dir, node, "id/vendor");
    *product = read_id(class_dir, node, "id/product");
}

bool read_sysfs_shape(const char *class_dir, const char *node, device_shape *shape)
{
    *shape = device_shape{};
    // A device without absolute axes or properties has those files all the same.
    if (!read_bitmap(class_dir, node, "capabilities/key", shape->keys))
        return false;
    read_bitmap(class_dir, node, "capabilities/abs", shape->axes);
    read_bitmap(class_dir, node, "properties", shape->properties);
    shape->vendor = read_id(class_dir, node, "id/vendor");
    return true;
}

int list_pads(const char *node_dir, const char *class_dir, std::span<const char *const> patterns,
              std::span<pad_seen> found)
{
    const int dir = open(node_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    int matched = 0;
    alignas(dirent64) std::array<char, 4096> entries;
    ssize_t got = 0;
    while ((got = getdents64(dir, entries.data(), entries.size())) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries.data() + at);
            at += entry->d_reclen;
            pad_name name;
            device_shape shape;
            if (is_event_node(entry->d_name) && read_pad_name(class_dir, entry->d_name, &name)
                && read_sysfs_shape(class_dir, entry->d_name, &shape) && is_pad(&shape))
                keep_in_order(found, matched++, entry->d_name, name_matches(patterns, name.data()));
        }
    }
    close(dir);
    return got < 0 ? -1 : matched;
}

bool node_path(const char *node_dir, const char *node, std::span<char> path)
{
    const int length = snprintf(path.data(), path.size(), "%s/%s", node_dir, node);
    return length >= 0 && static_cast<size_t>(length) < path.size();
}
