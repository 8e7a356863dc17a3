#include "report.h"

#include "learn.h"
#include "sources.h"

#include <array>
#include <cstddef>
#include <string_view>

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

namespace {

using report_line = std::array<char, 1024>;

constexpr std::string_view cut = "...";

unsigned char byte_at(std::string_view text, size_t at)
{
    return static_cast<unsigned char>(text[at]);
}

// The length of the well-formed UTF-8 sequence of two to four bytes that
// `text` begins with, or 0 when it begins with none.
size_t sequence_length(std::string_view text)
{
    const unsigned char lead = byte_at(text, 0);
    const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || text.size() < length)
        return 0;
    // The second byte's range keeps out overlong forms, surrogates and code
    // points past U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byte_at(text, 1) < low || byte_at(text, 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte_at(text, i) < 0x80 || byte_at(text, i) > 0xBF)
            return 0;
    return length;
}

// What the text begins with, as the line shows it: `taken` bytes of the
// text, shown as they are, or as one '?'.
struct unit {
    size_t taken;
    bool as_is;
};

// A command's CR from a CR LF file, an escape sequence in a pad's name, a
// stray byte of Latin-1: each is one '?'. The C1 controls U+0080 to U+009F
// in UTF-8 (C2 80 to C2 9F) are one '?' too, as a terminal takes them as
// controls.
unit next_unit(std::string_view text)
{
    const size_t length = sequence_length(text);
    if (length == 2 && byte_at(text, 0) == 0xC2 && byte_at(text, 1) <= 0x9F)
        return {2, false};
    if (length != 0)
        return {length, true};
    const unsigned char c = byte_at(text, 0);
    return {1, c >= 0x20 && c < 0x7F};
}

size_t shown_size(std::string_view part)
{
    size_t shown = 0;
    for (size_t at = 0; at < part.size();) {
        const unit next = next_unit({part.data() + at, part.size() - at});
        shown += next.as_is ? next.taken : 1;
        at += next.taken;
    }
    return shown;
}

bool continues_sequence(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The units of `part` that end by `end`, each whole.
void copy_until(line_writer *line, std::string_view part, size_t end)
{
    for (size_t at = 0; at < part.size();) {
        const unit next = next_unit({part.data() + at, part.size() - at});
        const size_t shown = next.as_is ? next.taken : 1;
        if (line->length + shown > end)
            return;
        if (!next.as_is)
            line->room[line->length++] = '?';
        for (size_t i = 0; next.as_is && i < next.taken; ++i)
            line->room[line->length++] = part[at + i];
        at += next.taken;
    }
}

} // namespace

size_t line_room(const line_writer *line)
{
    return line->cut ? 0 : line->room.size() - 1 - line->length;
}

void line_add(line_writer *line, std::string_view part)
{
    if (line->cut)
        return;
    const size_t limit = line->room.size() - 1;
    if (shown_size(part) <= limit - line->length) {
        copy_until(line, part, limit);
        return;
    }
    const size_t end = limit - cut.size();
    copy_until(line, part, end);
    // The parts before left less room than the cut takes: it goes over the
    // last of them, at the start of a character.
    if (line->length > end) {
        line->length = end;
        while (line->length > 0 && continues_sequence(line->room[line->length]))
            --line->length;
    }
    for (const char c : cut)
        line->room[line->length++] = c;
    line->cut = true;
}

void line_add_number(line_writer *line, unsigned value)
{
    std::array<char, 10> digits{};
    size_t first = digits.size();
    do {
        digits[--first] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    line_add(line, std::string_view(&digits[first], digits.size() - first));
}

std::string_view line_end(line_writer *line)
{
    line->room[line->length++] = '\n';
    return {line->room.data(), line->length};
}

namespace {

// Button 1 to 4 by its digit.
void add_digit(line_writer *line, int button)
{
    const char digit = static_cast<char>('1' + button);
    line_add(line, std::string_view(&digit, 1));
}

// A binding's list: digits lowest first, names as given.
void add_list(line_writer *line, const binding *bound)
{
    if (!bound->digits) {
        line_add(line, bound->list);
        return;
    }
    for (int button = 0; button < digit_buttons; ++button)
        if ((bound->buttons & (chord{1} << button)) != 0)
            add_digit(line, button);
}

// A button held on a source: a digit, or its name.
void add_button(line_writer *line, const settings *given, int bit)
{
    if (bit < digit_buttons && bit >= given->buttons.count) {
        add_digit(line, bit);
        return;
    }
    if (bit < digit_buttons) {
        line_add(line, key_name(given->buttons.code[bit]));
        return;
    }
    const button_id id = given->named[bit];
    if (id.kind == button_kind::standard) {
        line_add(line, standard_name(id.code));
        return;
    }
    if (id.kind == button_kind::key) {
        line_add(line, key_name(id.code));
        return;
    }
    line_add(line, axis_name(id.code));
    if (id.kind == button_kind::axis_low)
        line_add(line, "-");
}

void tell(const reporting *reporting, line_writer *line)
{
    const std::string_view text = line_end(line);
    if (reporting->where == report_to::system_log) {
        syslog(LOG_INFO, "%.*s", static_cast<int>(text.size() - 1), text.data());
        return;
    }
    ssize_t written = write(2, text.data(), text.size());
    static_cast<void>(written); // nowhere left to report a failed report
}

} // namespace

void report_start(reporting *reporting, bool verbose, bool daemon_mode)
{
    if (!verbose)
        return;
    reporting->where = daemon_mode ? report_to::system_log : report_to::standard_error;
    // No LOG_NDELAY: the log is connected at the first line, not at start-up.
    if (daemon_mode)
        openlog("tabrin", LOG_PID, LOG_DAEMON);
}

void report_fired(const reporting *reporting, const firing *fired)
{
    if (reporting->where == report_to::nothing)
        return;
    report_line text;
    line_writer line{text};
    const binding_kind kind = fired->bound->kind;
    line_add(&line, kind == binding_kind::repeat ? "repeat " : kind == binding_kind::double_press ? "double " : "run ");
    add_list(&line, fired->bound);
    if (fired->by == fired_by::again) {
        line_add(&line, " again");
    } else if (fired->by == fired_by::hold) {
        line_add(&line, " held ");
        line_add_number(&line, static_cast<unsigned>(fired->bound->usec / 1000));
        line_add(&line, " ms");
    } else if (fired->by == fired_by::release) {
        line_add(&line, " on release");
    } else if (fired->by == fired_by::tap && kind == binding_kind::run) {
        line_add(&line, " on tap");
    } else if (fired->by == fired_by::at_once) {
        line_add(&line, " at once");
    }
    line_add(&line, ": ");
    line_add(&line, fired->bound->command);
    tell(reporting, &line);
}

void report_ended(const reporting *reporting, const binding *bound, int wait_status)
{
    if (reporting->where == report_to::nothing)
        return;
    report_line text;
    line_writer line{text};
    line_add(&line, "ended ");
    add_list(&line, bound);
    if (wait_status == -1) {
        line_add(&line, ": status unknown");
    } else if (WIFSIGNALED(wait_status)) {
        line_add(&line, ": signal ");
        line_add_number(&line, static_cast<unsigned>(WTERMSIG(wait_status)));
    } else {
        line_add(&line, ": status ");
        line_add_number(&line, static_cast<unsigned>(WEXITSTATUS(wait_status)));
    }
    tell(reporting, &line);
}

void report_held(reporting *reporting, const source_set *sources, const source *port)
{
    const size_t index = static_cast<size_t>(port - sources->list.data());
    const chord held = port->moves.all;
    if (reporting->where != report_to::standard_error || held == reporting->held[index])
        return;
    reporting->held[index] = held;
    report_line text;
    line_writer line{text};
    line_add(&line, "held");
    if (sources->count > 1) {
        line_add(&line, " on ");
        line_add(&line, port->path);
    }
    line_add(&line, ":");
    if (held == 0)
        line_add(&line, " none");
    for (int bit = 0; bit < max_buttons; ++bit)
        if ((held & (chord{1} << bit)) != 0) {
            line_add(&line, " ");
            add_button(&line, sources->given, bit);
        }
    tell(reporting, &line);
}

void report_device(const reporting *reporting, const char *path, bool found)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    report_line text;
    line_writer line{text};
    line_add(&line, found ? "found " : "lost ");
    line_add(&line, path);
    tell(reporting, &line);
}

void report_left_alone(const reporting *reporting, const char *path)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    report_line text;
    line_writer line{text};
    line_add(&line, "left alone ");
    line_add(&line, path);
    line_add(&line, ": too many pads");
    tell(reporting, &line);
}

void report_not_taken(const reporting *reporting, const char *path, const char *name, unsigned short vendor,
                      unsigned short product, const char *reason)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    std::array<char, 16> ids;
    format_ids(&ids, vendor, product);
    report_line text;
    line_writer line{text};
    line_add(&line, "not taken ");
    line_add(&line, path);
    line_add(&line, ": ");
    line_add(&line, name);
    line_add(&line, ids.data());
    line_add(&line, ": ");
    line_add(&line, reason);
    tell(reporting, &line);
}

void report_standard_names(const reporting *reporting, const char *path, std::string_view names)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    report_line text;
    line_writer line{text};
    line_add(&line, "standard names of ");
    line_add(&line, path);
    line_add(&line, ": ");
    line_add(&line, names);
    tell(reporting, &line);
}
