// What learning mode prints on standard output, one line per write() so that
// a pipe's reader sees each line as it is told: the pads found and lost, and
// each chord with how long it was held.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <span>
#include <string_view>

// One line's room: a path, a device name and a chord of many names.
using learn_line = std::array<char, PATH_MAX + 1024>;

// "found PATH: NAME (VVVV:PPPP)\n", the ids in lower-case hexadecimal.
std::string_view format_found(learn_line *line, const char *path, const char *name, unsigned short vendor,
                              unsigned short product);

// " (VVVV:PPPP)", the ids in lower-case hexadecimal.
void format_ids(std::array<char, 16> *ids, unsigned short vendor, unsigned short product);

// "not taken PATH: NAME (VVVV:PPPP): REASON\n"
std::string_view format_not_taken(learn_line *line, const char *path, const char *name, unsigned short vendor,
                                  unsigned short product, const char *reason);

// "standard names of PATH: NAMES\n"
std::string_view format_standard_names(learn_line *line, const char *path, std::string_view names);

// "lost PATH\n"
std::string_view format_lost(learn_line *line, const char *path);

// "BTN_SELECT+BTN_START held 1.42 s\n": the names joined as a run line takes
// them, the time in seconds to the nearest hundredth; with a path, the pad
// it was held on, "... held 1.42 s on PATH\n", or null for none. A line too long for the room
// ends with the names that fit.
std::string_view format_chord(learn_line *line, std::span<const std::string_view> names, long long held_usec,
                              const char *path);

// Writes the line to standard output in one write().
void learn_tell(std::string_view line);

struct source_set;
struct source;

// Follows one read of a source in learning mode: once all of its buttons are
// let go, tells the largest chord of the press and how long it was held
// whole, as a run line takes it. `now` is the read's time in microseconds.
void learn_from(source_set *sources, source *port, std::int64_t now);
