// How the daemon waits: the game port in usleep, as ever; port images and
// input event devices in one epoll_wait over the devices and an inotify
// descriptor that follows paths coming and going. A timeout only while a port
// image is open or a gesture has a deadline; with devices alone and nothing
// pending the daemon sleeps until something happens.
#pragma once

#include "sources.h"

#include <array>

struct waiter {
    int epoll = -1;                                    // with -j paths only
    int inotify = -1;
    std::array<int, 2UL * max_sources> watches{};      // watch descriptors of the directories watched
    int watch_count = 0;
    bool stale = true;                                 // the directories to watch may have changed
    unsigned seen_changes = 0;                         // the sources' changes when they were last chosen
    std::array<bool, max_sources> stirred{};           // a device's events came, or a source was opened again
};

// After the sources are opened. False when inotify cannot be had.
bool start_waiting(waiter *wait, source_set *sources);

// Until some source is to be read: the game port or a port image at the end
// of the interval its last read chose, a device when it reports a watched
// button or is opened again, any source at its gesture's deadline. Then
// `stirred` tells the devices whose events came.
void wait_for_input(waiter *wait, source_set *sources);

// Whether the source is to be read now.
bool is_due(const waiter *wait, const source *port, int index, instant now);
