// The checks of the configuration's values that the daemon would refuse
// later, made while the file is read, so that each refusal names its line:
// button lists with the names the daemon knows, and times.
#pragma once

#include <string_view>

// A time of the file: whole milliseconds ("1500"), or a number with "ms" or
// "s" ("1500ms", "1.5s"), from 1 ms to a minute.
enum class time_fault { none, not_recognized, out_of_range };
time_fault read_time(std::string_view word, int *ms);

// The milliseconds of a time on line `line_number`; refuses anything else
// with its line, "line N: time "X" not recognized" or "... out of range".
int line_time(std::string_view word, int line_number);

// A button list of run or hold (digits 1 to 4, or names joined by '+'), and
// the button names of buttons (one to four key names or codes, commas
// between); each refuses a list the daemon would refuse, with its line and
// the daemon's own words: "line 3: Wrong button name specified: BTN_SELEKT".
void check_list(std::string_view list, int line_number);
void check_button_names(std::string_view list, int line_number);
