// What the daemon tells with -v, one line each: every bound set that fires
// and its command, every command's end, every input device lost and found
// again, and in the foreground every change of the buttons held. In the
// foreground the lines go to standard error, with -d to the system log.
// Without -v nothing is told. Telling costs no system call while nothing
// happens.
#pragma once

enum class report_to { nothing, standard_error, system_log };

struct reporting {
    report_to where = report_to::nothing;
    int held = 0; // the buttons held when last told: bit 0 is button 1
};

// In the process that watches, that is after the fork of -d.
void report_start(reporting *reporting, bool verbose, bool daemon_mode);

// "run 12: COMMAND"
void report_fired(const reporting *reporting, int set, const char *command);

// "ended 12: status N", "ended 12: signal N", or "ended 12: status unknown"
// when system() could not run the shell or learn how it ended.
void report_ended(const reporting *reporting, int set, int wait_status);

// "held: 1 3", "held: none"; in the foreground only, and only on a change.
void report_held(reporting *reporting, int held);

// "lost PATH", "found PATH". Null tells nothing.
void report_device(const reporting *reporting, const char *path, bool found);
