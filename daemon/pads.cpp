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
void keep_in_order(std::span<node_name> found, int kept, const char *node)
{
    const int size = static_cast<int>(found.size());
    int at = kept < size ? kept : size;
    while (at > 0 && node_number(found[at - 1].data()) > node_number(node)) {
        if (at < size)
            found[at] = found[at - 1];
        --at;
    }
    if (at < size) {
        found[at] = {};
        memcpy(found[at].data(), node, strnlen(node, found[at].size() - 1));
    }
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

int list_pads(const char *node_dir, const char *class_dir, std::span<const char *const> patterns,
              std::span<node_name> found)
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
            if (is_event_node(entry->d_name) && read_pad_name(class_dir, entry->d_name, &name) &&
                name_matches(patterns, name.data()))
                keep_in_order(found, matched++, entry->d_name);
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
