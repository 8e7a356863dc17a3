#include "learn.h"

#include "report.h"

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
