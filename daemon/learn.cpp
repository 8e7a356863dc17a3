#include "learn.h"

#include "report.h"
#include "sources.h"

#include <algorithm>

#include <cstdio>

#include <linux/input-event-codes.h>
#include <unistd.h>

void format_ids(std::array<char, 16> *ids, unsigned short vendor, unsigned short product)
{
    snprintf(ids->data(), ids->size(), " (%04x:%04x)", vendor, product);
}

std::string_view format_found(learn_line *line, const char *path, const char *name, unsigned short vendor,
                              unsigned short product)
{
    std::array<char, 16> ids;
    format_ids(&ids, vendor, product);
    line_writer writer{*line};
    line_add(&writer, "found ");
    line_add(&writer, path);
    line_add(&writer, ": ");
    line_add(&writer, name);
    line_add(&writer, ids.data());
    return line_end(&writer);
}

std::string_view format_not_taken(learn_line *line, const char *path, const char *name, unsigned short vendor,
                                  unsigned short product, const char *reason)
{
    std::array<char, 16> ids;
    format_ids(&ids, vendor, product);
    line_writer writer{*line};
    line_add(&writer, "not taken ");
    line_add(&writer, path);
    line_add(&writer, ": ");
    line_add(&writer, name);
    line_add(&writer, ids.data());
    line_add(&writer, ": ");
    line_add(&writer, reason);
    return line_end(&writer);
}

std::string_view format_standard_names(learn_line *line, const char *path, std::string_view names)
{
    line_writer writer{*line};
    line_add(&writer, "standard names of ");
    line_add(&writer, path);
    line_add(&writer, ": ");
    line_add(&writer, names);
    return line_end(&writer);
}

std::string_view format_lost(learn_line *line, const char *path)
{
    line_writer writer{*line};
    line_add(&writer, "lost ");
    line_add(&writer, path);
    return line_end(&writer);
}

std::string_view format_chord(learn_line *line, std::span<const std::string_view> names, long long held_usec,
                              const char *path)
{
    // In floating point: dividing 64-bit numbers would take a helper from
    // libgcc on a 32-bit machine. Half a microsecond more, so that a time
    // half way between two hundredths rounds up, as 1.425 s has no exact double.
    const double seconds = held_usec < 0 ? 0.0 : static_cast<double>(held_usec) / 1e6 + 0.5e-6;
    std::array<char, 40> held;
    snprintf(held.data(), held.size(), " held %.2f s", seconds);
    const std::string_view held_text = held.data();
    line_writer writer{*line};
    for (size_t i = 0; i < names.size(); ++i) {
        // Room for this name and the time after it, or the line ends here.
        if (1 + names[i].size() + held_text.size() > line_room(&writer))
            break;
        if (i > 0)
            line_add(&writer, "+");
        line_add(&writer, names[i]);
    }
    line_add(&writer, held_text);
    if (path != nullptr) {
        line_add(&writer, " on ");
        line_add(&writer, path);
    }
    return line_end(&writer);
}

void learn_tell(std::string_view line)
{
    const ssize_t written = write(1, line.data(), line.size());
    static_cast<void>(written); // a reader gone away ends the output, nothing else
}

namespace {

// std::popcount would call into libgcc on a processor without popcnt.
int buttons_in(chord buttons)
{
    int count = 0;
    for (; buttons != 0; buttons &= buttons - 1)
        ++count;
    return count;
}

int sources_open(const source_set *sources)
{
    int open = 0;
    for (int i = 0; i < sources->count; ++i)
        if (sources->list[i].kind != source_kind::closed)
            ++open;
    return open;
}

// The chord's standard names instead of the kernel's, where every button of
// it has one; a trigger that is a key and an axis both is named once.
// Returns how many names the chord has now.
size_t name_by_standard(const source *port, chord buttons, std::span<std::string_view> chord_names)
{
    std::array<std::string_view, max_buttons> standard;
    size_t count = 0;
    for (int bit = 0; bit < port->button_count; ++bit) {
        if ((buttons & (chord{1} << bit)) == 0)
            continue;
        const std::string_view name = bit_standard_name(port, bit);
        if (name.empty())
            return chord_names.size();
        if (std::find(standard.begin(), standard.begin() + count, name) == standard.begin() + count)
            standard[count++] = name;
    }
    std::copy_n(standard.begin(), count, chord_names.begin());
    return count;
}

} // namespace

// Learning mode: once a source's buttons are all let go, the largest chord
// of the press and how long it was held whole, as a run line takes it.
void learn_from(source_set *sources, source *port, instant now)
{
    const chord held = source_read(sources, port);
    learned *press = &port->press;
    if (buttons_in(held) > buttons_in(press->largest))
        *press = {held, now, 0};
    else if (press->until == 0 && (held & press->largest) != press->largest)
        press->until = now;
    if (held != 0 || press->largest == 0)
        return;
    std::array<std::array<char, 32>, max_buttons> names;
    std::array<std::string_view, max_buttons> chord_names;
    size_t count = 0;
    for (int bit = 0; bit < port->button_count; ++bit)
        if ((press->largest & (chord{1} << bit)) != 0) {
            chord_names[count] = bit_name(port, bit, &names[count]);
            ++count;
        }
    // With more than one pad taken, which one, as -v tells it: two pads of
    // one name are told apart by their paths.
    const char *path = sources_open(sources) > 1 ? port->path : nullptr;
    count = name_by_standard(port, press->largest, {chord_names.data(), count});
    learn_line line;
    learn_tell(format_chord(&line, {chord_names.data(), count}, (press->until == 0 ? now : press->until) - press->since,
                            path));
    *press = {};
}
