// Every name a button list may use, in one table that the daemon and the
// controller's checks share: the kernel's key and axis names, decimal codes,
// and the standard names of a gamepad's layout with what each is on a pad of
// each family, as data.
#pragma once

#include <span>
#include <string_view>

// What a name in a list stands for: a key (for the D-pad's names also a
// direction of hat 0), an absolute axis pushed past three quarters of its
// range towards its maximum (high) or its minimum (low), or a standard name,
// which each pad resolves to one of those.
enum class button_kind : unsigned char { key, axis_high, axis_low, standard };

struct button_id {
    unsigned short code = 0; // for a standard name, its index among standard_names
    button_kind kind = button_kind::key;
};

// The code of a key or button named as in linux/input-event-codes.h
// ("BTN_START", "KEY_F13") or by its decimal code; -1 for anything else.
int key_code(std::string_view name);

// The code of an absolute axis ("ABS_Z"); -1 for anything else.
int axis_code(std::string_view name);

// The kernel's name of a key or axis code, "" for one that has none; a key
// by its own name rather than that of the range it begins (BTN_SOUTH, not
// BTN_GAMEPAD).
std::string_view key_name(int code);
std::string_view axis_name(int code);

// A standard name, a key name or code, or an axis name with an optional '-'
// for its low side; false for anything else.
bool read_button_name(std::string_view word, button_id *button);

// The length of the first name of a list joined by '+': up to the first '+',
// or past it for a standard name that ends in one ("leftx+") where the name
// ends the list or a '+' follows it.
size_t list_word_length(std::string_view list);

// How many standard names there are, and each by its index.
int standard_name_count();
std::string_view standard_name(int index);

// What a pad is, as far as its standard names go: its keys and axes
// (EVIOCGBIT's bits, in the kernel's layout) and its vendor id.
struct pad_layout {
    std::span<const unsigned long> keys;
    std::span<const unsigned long> axes;
    unsigned short vendor;
};

// The key or axis that standard name `index` is on this pad; false when the
// pad has none (a joystick's buttons, from BTN_TRIGGER up, have no layout
// these names know).
bool standard_button(const pad_layout *pad, int index, button_id *button);
