#include "button_names.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include <linux/input-event-codes.h>

namespace {

// Every key and button macro of linux/input-event-codes.h with its code. The
// names are one text, not pointed at one by one: a table of pointers would be
// relocated, and so brought into memory, at every start, -b or not.
#include "key_names.inc"

static_assert(std::count(std::begin(key_name_text), std::end(key_name_text), '\0')
              == std::size(key_name_codes) + 1); // each name's NUL, and the text's own
static_assert(std::count(std::begin(axis_name_text), std::end(axis_name_text), '\0')
              == std::size(axis_name_codes) + 1);

// The gamepad layout's words, as game controller mappings name them: the
// face buttons by their place (a bottom, b right, x left, y top).
constexpr char standard_name_text[] =
    "a\0b\0x\0y\0back\0guide\0start\0leftshoulder\0rightshoulder\0lefttrigger\0righttrigger\0leftstick\0"
    "rightstick\0dpup\0dpdown\0dpleft\0dpright\0misc1\0leftx-\0leftx+\0lefty-\0lefty+\0rightx-\0rightx+\0"
    "righty-\0righty+";

enum standard : unsigned char {
    a, b, x, y, back, guide, start, leftshoulder, rightshoulder, lefttrigger, righttrigger, leftstick,
    rightstick, dpup, dpdown, dpleft, dpright, misc1, leftx_low, leftx_high, lefty_low, lefty_high,
    rightx_low, rightx_high, righty_low, righty_high, standard_count
};

static_assert(std::count(std::begin(standard_name_text), std::end(standard_name_text), '\0') == standard_count);

// When a rule holds, besides the pad having its code.
enum class when : unsigned char {
    always,
    positional,    // Sony's and Nintendo's drivers: the face buttons named by their place
    nintendo,      // hid-nintendo: Capture is BTN_Z
    brake_and_gas, // the triggers on ABS_BRAKE and ABS_GAS, the right stick then on ABS_Z and ABS_RZ
    home_key,      // Back and Home as KEY_BACK and KEY_HOMEPAGE, Start then BTN_MODE
};

struct rule {
    standard name;
    when applies;
    button_id code;
};

constexpr button_id key(int code) { return {static_cast<unsigned short>(code), button_kind::key}; }
constexpr button_id high(int code) { return {static_cast<unsigned short>(code), button_kind::axis_high}; }
constexpr button_id low(int code) { return {static_cast<unsigned short>(code), button_kind::axis_low}; }

// For each name, the first rule that holds on the pad and whose code the pad
// has is what the name is there. xpad, hid-microsoft and HID's own button
// order (hid-generic) give the left face button code 0x133 (BTN_NORTH, also
// BTN_X) and the top one 0x134 (BTN_WEST, BTN_Y); hid-playstation, hid-sony
// and hid-nintendo name them by place. Where a trigger is a key and an axis
// both, the axis decides.
constexpr rule rules[] = {
    {a, when::always, key(BTN_SOUTH)},
    {b, when::always, key(BTN_EAST)},
    {x, when::positional, key(BTN_WEST)},
    {x, when::always, key(BTN_NORTH)},
    {y, when::positional, key(BTN_NORTH)},
    {y, when::always, key(BTN_WEST)},
    {back, when::always, key(KEY_BACK)},
    {back, when::always, key(BTN_SELECT)},
    {guide, when::always, key(KEY_HOMEPAGE)},
    {guide, when::always, key(BTN_MODE)},
    {start, when::home_key, key(BTN_MODE)},
    {start, when::always, key(BTN_START)},
    {leftshoulder, when::always, key(BTN_TL)},
    {rightshoulder, when::always, key(BTN_TR)},
    {lefttrigger, when::brake_and_gas, high(ABS_BRAKE)},
    {lefttrigger, when::always, high(ABS_Z)},
    {lefttrigger, when::always, key(BTN_TL2)},
    {righttrigger, when::brake_and_gas, high(ABS_GAS)},
    {righttrigger, when::always, high(ABS_RZ)},
    {righttrigger, when::always, key(BTN_TR2)},
    {leftstick, when::always, key(BTN_THUMBL)},
    {rightstick, when::always, key(BTN_THUMBR)},
    {dpup, when::always, key(BTN_DPAD_UP)},
    {dpdown, when::always, key(BTN_DPAD_DOWN)},
    {dpleft, when::always, key(BTN_DPAD_LEFT)},
    {dpright, when::always, key(BTN_DPAD_RIGHT)},
    {misc1, when::nintendo, key(BTN_Z)},
    {misc1, when::always, key(KEY_RECORD)},
    {leftx_low, when::always, low(ABS_X)},
    {leftx_high, when::always, high(ABS_X)},
    {lefty_low, when::always, low(ABS_Y)},
    {lefty_high, when::always, high(ABS_Y)},
    {rightx_low, when::brake_and_gas, low(ABS_Z)},
    {rightx_high, when::brake_and_gas, high(ABS_Z)},
    {righty_low, when::brake_and_gas, low(ABS_RZ)},
    {righty_high, when::brake_and_gas, high(ABS_RZ)},
    {rightx_low, when::always, low(ABS_RX)},
    {rightx_high, when::always, high(ABS_RX)},
    {righty_low, when::always, low(ABS_RY)},
    {righty_high, when::always, high(ABS_RY)},
};

constexpr unsigned short sony = 0x054c;
constexpr unsigned short nintendo = 0x057e;

constexpr int bits_per_word = 8 * sizeof(unsigned long);

bool has_bit(std::span<const unsigned long> bits, int code)
{
    const auto word = static_cast<size_t>(code / bits_per_word);
    return word < bits.size() && ((bits[word] >> (code % bits_per_word)) & 1) != 0;
}

bool has_code(const pad_layout *pad, button_id code)
{
    if (code.kind != button_kind::key)
        return has_bit(pad->axes, code.code);
    // A D-pad's name is its key or hat 0.
    const bool hat = code.code >= BTN_DPAD_UP && code.code <= BTN_DPAD_RIGHT
                     && has_bit(pad->axes, code.code <= BTN_DPAD_DOWN ? ABS_HAT0Y : ABS_HAT0X);
    return hat || has_bit(pad->keys, code.code);
}

bool holds(const pad_layout *pad, when applies)
{
    switch (applies) {
    case when::always: return true;
    case when::positional: return pad->vendor == sony || pad->vendor == nintendo;
    case when::nintendo: return pad->vendor == nintendo;
    case when::brake_and_gas: return has_bit(pad->axes, ABS_BRAKE) && has_bit(pad->axes, ABS_GAS);
    case when::home_key: return has_bit(pad->keys, KEY_HOMEPAGE);
    }
    return false;
}

// A joystick's buttons start at BTN_TRIGGER: what each is, no name says.
bool has_joystick_layout(const pad_layout *pad)
{
    for (int code = BTN_JOYSTICK; code < BTN_GAMEPAD; ++code)
        if (has_bit(pad->keys, code))
            return true;
    return false;
}

bool first_rule(const pad_layout *pad, int index, button_id *button)
{
    const rule *found = std::find_if(std::begin(rules), std::end(rules), [&](const rule &candidate) {
        return candidate.name == index && holds(pad, candidate.applies) && has_code(pad, candidate.code);
    });
    if (found == std::end(rules))
        return false;
    *button = found->code;
    return true;
}

// Digits only, naming a code the kernel can report.
int decimal_code(std::string_view text)
{
    int code = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        code = code * 10 + (c - '0');
        if (code > KEY_MAX)
            return -1;
    }
    return text.empty() || code == 0 ? -1 : code;
}

// The name tables are searched byte by byte: memchr and memcmp would keep
// their pages of the C library in memory for the daemon's whole life, for
// looks that start-up makes once.
size_t index_of(std::string_view text, char c, size_t from = 0)
{
    while (from < text.size() && text[from] != c)
        ++from;
    return from;
}

bool same_text(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Whether `name` is one of the blank-separated words of `words`.
bool listed(std::string_view words, std::string_view name)
{
    while (!words.empty()) {
        const size_t blank = index_of(words, ' ');
        if (same_text({words.data(), std::min(blank, words.size())}, name))
            return true;
        words.remove_prefix(std::min(blank + 1, words.size()));
    }
    return false;
}

// The name at `index` of a NUL-separated text.
std::string_view nth_name(std::string_view names, int index)
{
    size_t at = 0;
    for (int i = 0; i < index; ++i)
        at = index_of(names, '\0', at) + 1;
    return {names.data() + at, index_of(names, '\0', at) - at};
}

// The name that `code` has at its first place in a table, skipping `skipped`.
std::string_view name_in(std::string_view names, const unsigned short *codes, size_t count, int code,
                         std::string_view skipped)
{
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t end = index_of(names, '\0', at);
        const std::string_view name = std::string_view(names.data() + at, end - at);
        if (codes[i] == code && !listed(skipped, name))
            return name;
        at = end + 1;
    }
    return {};
}

int index_in(std::string_view names, size_t count, std::string_view name)
{
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t end = index_of(names, '\0', at);
        if (same_text({names.data() + at, end - at}, name))
            return static_cast<int>(i);
        at = end + 1;
    }
    return -1;
}

int code_in(std::string_view names, const unsigned short *codes, size_t count, std::string_view name)
{
    const int index = index_in(names, count, name);
    return index < 0 ? -1 : codes[index];
}

} // namespace

int key_code(std::string_view name)
{
    const int code = code_in({key_name_text, sizeof key_name_text - 1}, key_name_codes, std::size(key_name_codes), name);
    return code >= 0 ? code : decimal_code(name);
}

int axis_code(std::string_view name)
{
    return code_in({axis_name_text, sizeof axis_name_text - 1}, axis_name_codes, std::size(axis_name_codes), name);
}

std::string_view key_name(int code)
{
    // Names that mark where a range of codes begins, each an alias of a key's own.
    constexpr std::string_view ranges = "BTN_MISC BTN_MOUSE BTN_JOYSTICK BTN_GAMEPAD BTN_DIGI BTN_WHEEL BTN_TRIGGER_HAPPY";
    return name_in({key_name_text, sizeof key_name_text - 1}, key_name_codes, std::size(key_name_codes), code, ranges);
}

std::string_view axis_name(int code)
{
    return name_in({axis_name_text, sizeof axis_name_text - 1}, axis_name_codes, std::size(axis_name_codes), code, "");
}

bool read_button_name(std::string_view word, button_id *button)
{
    const int standard = index_in({standard_name_text, sizeof standard_name_text - 1}, standard_count, word);
    if (standard >= 0) {
        *button = {static_cast<unsigned short>(standard), button_kind::standard};
        return true;
    }
    const int key = key_code(word);
    if (key >= 0) {
        *button = {static_cast<unsigned short>(key), button_kind::key};
        return true;
    }
    const bool low = word.ends_with('-');
    const int axis = axis_code(low ? std::string_view(word.data(), word.size() - 1) : word);
    if (axis < 0)
        return false;
    *button = {static_cast<unsigned short>(axis), low ? button_kind::axis_low : button_kind::axis_high};
    return true;
}

size_t list_word_length(std::string_view list)
{
    for (int index = 0; index < standard_count; ++index) {
        const std::string_view name = standard_name(index);
        if (name.ends_with('+') && list.size() >= name.size() && same_text({list.data(), name.size()}, name)
            && (list.size() == name.size() || list[name.size()] == '+'))
            return name.size();
    }
    return index_of(list, '+');
}

int standard_name_count()
{
    return standard_count;
}

std::string_view standard_name(int index)
{
    return nth_name({standard_name_text, sizeof standard_name_text - 1}, index);
}

bool standard_button(const pad_layout *pad, int index, button_id *button)
{
    if (index < 0 || index >= standard_count || has_joystick_layout(pad))
        return false;
    return first_rule(pad, index, button);
}
