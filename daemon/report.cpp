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

// A line is built here whole, so that it goes out in one write: a command
// too long for it is cut, and the cut is shown by "...".
struct line {
    std::array<char, 1024> text{};
    size_t length = 0;
};

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

// C0 and C1 controls and DEL, as single bytes.
bool is_control(unsigned char c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Control characters (a command's CR from a CR LF file, say) show as '?', so
// that one report stays one line and a terminal takes none of it for a
// control sequence: the C0 and C1 controls as bytes, and the C1 controls
// U+0080 to U+009F in UTF-8 (C2 80 to C2 9F). Other UTF-8 stays as it is.
void copy(line *line, std::string_view part)
{
    for (size_t at = 0; at < part.size();) {
        const size_t length = sequence_length({part.data() + at, part.size() - at});
        const bool c1_in_utf8 = length == 2 && byte_at(part, at) == 0xC2 && byte_at(part, at + 1) <= 0x9F;
        if (length != 0 && !c1_in_utf8) {
            for (size_t end = at + length; at < end; ++at)
                line->text[line->length++] = part[at];
            continue;
        }
        line->text[line->length++] = c1_in_utf8 || is_control(byte_at(part, at)) ? '?' : part[at];
        at += c1_in_utf8 ? 2 : 1;
    }
}

void add(line *line, std::string_view part)
{
    const size_t room = line->text.size() - 1 - line->length; // one byte kept for '\n'
    if (part.size() <= room) {
        copy(line, part);
        return;
    }
    // Only a command or a path, each the last part of its line, is this long.
    copy(line, {part.data(), room - cut.size()});
    copy(line, cut);
}

void add_number(line *line, unsigned value)
{
    std::array<char, 10> digits{};
    size_t first = digits.size();
    do {
        digits[--first] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    add(line, std::string_view(&digits[first], digits.size() - first));
}

// Button 1 to 4 by its digit.
void add_digit(line *line, int button)
{
    const char digit = static_cast<char>('1' + button);
    add(line, std::string_view(&digit, 1));
}

// A binding's list: digits lowest first, names as given.
void add_list(line *line, const binding *bound)
{
    if (!bound->digits) {
        add(line, bound->list);
        return;
    }
    for (int button = 0; button < digit_buttons; ++button)
        if ((bound->buttons & (chord{1} << button)) != 0)
            add_digit(line, button);
}

// A button held on a source: a digit, or its name.
void add_button(line *line, const settings *given, int bit)
{
    if (bit < digit_buttons && bit >= given->buttons.count) {
        add_digit(line, bit);
        return;
    }
    if (bit < digit_buttons) {
        add(line, key_name(given->buttons.code[bit]));
        return;
    }
    const button_id id = given->named[bit];
    if (id.kind == button_kind::standard) {
        add(line, standard_name(id.code));
        return;
    }
    if (id.kind == button_kind::key) {
        add(line, key_name(id.code));
        return;
    }
    add(line, axis_name(id.code));
    if (id.kind == button_kind::axis_low)
        add(line, "-");
}

void tell(const reporting *reporting, line *line)
{
    if (reporting->where == report_to::system_log) {
        syslog(LOG_INFO, "%.*s", static_cast<int>(line->length), line->text.data());
        return;
    }
    line->text[line->length++] = '\n';
    ssize_t written = write(2, line->text.data(), line->length);
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
    line line;
    add(&line, "run ");
    add_list(&line, fired->bound);
    if (fired->by == fired_by::hold) {
        add(&line, " held ");
        add_number(&line, static_cast<unsigned>(fired->bound->hold_usec / 1000));
        add(&line, " ms");
    } else if (fired->by == fired_by::release) {
        add(&line, " on release");
    }
    add(&line, ": ");
    add(&line, fired->bound->command);
    tell(reporting, &line);
}

void report_ended(const reporting *reporting, const binding *bound, int wait_status)
{
    if (reporting->where == report_to::nothing)
        return;
    line line;
    add(&line, "ended ");
    add_list(&line, bound);
    if (wait_status == -1) {
        add(&line, ": status unknown");
    } else if (WIFSIGNALED(wait_status)) {
        add(&line, ": signal ");
        add_number(&line, static_cast<unsigned>(WTERMSIG(wait_status)));
    } else {
        add(&line, ": status ");
        add_number(&line, static_cast<unsigned>(WEXITSTATUS(wait_status)));
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
    line line;
    add(&line, "held");
    if (sources->count > 1) {
        add(&line, " on ");
        add(&line, port->path);
    }
    add(&line, ":");
    if (held == 0)
        add(&line, " none");
    for (int bit = 0; bit < max_buttons; ++bit)
        if ((held & (chord{1} << bit)) != 0) {
            add(&line, " ");
            add_button(&line, sources->given, bit);
        }
    tell(reporting, &line);
}

void report_device(const reporting *reporting, const char *path, bool found)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    line line;
    add(&line, found ? "found " : "lost ");
    add(&line, path);
    tell(reporting, &line);
}

void report_left_alone(const reporting *reporting, const char *path)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    line line;
    add(&line, "left alone ");
    add(&line, path);
    add(&line, ": too many pads");
    tell(reporting, &line);
}

void report_not_taken(const reporting *reporting, const char *path, const char *name, unsigned short vendor,
                      unsigned short product, const char *reason)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    std::array<char, 16> ids;
    format_ids(&ids, vendor, product);
    line line;
    add(&line, "not taken ");
    add(&line, path);
    add(&line, ": ");
    add(&line, name);
    add(&line, ids.data());
    add(&line, ": ");
    add(&line, reason);
    tell(reporting, &line);
}

void report_standard_names(const reporting *reporting, const char *path, std::string_view names)
{
    if (reporting == nullptr || reporting->where == report_to::nothing)
        return;
    line line;
    add(&line, "standard names of ");
    add(&line, path);
    add(&line, ": ");
    add(&line, names);
    tell(reporting, &line);
}
