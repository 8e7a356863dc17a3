// Pads found by the name the kernel gives them, read from sysfs, so that a
// node whose name matches no pattern is never opened.
#pragma once

#include "devices.h"

#include <array>
#include <climits>
#include <span>

// A device's name as the kernel gives it, NUL-ended; longer names are cut.
using pad_name = std::array<char, 256>;

// An event node's name under /dev/input, such as "event12".
using node_name = std::array<char, 16>;

// Whether `entry` names an event node: "event" and then digits only.
bool is_event_node(const char *entry);

// The name of event node `node` ("event5") as CLASS_DIR/NODE/device/name
// gives it (CLASS_DIR is /sys/class/input), without the newline the kernel
// ends it with; false when there is none to read.
bool read_pad_name(const char *class_dir, const char *node, pad_name *name);

// Whether `name` matches one of the shell patterns (fnmatch, no flags: `*`
// matches every name, a blank is a blank).
bool name_matches(std::span<const char *const> patterns, const char *name);

// The vendor and product ids of event node `node` as sysfs gives them
// (CLASS_DIR/NODE/device/id/vendor and product); 0 for one it does not give.
void read_pad_ids(const char *class_dir, const char *node, unsigned short *vendor, unsigned short *product);

// What sysfs tells of event node `node` without opening it: its keys, axes
// and properties (CLASS_DIR/NODE/device/capabilities/key and abs, and
// device/properties) and its vendor; false when it is gone.
bool read_sysfs_shape(const char *class_dir, const char *node, device_shape *shape);

// A joystick or gamepad under /dev/input, and whether a pattern takes it.
struct pad_seen {
    node_name node;
    bool matches;
};

// The event nodes in NODE_DIR (/dev/input) that are pads (devices.h's
// is_pad, as sysfs shows them: a pad's motion sensors and touchpad are not),
// lowest number first, as many as `found` holds, each with whether its name
// matches; the count of all pads, which may be more, or -1 when NODE_DIR
// cannot be read. Only sysfs is read, never a node.
int list_pads(const char *node_dir, const char *class_dir, std::span<const char *const> patterns,
              std::span<pad_seen> found);

// NODE_DIR/NODE into `path`; false when it does not fit.
bool node_path(const char *node_dir, const char *node, std::span<char> path);
