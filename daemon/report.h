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

struct source;
struct source_set;

enum class report_to { nothing, standard_error, system_log };

struct reporting {
    report_to where = report_to::nothing;
    std::array<chord, max_sources> held{}; // each source's buttons held when last told
};

// In the process that watches, that is after the fork of -d.
void report_start(reporting *reporting, bool verbose, bool daemon_mode);

// "run 12: COMMAND", "run BTN_SELECT+BTN_START: COMMAND"; a hold binding as
// "run LIST held 1500 ms: COMMAND", a run binding that fired as its chord
// was let go as "run LIST on release: COMMAND". A list of digits is written
// lowest first, one of names as given.
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
