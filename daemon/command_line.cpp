#include "command_line.h"

#include "say.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#include <linux/input-event-codes.h>

namespace {

// Every key and button macro of linux/input-event-codes.h with its code. The
// names are one text, not pointed at one by one: a table of pointers would be
// relocated, and so brought into memory, at every start, -b or not.
#include "key_names.inc"

static_assert(std::count(std::begin(key_name_text), std::end(key_name_text), '\0')
              == std::size(key_name_codes) + 1); // each name's NUL, and the text's own

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

// How many words follow the option letter, or -1 for a letter that is no option.
int option_words(char letter)
{
    switch (letter) {
    case 'd': return 0;
    case 'b': case 'i': case 'j': case 'l': case 'p': case 'w': return 1;
    case 'r': return 2;
    default: return -1;
    }
}

bool add_source(const char *path, settings *result)
{
    if (result->source_count == max_sources) {
        say("Too many joystick devices\n");
        return false;
    }
    result->source_paths[result->source_count++] = path;
    return true;
}

bool bind_command(const char *list, const char *command, settings *result)
{
    const int set = readmask(list);
    if (set == 0)
        return false;
    if (result->commands[set] != nullptr) {
        say("There already is an action for this button combination\n");
        return false;
    }
    result->commands[set] = command;
    return true;
}

// One option with its words; false after an error has been reported.
bool take_option(char letter, char **words, settings *result)
{
    switch (letter) {
    case 'b': return readbuttons(words[0], &result->buttons);
    case 'd': result->daemon_mode = true; return true;
    case 'i': {
        const int set = readmask(words[0]);
        if (set == 0)
            return false;
        result->active_mask = ((~set) & 0xF) << 4;
        return true;
    }
    case 'j': return add_source(words[0], result);
    case 'l': result->lock_path = words[0]; return true;
    case 'p': result->poll_usec = readtime(words[0]); return result->poll_usec >= 0;
    case 'w': result->wait_usec = readtime(words[0]); return result->wait_usec >= 0;
    default: return bind_command(words[0], words[1], result);
    }
}

} // namespace

int key_code(std::string_view name)
{
    const std::string_view names(key_name_text, sizeof key_name_text - 1);
    size_t at = 0;
    for (const unsigned short code : key_name_codes) {
        const size_t end = names.find('\0', at);
        if (std::string_view(names.data() + at, end - at) == name)
            return code;
        at = end + 1;
    }
    return decimal_code(name);
}

int readmask(const char *text)
{
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
        const size_t comma = rest.find(',');
        const int code = key_code(std::string_view(rest.data(), std::min(comma, rest.size())));
        if (code < 0 || named.count == 4) {
            say("Wrong button name specified\n");
            return false;
        }
        for (int i = 0; i < named.count; ++i)
            if (named.code[i] == code) {
                say("Button already specified within button list\n");
                return false;
            }
        named.code[named.count++] = static_cast<unsigned short>(code);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    *names = named;
    return true;
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
        have_command = have_command || letter == 'r';
        i += words;
    }
    if (!have_command) {
        say("No command to execute\n");
        return 1;
    }
    return 0;
}
