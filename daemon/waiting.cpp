#include "waiting.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using path_buffer = std::array<char, PATH_MAX>;

// Every watched directory is asked for the same events: one mask, so that two
// sources watching one directory never narrow each other's watch.
constexpr uint32_t directory_events =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB | IN_ONLYDIR;

// Rounds of watching and looking again while the directories to watch change
// under the daemon's feet; events bring it back later anyway.
constexpr int watch_rounds = 16;

bool uses_game_port(const source_set *sources)
{
    return sources->list[0].kind == source_kind::game_port;
}

// "/a/b" becomes "/a", "/a" becomes "/".
void cut_last(path_buffer *path)
{
    char *slash = strrchr(path->data(), '/');
    if (slash == nullptr)
        *path = {'.', '\0'};
    else
        slash[slash == path->data() ? 1 : 0] = '\0';
}

bool is_directory(const path_buffer *path)
{
    struct stat st {};
    return stat(path->data(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The nearest directory above the path that exists: the path's own directory,
// or above it when that is gone too (a by-id folder leaves with its last link).
void nearest_directory(path_buffer *path)
{
    do
        cut_last(path);
    while (!is_directory(path) && strcmp(path->data(), "/") != 0 && strcmp(path->data(), ".") != 0);
}

struct watch_list {
    std::array<int, 2UL * max_sources> wd{};
    int count = 0;
};

void watch(const waiter *wait, const path_buffer *directory, watch_list *list)
{
    const int wd = inotify_add_watch(wait->inotify, directory->data(), directory_events);
    if (wd < 0)
        return; // unwatchable: the source is taken when some other event comes
    for (int i = 0; i < list->count; ++i)
        if (list->wd[i] == wd)
            return;
    list->wd[list->count++] = wd;
}

// Where a link that leads nowhere yet points: its target, made absolute
// against the link's own directory. False when the path is no link.
bool link_target(const path_buffer *link, path_buffer *target)
{
    path_buffer read_target;
    const ssize_t length = readlink(link->data(), read_target.data(), read_target.size() - 1);
    if (length < 0)
        return false;
    read_target[static_cast<size_t>(length)] = '\0';
    if (read_target[0] == '/') {
        *target = read_target;
        return true;
    }
    *target = *link;
    cut_last(target);
    const size_t used = strlen(target->data());
    if (used + 1 + static_cast<size_t>(length) >= target->size())
        return false;
    (*target)[used] = '/';
    memcpy(target->data() + used + 1, read_target.data(), static_cast<size_t>(length) + 1);
    return true;
}

// A port image: its directory, where a writer replaces or removes it. A path
// that is not usable: the nearest directory above it that exists, for it to
// appear; and the directory of what it leads to, where a device node is made
// readable a moment after it appears, or, for a link of the user's own to a
// by-id name that is gone, the nearest directory above that name.
void watch_source(const waiter *wait, const source_set *sources, const source *port, watch_list *list)
{
    path_buffer path;
    if (!source_full_path(sources, port, &path))
        return;
    if (port->kind == source_kind::image) {
        cut_last(&path);
        watch(wait, &path, list);
        return;
    }
    path_buffer node;
    if (realpath(path.data(), node.data()) != nullptr) {
        cut_last(&node);
        watch(wait, &node, list);
    } else if (link_target(&path, &node)) {
        nearest_directory(&node);
        watch(wait, &node, list);
    }
    nearest_directory(&path);
    watch(wait, &path, list);
}

bool watched_before(const waiter *wait, int wd)
{
    for (int i = 0; i < wait->watch_count; ++i)
        if (wait->watches[i] == wd)
            return true;
    return false;
}

// Watches what the sources need now and drops the rest; true when a
// directory is watched that was not before.
bool choose_watches(waiter *wait, const source_set *sources)
{
    watch_list list;
    for (int i = 0; i < sources->count; ++i) {
        const source_kind kind = sources->list[i].kind;
        if (!sources->list[i].by_name && (kind == source_kind::image || kind == source_kind::closed))
            watch_source(wait, sources, &sources->list[i], &list);
    }
    // Pads by name come and go, and are made readable, there.
    if (!sources->patterns.empty()) {
        const path_buffer nodes = {"/dev/input"};
        watch(wait, &nodes, &list);
    }
    bool added = false;
    for (int i = 0; i < list.count; ++i)
        added = added || !watched_before(wait, list.wd[i]);
    for (int i = 0; i < wait->watch_count; ++i) {
        bool kept = false;
        for (int j = 0; j < list.count; ++j)
            kept = kept || list.wd[j] == wait->watches[i];
        if (!kept)
            inotify_rm_watch(wait->inotify, wait->watches[i]);
    }
    wait->watches = list.wd;
    wait->watch_count = list.count;
    return added;
}

// False when there was none to try. Pads by name are looked for again too:
// one may have come before /dev/input was watched.
bool retry_closed(source_set *sources)
{
    bool tried = !sources->patterns.empty();
    take_pads(sources);
    for (int i = 0; i < sources->count; ++i)
        if (sources->list[i].kind == source_kind::closed && !sources->list[i].by_name) {
            source_reopen(sources, &sources->list[i]);
            tried = true;
        }
    return tried;
}

// A path can appear between looking for it and watching for it: after a new
// directory is watched, the missing paths are looked for again.
void update_watches(waiter *wait, source_set *sources)
{
    if (!wait->stale && wait->seen_changes == sources->changes)
        return;
    for (int round = 0; round < watch_rounds; ++round)
        if (!choose_watches(wait, sources) || !retry_closed(sources))
            break;
    wait->stale = false;
    wait->seen_changes = sources->changes;
}

const char *last_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// Pads by name are looked for again, and every place for one is read, so
// that a pad just taken is read at once.
void look_for_pads(waiter *wait, source_set *sources)
{
    take_pads(sources);
    for (int i = 0; i < sources->count; ++i)
        wait->stirred[i] = wait->stirred[i] || sources->list[i].by_name;
}

// Port images whose name came or went are opened again at their path, and
// every source that is not usable is tried again.
void read_notes(waiter *wait, source_set *sources)
{
    alignas(inotify_event) std::array<char, 4096> buffer;
    const ssize_t got = read(wait->inotify, buffer.data(), buffer.size());
    std::array<bool, max_sources> renamed{};
    for (ssize_t at = 0; at < got;) {
        inotify_event event {};
        memcpy(&event, buffer.data() + at, sizeof event);
        const char *name = buffer.data() + at + sizeof event;
        for (int i = 0; i < sources->count; ++i)
            renamed[i] = renamed[i] || (event.mask & IN_Q_OVERFLOW) != 0
                         || (event.len > 0 && strcmp(name, last_name(sources->list[i].path)) == 0);
        at += static_cast<ssize_t>(sizeof event + event.len);
    }
    for (int i = 0; i < sources->count; ++i) {
        source *port = &sources->list[i];
        if (port->by_name)
            continue;
        if (port->kind == source_kind::closed || (port->kind == source_kind::image && renamed[i])) {
            source_reopen(sources, port);
            wait->stirred[i] = true;
        }
    }
    look_for_pads(wait, sources);
    wait->stale = true;
}

// The inotify descriptor's tag in the epoll set; devices are tagged with
// their index among the sources.
constexpr uint32_t inotify_tag = max_sources;

// Every open device is in the epoll set. A closed descriptor leaves the set
// by itself, and one that is there already is refused (EEXIST): after any
// change every device is simply added.
void register_devices(const waiter *wait, const source_set *sources)
{
    for (int i = 0; i < sources->count; ++i) {
        const source *port = &sources->list[i];
        if (port->kind != source_kind::device)
            continue;
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(wait->epoll, EPOLL_CTL_ADD, port->fd, &event);
    }
}

bool is_polled(const source *port)
{
    return port->kind == source_kind::image || port->kind == source_kind::game_port;
}

// The earlier of two times, -1 standing for never.
instant earlier(instant a, instant b)
{
    return a < 0 || (b >= 0 && b < a) ? b : a;
}

// The nearest time some source is to be read; -1 for none.
instant next_look(const source_set *sources)
{
    instant next = -1;
    for (int i = 0; i < sources->count; ++i) {
        const source *port = &sources->list[i];
        next = earlier(earlier(next, is_polled(port) ? port->next_read : -1), gesture_due(&port->moves));
    }
    return next;
}

// Waits at most `timeout_ms` (for ever when -1).
void wait_once(waiter *wait, source_set *sources, int timeout_ms)
{
    if (wait->stale || wait->seen_changes != sources->changes) {
        update_watches(wait, sources);
        register_devices(wait, sources);
    }
    std::array<epoll_event, max_sources + 1> events;
    const int ready = epoll_wait(wait->epoll, events.data(), static_cast<int>(events.size()), timeout_ms);
    for (int i = 0; i < ready; ++i) {
        const uint32_t tag = events[i].data.u32;
        if (tag == inotify_tag) {
            read_notes(wait, sources);
        } else if (sources->list[tag].kind == source_kind::device) {
            source_drain(sources, &sources->list[tag]);
            wait->stirred[tag] = true;
        }
    }
}

} // namespace

bool start_waiting(waiter *wait, source_set *sources)
{
    if (uses_game_port(sources))
        return true;
    wait->inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wait->epoll = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u32 = inotify_tag;
    if (wait->inotify < 0 || wait->epoll < 0 || epoll_ctl(wait->epoll, EPOLL_CTL_ADD, wait->inotify, &event) != 0)
        return false;
    update_watches(wait, sources);
    register_devices(wait, sources);
    return true;
}

void wait_for_input(waiter *wait, source_set *sources)
{
    wait->stirred = {};
    if (sources->place_freed) {
        sources->place_freed = false;
        look_for_pads(wait, sources);
        return;
    }
    if (uses_game_port(sources)) {
        usleep(static_cast<useconds_t>(sources->list[0].interval_usec));
        return;
    }
    const instant next = next_look(sources);
    // Times are whole milliseconds: what is left of one is rounded up, so the
    // wait never ends before the time it waits for.
    const instant left = next < 0 ? -1 : std::max<instant>(next - now_usec(), 0);
    // No deadline is more than a minute or two away: int holds it, and
    // dividing it needs no helper from libgcc on a 32-bit machine.
    const int usec = static_cast<int>(std::min<instant>(left, 2000000000));
    wait_once(wait, sources, left < 0 ? -1 : (usec + 999) / 1000);
}

bool is_due(const waiter *wait, const source *port, int index, instant now)
{
    if (port->kind == source_kind::game_port)
        return true;
    const instant due = gesture_due(&port->moves);
    return wait->stirred[index] || (port->kind == source_kind::image && now >= port->next_read)
           || (due >= 0 && now >= due);
}
