#include "learn.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <linux/input-event-codes.h>
#include <unistd.h>

namespace {

// A line being put together in a learn_line; `length` stops growing once the
// room is full, so that what is there always ends in a newline.
struct line_writer {
    learn_line *line;
    size_t length = 0;
    bool full = false;
};

void append(line_writer *writer, std::string_view text)
{
    // The last byte of the room is kept for the newline.
    const size_t room = writer->line->size() - 1 - writer->length;
    if (text.size() > room) {
        writer->full = true;
        return;
    }
    memcpy(writer->line->data() + writer->length, text.data(), text.size());
    writer->length += text.size();
}

std::string_view finish(line_writer *writer)
{
    (*writer->line)[writer->length++] = '\n';
    return {writer->line->data(), writer->length};
}

} // namespace

std::string_view format_found(learn_line *line, const char *path, const char *name, unsigned short vendor,
                              unsigned short product)
{
    std::array<char, 16> ids;
    format_ids(&ids, vendor, product);
    line_writer writer{line};
    append(&writer, "found ");
    append(&writer, path);
    append(&writer, ": ");
    append(&writer, name);
    append(&writer, ids.data());
    return finish(&writer);
}

void format_ids(std::array<char, 16> *ids, unsigned short vendor, unsigned short product)
{
    snprintf(ids->data(), ids->size(), " (%04x:%04x)", vendor, product);
}

std::string_view format_not_taken(learn_line *line, const char *path, const char *name, unsigned short vendor,
                                  unsigned short product, const char *reason)
{
    std::array<char, 16> ids;
    format_ids(&ids, vendor, product);
    line_writer writer{line};
    append(&writer, "not taken ");
    append(&writer, path);
    append(&writer, ": ");
    append(&writer, name);
    append(&writer, ids.data());
    append(&writer, ": ");
    append(&writer, reason);
    return finish(&writer);
}

std::string_view format_standard_names(learn_line *line, const char *path, std::string_view names)
{
    line_writer writer{line};
    append(&writer, "standard names of ");
    append(&writer, path);
    append(&writer, ": ");
    append(&writer, names);
    return finish(&writer);
}

std::string_view format_lost(learn_line *line, const char *path)
{
    line_writer writer{line};
    append(&writer, "lost ");
    append(&writer, path);
    return finish(&writer);
}

std::string_view format_chord(learn_line *line, std::span<const std::string_view> names, long long held_usec)
{
    // In floating point: dividing 64-bit numbers would take a helper from
    // libgcc on a 32-bit machine. Half a microsecond more, so that a time
    // half way between two hundredths rounds up, as 1.425 s has no exact double.
    const double seconds = held_usec < 0 ? 0.0 : static_cast<double>(held_usec) / 1e6 + 0.5e-6;
    std::array<char, 40> held;
    snprintf(held.data(), held.size(), " held %.2f s", seconds);
    const std::string_view held_text = held.data();
    line_writer writer{line};
    for (size_t i = 0; i < names.size(); ++i) {
        // Room for this name and the time after it, or the line ends here.
        if (writer.length + 1 + names[i].size() + held_text.size() >= line->size())
            break;
        if (i > 0)
            append(&writer, "+");
        append(&writer, names[i]);
    }
    append(&writer, held_text);
    return finish(&writer);
}

void learn_tell(std::string_view line)
{
    const ssize_t written = write(1, line.data(), line.size());
    static_cast<void>(written); // a reader gone away ends the output, nothing else
}
