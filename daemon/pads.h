// Pads found by the name the kernel gives them, read from sysfs, so that a
// node whose name matches no pattern is never opened.
#pragma once

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

// The event nodes in NODE_DIR (/dev/input) whose names match, lowest number
// first, as many as `found` holds; the count of all that match, which may be
// more, or -1 when NODE_DIR cannot be read. Only sysfs is read, never a node.
int list_pads(const char *node_dir, const char *class_dir, std::span<const char *const> patterns,
              std::span<node_name> found);

// NODE_DIR/NODE into `path`; false when it does not fit.
bool node_path(const char *node_dir, const char *node, std::span<char> path);
