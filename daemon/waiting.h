// How the daemon waits: the game port in usleep, as ever; port images and
// input event devices in one epoll_wait over the devices and an inotify
// descriptor that follows paths coming and going. A timeout only while a port
// image is open; with devices alone the daemon sleeps until something happens.
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
};

// After the sources are opened. False when inotify cannot be had.
bool start_waiting(waiter *wait, source_set *sources);

// Until something may have changed: one poll interval while the game port or
// a port image is a source (an event from a device ends it early), or with
// devices alone until one reports a watched button or a source comes or goes.
void wait_for_input(waiter *wait, source_set *sources, int poll_usec);

// The whole settle time, keeping the sources up to date meanwhile.
void settle(waiter *wait, source_set *sources, int wait_usec);
