// What the daemon tells with -v, one line each: every bound set that fires
// and its command, every command's end, every input device lost and found
// again, and in the foreground every change of the buttons held. In the
// foreground the lines go to standard error, with -d to the system log.
// Without -v nothing is told. Telling costs no system call while nothing
// happens.
#pragma once

#include "command_line.h"
#include "gestures.h"

#include <array>
#include <span>
#include <string_view>

struct source;
struct source_set;

// Every line the daemon builds (these reports, the learning lines, the
// messages that name a path) is put together here in a fixed buffer, so that
// it goes out in one write. Each part is shown as a terminal cannot misread
// it: C0 and C1 controls, DEL and bytes that are not well-formed UTF-8 as
// '?', other UTF-8 as it is, so that one line stays one line. Nothing is
// ever written past the buffer, whose last byte is kept for the newline: a
// part too long for the room left is cut, "..." ends the line, and the
// line takes nothing more.
struct line_writer {
    std::span<char> room; // at least five bytes: "...", the newline and one more
    size_t length = 0;
    bool cut = false;
};

void line_add(line_writer *line, std::string_view part);
void line_add_number(line_writer *line, unsigned value);

// The room left before the newline, as line_add counts it.
size_t line_room(const line_writer *line);

// The line and its newline.
std::string_view line_end(line_writer *line);

enum class report_to { nothing, standard_error, system_log };

struct reporting {
    report_to where = report_to::nothing;
    std::array<chord, max_sources> held{}; // each source's buttons held when last told
};

// In the process that watches, that is after the fork of -d.
void report_start(reporting *reporting, bool verbose, bool daemon_mode);

// "run 12: COMMAND", "run BTN_SELECT+BTN_START: COMMAND"; a hold binding as
// "run LIST held 1500 ms: COMMAND", a run binding that fired as its chord
// was let go as "run LIST on release: COMMAND", one of names let go before
// the settle time as "run LIST on tap: COMMAND", and one that fired as soon
// as its chord was held as "run LIST at once: COMMAND". A repeat binding as
// "repeat LIST: COMMAND", then "repeat LIST again: COMMAND"; a double press
// as "double LIST: COMMAND". A list of digits is written lowest first, one
// of names as given.
void report_fired(const reporting *reporting, const firing *fired);

// "ended LIST: status N", "ended LIST: signal N", or "ended LIST: status
// unknown" when system() could not run the shell or learn how it ended.
void report_ended(const reporting *reporting, const binding *bound, int wait_status);

// "held: 1 3", "held: BTN_SELECT ABS_Z", "held: none", with several sources
// "held on PATH: ..."; in the foreground only, and only on a change.
void report_held(reporting *reporting, const source_set *sources, const source *port);

// "lost PATH", "found PATH". Null tells nothing.
void report_device(const reporting *reporting, const char *path, bool found);

// "left alone PATH: too many pads", for a pad whose name matches while every
// place for a source is taken.
void report_left_alone(const reporting *reporting, const char *path);

// "not taken PATH: NAME (VVVV:PPPP): REASON", for a pad that no pattern takes
// ("does not match 'PATTERN'") or that cannot be opened (strerror's text).
void report_not_taken(const reporting *reporting, const char *path, const char *name, unsigned short vendor,
                      unsigned short product, const char *reason);

// "standard names of PATH: a BTN_SOUTH, b BTN_EAST, ...", as a pad found by
// its name is taken.
void report_standard_names(const reporting *reporting, const char *path, std::string_view names);
