#include "command_line.h"
#include "report.h"

#include "say.h"

#include <algorithm>
#include <cstdlib>

#include <linux/input-event-codes.h>

namespace {

// The first `n` bytes of the text, or all of it: substr without its throw.
std::string_view first(std::string_view text, size_t n)
{
    return {text.data(), std::min(n, text.size())};
}

// Lists are searched byte by byte: memchr would keep its pages of the C
// library in memory for the daemon's whole life, for looks that start-up
// makes once.
// Where `c` is at or after `from`, or the text's size when it is not there.
size_t index_of(std::string_view text, char c, size_t from = 0)
{
    while (from < text.size() && text[from] != c)
        ++from;
    return from;
}

// How many words follow the option letter, or -1 for a letter that is no option.
int option_words(char letter)
{
    switch (letter) {
    case 'd': case 'm': case 'v': return 0;
    case 'b': case 'i': case 'j': case 'l': case 'n': case 'p': case 'w': case 'z': return 1;
    case 'r': case '2': return 2;
    case 'h': case 'a': return 3;
    default: return -1;
    }
}

// A -j path or a -n pattern; false after reporting that there are too many.
bool add_word(const char *word, std::array<const char *, max_sources> *words, int *count)
{
    if (*count == max_sources) {
        say("Too many joystick devices\n");
        return false;
    }
    (*words)[(*count)++] = word;
    return true;
}

// "Wrong button name specified: WORD", in one write like every message, the
// word shown as the -v lines show text: a word of the argument vector may
// hold any byte, and the message stays one line.
void refuse_name(std::string_view word)
{
    std::array<char, 256> text;
    line_writer line{text};
    line_add(&line, "Wrong button name specified: ");
    line_add(&line, word);
    say(line_end(&line));
}

bool same_button(button_id a, button_id b)
{
    return a.code == b.code && a.kind == b.kind;
}

// The chord bit of a named button: its own from an earlier list, else the
// next free one; -1 after reporting that none is left.
int button_bit(button_id button, settings *given)
{
    for (int bit = digit_buttons; bit < given->button_count; ++bit)
        if (same_button(given->named[bit], button))
            return bit;
    if (given->button_count == max_buttons) {
        say("Too many buttons named\n");
        return -1;
    }
    given->named[given->button_count] = button;
    return given->button_count++;
}

bool digits_only(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

chord read_named_chord(std::string_view rest, settings *given)
{
    chord buttons = 0;
    for (;;) {
        const size_t plus = list_word_length(rest);
        const std::string_view word = first(rest, plus);
        button_id button;
        if (!read_button_name(word, &button)) {
            refuse_name(word);
            return 0;
        }
        const int bit = button_bit(button, given);
        if (bit < 0)
            return 0;
        if ((buttons & (chord{1} << bit)) != 0) {
            say("Button already specified within button list\n");
            return 0;
        }
        buttons |= chord{1} << bit;
        if (plus == rest.size())
            return buttons;
        rest.remove_prefix(plus + 1);
    }
}

// A chord as -b makes it: a named button that -b lists is that digit's.
chord as_digits(chord buttons, const settings *given)
{
    chord result = buttons & digit_chord;
    for (int bit = digit_buttons; bit < given->button_count; ++bit) {
        if ((buttons & (chord{1} << bit)) == 0)
            continue;
        int digit = 0;
        while (digit < given->buttons.count
               && !same_button(given->named[bit], {given->buttons.code[digit], button_kind::key}))
            ++digit;
        result |= chord{1} << (digit < given->buttons.count ? digit : bit);
    }
    return result;
}

// One chord has one double press, and beside it either one repeat or a run
// binding and holds of different times.
bool same_binding(const binding *a, const binding *b, const settings *given)
{
    if (as_digits(a->buttons, given) != as_digits(b->buttons, given))
        return false;
    const bool a_double = a->kind == binding_kind::double_press;
    const bool b_double = b->kind == binding_kind::double_press;
    if (a_double || b_double)
        return a_double && b_double;
    return a->kind == binding_kind::repeat || b->kind == binding_kind::repeat || a->usec == b->usec;
}

bool is_bound(const binding *candidate, const settings *given, int count)
{
    for (int i = 0; i < count; ++i)
        if (same_binding(&given->bindings[i], candidate, given)) {
            say("There already is an action for this button combination\n");
            return true;
        }
    return false;
}

bool bind_command(const char *list, binding_kind kind, int usec, const char *command, settings *result)
{
    const chord buttons = readchord(list, result);
    if (buttons == 0)
        return false;
    const binding made = {buttons, command, list, usec, kind, digits_only(list)};
    if (is_bound(&made, result, result->binding_count))
        return false;
    if (result->binding_count == max_bindings) {
        say("Too many button combinations\n");
        return false;
    }
    result->bindings[result->binding_count++] = made;
    result->named_chords = result->named_chords || !made.digits;
    return true;
}

// -h LIST MS CMD, -a LIST MS CMD.
bool bind_timed(char **words, binding_kind kind, settings *result)
{
    const int usec = readtime(words[1]);
    return usec >= 0 && bind_command(words[0], kind, usec, words[2], result);
}

// A double press is told from two presses by the settle time between them,
// which digits, read once after it, cannot see.
bool bind_double(char **words, settings *result)
{
    if (digits_only(words[0])) {
        say("A double press needs a list of button names\n");
        return false;
    }
    return bind_command(words[0], binding_kind::double_press, 0, words[1], result);
}

// One option with its words; false after an error has been reported.
bool take_option(char letter, char **words, settings *result)
{
    switch (letter) {
    case 'b': return readbuttons(words[0], &result->buttons);
    case 'd': result->daemon_mode = true; return true;
    case 'v': result->verbose = true; return true;
    case 'h': return bind_timed(words, binding_kind::hold, result);
    case 'a': return bind_timed(words, binding_kind::repeat, result);
    case '2': return bind_double(words, result);
    case 'i': {
        const int set = readmask(words[0]);
        if (set == 0)
            return false;
        result->active_mask = ((~set) & 0xF) << 4;
        return true;
    }
    case 'j': return add_word(words[0], &result->source_paths, &result->source_count);
    case 'n': return add_word(words[0], &result->pad_patterns, &result->pad_count);
    case 'm': result->learning = true; return true;
    case 'l': result->lock_path = words[0]; return true;
    case 'p': result->poll_usec = readtime(words[0]); return result->poll_usec >= 0;
    case 'w': result->wait_usec = readtime(words[0]); return result->wait_usec >= 0;
    case 'z': result->rumble_usec = readtime(words[0]); return result->rumble_usec >= 0;
    default: return bind_command(words[0], binding_kind::run, 0, words[1], result);
    }
}

// A -b that comes after the lists can make two of them one chord.
bool bindings_differ(const settings *given)
{
    for (int i = 1; i < given->binding_count; ++i)
        if (is_bound(&given->bindings[i], given, i))
            return false;
    return true;
}

} // namespace

int readmask(const char *text)
{
    // An empty word is digits only, and would be a list of no button.
    if (*text == '\0') {
        say("Empty button list\n");
        return 0;
    }
    int set = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '1' || *text > '4') {
            say("Wrong button number specified, must be in range 1..4\n");
            return 0;
        }
        const int bit = 1 << (*text - '1');
        if ((set & bit) != 0) {
            say("Button already specified within button list\n");
            return 0;
        }
        set |= bit;
    }
    return set;
}

int readtime(const char *text)
{
    // strtol saturates instead of wrapping, so a huge value is out of range too.
    const long ms = strtol(text, nullptr, 10);
    if (ms < 1 || ms > 60000) {
        say("Time out of range\n");
        return -1;
    }
    return static_cast<int>(ms * 1000);
}

bool readbuttons(const char *text, button_names *names)
{
    button_names named;
    std::string_view rest = text;
    for (;;) {
        const size_t comma = index_of(rest, ',');
        const std::string_view word = first(rest, comma);
        const int code = key_code(word);
        if (code < 0 || named.count == 4) {
            refuse_name(word);
            return false;
        }
        for (int i = 0; i < named.count; ++i)
            if (named.code[i] == code) {
                say("Button already specified within button list\n");
                return false;
            }
        named.code[named.count++] = static_cast<unsigned short>(code);
        if (comma == rest.size())
            break;
        rest.remove_prefix(comma + 1);
    }
    *names = named;
    return true;
}

chord readchord(const char *text, settings *given)
{
    // Digits alone keep their meaning: buttons 1 to 4.
    if (digits_only(text))
        return static_cast<chord>(readmask(text));
    return read_named_chord(text, given);
}

int readargs(int argc, char **argv, settings *result)
{
    if (argc == 1)
        return 2;
    bool have_command = false;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-')
            return 2;
        const char letter = argv[i][1]; // the rest of the word is ignored: -debug is -d
        const int words = option_words(letter);
        if (words < 0)
            return 2;
        if (argc - 1 - i < words) {
            say("Not enough parameters for option\n");
            return 1;
        }
        if (!take_option(letter, argv + i + 1, result))
            return 1;
        have_command = have_command || letter == 'r' || letter == 'h' || letter == 'a' || letter == '2';
        i += words;
    }
    if (!have_command && !result->learning) {
        say("No command to execute\n");
        return 1;
    }
    return bindings_differ(result) ? 0 : 1;
}
