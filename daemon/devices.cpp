#include "devices.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <sys/ioctl.h>

namespace {

// The event types fit one word, so one word is all their EVIOCGBIT needs.
static_assert(EV_MAX < bits_per_word);

void set_bit(std::span<unsigned long> bits, int code)
{
    bits[static_cast<size_t>(code / bits_per_word)] |= 1UL << (code % bits_per_word);
}

bool has(chord buttons, int bit)
{
    return (buttons & (chord{1} << bit)) != 0;
}

void add_buttons(const key_bits *capabilities, int first, int last, device_buttons *buttons, int *count)
{
    for (int code = first; code <= last && *count < digit_buttons; ++code)
        if (has_bit(*capabilities, code))
            (*buttons)[(*count)++] = key_button(static_cast<unsigned short>(code));
}

// An axis held: past three quarters of the range towards its end, and then
// until it is back at the middle. In 64 bits: a value's distance from the
// minimum and the range itself may each be 2^32 - 1.
bool axis_held(const device_button *button, int value, bool before)
{
    const long long from_minimum = static_cast<long long>(value) - button->minimum;
    const long long range = button->range;
    if (button->use == axis_use::high)
        return before ? 2 * from_minimum > range + 1 : 4 * from_minimum >= 3 * range;
    return before ? 2 * from_minimum < range - 1 : 4 * from_minimum <= range;
}

bool held(const device_button *button, const key_bits *keys, const axis_values *axes, bool before)
{
    if (button->key != 0 && has_bit(*keys, button->key))
        return true;
    if (button->use == axis_use::none)
        return false;
    const int value = (*axes)[button->axis];
    if (button->use == axis_use::hat)
        return (value < 0 ? -1 : value > 0 ? 1 : 0) == button->direction;
    return axis_held(button, value, before);
}

// A usable axis's range; false for one the device lacks or that has none.
bool axis_range(int fd, int code, input_absinfo *info)
{
    return ioctl(fd, EVIOCGABS(code), info) == 0 && info->maximum > info->minimum;
}

pad_layout layout_of(const device_shape *shape)
{
    return {shape->keys, shape->axes, shape->vendor};
}

// A named button as the device reads it: an axis in the range it gives, a
// standard name what it is on this pad; none for what the pad lacks.
device_button named_button(int fd, const device_shape *shape, button_id id)
{
    if (id.kind == button_kind::standard) {
        const pad_layout layout = layout_of(shape);
        if (!standard_button(&layout, id.code, &id))
            return {};
    }
    if (id.kind == button_kind::key)
        return key_button(id.code);
    input_absinfo info {};
    if (!axis_range(fd, id.code, &info))
        return {};
    return axis_button(id, info.minimum, info.maximum);
}

// Each axis that some button reads, once.
void read_axes(int fd, const device_buttons *buttons, int count, axis_values *axes)
{
    axis_bits read{};
    for (int bit = 0; bit < count; ++bit) {
        const device_button &button = (*buttons)[bit];
        if (button.use == axis_use::none || has_bit(read, button.axis))
            continue;
        set_bit(read, button.axis);
        input_absinfo info {};
        (*axes)[button.axis] = ioctl(fd, EVIOCGABS(button.axis), &info) == 0 ? info.value : 0;
    }
}

void ask_mask(int fd, unsigned type, const void *bits, size_t size)
{
    input_mask mask {};
    mask.type = type;
    mask.codes_size = static_cast<__u32>(size);
    mask.codes_ptr = reinterpret_cast<std::uintptr_t>(bits);
    // A kernel without event masks sends everything: more wake-ups, the same behaviour.
    static_cast<void>(ioctl(fd, EVIOCSMASK, &mask));
}

} // namespace

bool has_bit(std::span<const unsigned long> bits, int code)
{
    return ((bits[static_cast<size_t>(code / bits_per_word)] >> (code % bits_per_word)) & 1) != 0;
}

bool read_shape(int fd, device_shape *shape)
{
    unsigned long types = 0;
    input_id id {};
    *shape = device_shape{};
    if (ioctl(fd, EVIOCGBIT(0, sizeof types), &types) < 0
        || ioctl(fd, EVIOCGBIT(EV_KEY, sizeof shape->keys), shape->keys.data()) < 0
        || ioctl(fd, EVIOCGBIT(EV_ABS, sizeof shape->axes), shape->axes.data()) < 0)
        return false;
    if (((types >> EV_ABS) & 1) == 0)
        shape->axes = {};
    // Kernels before properties, and ids unknown: a pad all the same.
    if (ioctl(fd, EVIOCGPROP(sizeof shape->properties), shape->properties.data()) < 0)
        shape->properties = {};
    if (ioctl(fd, EVIOCGID, &id) == 0)
        shape->vendor = id.vendor;
    return true;
}

bool has_joystick_keys(std::span<const unsigned long> keys)
{
    for (int code = BTN_JOYSTICK; code < BTN_DIGI; ++code)
        if (has_bit(keys, code))
            return true;
    for (int code = BTN_TRIGGER_HAPPY1; code <= BTN_TRIGGER_HAPPY40; ++code)
        if (has_bit(keys, code))
            return true;
    return false;
}

bool is_pad(const device_shape *shape)
{
    for (const int part : {INPUT_PROP_ACCELEROMETER, INPUT_PROP_POINTER, INPUT_PROP_BUTTONPAD, INPUT_PROP_SEMI_MT,
                           INPUT_PROP_TOPBUTTONPAD})
        if (has_bit(shape->properties, part))
            return false;
    return has_joystick_keys(shape->keys);
}

int every_button(int fd, const device_shape *shape, device_buttons *buttons)
{
    int count = 0;
    for (int code = 1; code <= KEY_MAX && count < max_buttons; ++code)
        if (has_bit(shape->keys, code) && (code < BTN_DPAD_UP || code > BTN_DPAD_RIGHT))
            (*buttons)[count++] = key_button(static_cast<unsigned short>(code));
    const bool hat = has_bit(shape->axes, ABS_HAT0X) || has_bit(shape->axes, ABS_HAT0Y);
    for (int code = BTN_DPAD_UP; code <= BTN_DPAD_RIGHT && count < max_buttons; ++code)
        if (hat || has_bit(shape->keys, code))
            (*buttons)[count++] = key_button(static_cast<unsigned short>(code));
    // A way the axis rests at, as a trigger rests at its minimum, is no button.
    input_absinfo info {};
    for (int code = 0; code <= ABS_MAX && count + 1 < max_buttons; ++code) {
        if (!has_bit(shape->axes, code) || code == ABS_HAT0X || code == ABS_HAT0Y || !axis_range(fd, code, &info))
            continue;
        for (const button_kind way : {button_kind::axis_high, button_kind::axis_low}) {
            const device_button button = axis_button({static_cast<unsigned short>(code), way}, info.minimum, info.maximum);
            if (!axis_held(&button, info.value, false))
                (*buttons)[count++] = button;
        }
    }
    return count;
}

int watched_buttons(int fd, const device_shape *shape, const settings *given, chord watched, device_buttons *buttons)
{
    if (given->buttons.count == 0)
        default_buttons(&shape->keys, buttons);
    for (int digit = 0; digit < given->buttons.count; ++digit)
        (*buttons)[digit] = key_button(given->buttons.code[digit]);
    for (int bit = digit_buttons; bit < given->button_count; ++bit)
        (*buttons)[bit] = named_button(fd, shape, given->named[bit]);
    for (int bit = 0; bit < given->button_count; ++bit)
        if (!has(watched, bit))
            (*buttons)[bit] = device_button{};
    return given->button_count;
}

namespace {

// What standard name `index` is on this pad, as far as the pad has it.
device_button standard_on(int fd, const device_shape *shape, int index)
{
    device_buttons one{};
    one[0] = named_button(fd, shape, {static_cast<unsigned short>(index), button_kind::standard});
    fit_buttons(shape, &one, 1);
    return one[0];
}

} // namespace

void name_standard_buttons(int fd, const device_shape *shape, device_buttons *buttons, int count)
{
    for (int index = 0; index < standard_name_count(); ++index) {
        const device_button named = standard_on(fd, shape, index);
        if (!reads_something(&named))
            continue;
        // A trigger that is a key and an axis is one trigger: the key is
        // named with the axis, so that a press of it shows its name.
        const unsigned short also = named.key != 0 ? 0
                                    : named.axis == ABS_Z && has_bit(shape->keys, BTN_TL2) ? BTN_TL2
                                    : named.axis == ABS_RZ && has_bit(shape->keys, BTN_TR2) ? BTN_TR2
                                                                                            : 0;
        const bool trigger = standard_name(index).ends_with("trigger");
        for (int bit = 0; bit < count; ++bit) {
            device_button *button = &(*buttons)[bit];
            if (button->standard == 0 && (same_button(button, &named) || (trigger && also != 0 && button->key == also)))
                button->standard = static_cast<unsigned char>(index + 1);
        }
    }
}

std::string_view describe_standard_names(int fd, const device_shape *shape, std::span<char> text)
{
    size_t length = 0;
    for (int index = 0; index < standard_name_count(); ++index) {
        const device_button named = standard_on(fd, shape, index);
        if (!reads_something(&named))
            continue;
        std::array<char, 32> kernel;
        const std::string_view what = button_name(&named, &kernel);
        const std::string_view name = standard_name(index);
        const std::string_view comma = length == 0 ? "" : ", ";
        if (length + comma.size() + name.size() + 1 + what.size() >= text.size())
            break;
        for (const std::string_view part : {comma, name, std::string_view(" "), what})
            for (const char c : part)
                text[length++] = c;
    }
    return {text.data(), length};
}

bool fit_buttons(const device_shape *shape, device_buttons *buttons, int count)
{
    bool any = false;
    for (int bit = 0; bit < count; ++bit) {
        device_button *button = &(*buttons)[bit];
        if (button->key != 0 && !has_bit(shape->keys, button->key))
            button->key = 0;
        if (button->use != axis_use::none && !has_bit(shape->axes, button->axis))
            button->use = axis_use::none;
        if (button->use == axis_use::none)
            button->axis = 0;
        any = any || reads_something(button);
    }
    return any;
}

// (Reports that carry nothing left are not sent.)
void ask_only_for_buttons(int fd, const device_buttons *buttons, int count)
{
    key_bits keys{};
    axis_bits axes{};
    unsigned long types = 1UL << EV_KEY;
    for (int bit = 0; bit < count; ++bit) {
        const device_button &button = (*buttons)[bit];
        if (button.key != 0)
            set_bit(keys, button.key);
        if (button.use != axis_use::none) {
            set_bit(axes, button.axis);
            types |= 1UL << EV_ABS;
        }
    }
    ask_mask(fd, EV_KEY, keys.data(), sizeof keys);
    ask_mask(fd, EV_ABS, axes.data(), sizeof axes);
    ask_mask(fd, 0, &types, sizeof types);
}

bool read_device(int fd, const device_buttons *buttons, int count, chord *held)
{
    key_bits keys{};
    // Unplugged (ENODEV), or unusable for another reason.
    if (ioctl(fd, EVIOCGKEY(sizeof keys), keys.data()) < 0)
        return false;
    axis_values axes{};
    read_axes(fd, buttons, count, &axes);
    *held = device_state(buttons, count, &keys, &axes, *held);
    return true;
}

int default_buttons(const key_bits *capabilities, device_buttons *buttons)
{
    int count = 0;
    add_buttons(capabilities, BTN_JOYSTICK, KEY_MAX, buttons, &count);
    add_buttons(capabilities, BTN_MISC, BTN_JOYSTICK - 1, buttons, &count);
    return count;
}

device_button key_button(unsigned short key)
{
    device_button button{};
    button.key = key;
    if (key >= BTN_DPAD_UP && key <= BTN_DPAD_RIGHT) {
        button.use = axis_use::hat;
        button.axis = key <= BTN_DPAD_DOWN ? ABS_HAT0Y : ABS_HAT0X;
        button.direction = key == BTN_DPAD_UP || key == BTN_DPAD_LEFT ? -1 : 1;
    }
    return button;
}

device_button axis_button(button_id axis, int minimum, int maximum)
{
    device_button button{};
    button.axis = axis.code;
    button.use = axis.kind == button_kind::axis_low ? axis_use::low : axis_use::high;
    button.minimum = minimum;
    button.range = static_cast<long long>(maximum) - minimum;
    return button;
}

bool same_button(const device_button *a, const device_button *b)
{
    return a->key == b->key && a->axis == b->axis && a->use == b->use && a->direction == b->direction;
}

bool reads_something(const device_button *button)
{
    return button->key != 0 || button->use != axis_use::none;
}

chord device_state(const device_buttons *buttons, int count, const key_bits *keys, const axis_values *axes,
                   chord before)
{
    chord now = 0;
    for (int bit = 0; bit < count; ++bit)
        if (held(&(*buttons)[bit], keys, axes, has(before, bit)))
            now |= chord{1} << bit;
    return now;
}

std::string_view button_name(const device_button *button, std::array<char, 32> *name)
{
    std::string_view text;
    if (button->key != 0)
        text = key_name(button->key);
    else if (button->use == axis_use::hat)
        text = key_name(button->axis == ABS_HAT0Y ? (button->direction < 0 ? BTN_DPAD_UP : BTN_DPAD_DOWN)
                                                  : (button->direction < 0 ? BTN_DPAD_LEFT : BTN_DPAD_RIGHT));
    else
        text = axis_name(button->axis);
    const bool low = button->key == 0 && button->use == axis_use::low;
    const size_t length = std::min(text.size(), name->size() - 2);
    memcpy(name->data(), text.data(), length);
    if (low)
        (*name)[length] = '-';
    return {name->data(), length + (low ? 1 : 0)};
}
