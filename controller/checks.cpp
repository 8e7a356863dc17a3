#include "checks.h"

#include "button_names.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int longest_ms = 60000;

[[noreturn]] void refuse(int line_number, const char *message, std::string_view word = {})
{
    fprintf(stderr, "line %d: %s%.*s\n", line_number, message, static_cast<int>(word.size()), word.data());
    exit(1);
}

[[noreturn]] void refuse_time(int line_number, std::string_view word, const char *fault)
{
    fprintf(stderr, "line %d: time \"%.*s\" %s\n", line_number, static_cast<int>(word.size()), word.data(), fault);
    exit(1);
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits into `value`, which stops growing past `limit` so that no number
// overflows; how many digits there were.
size_t read_digits(std::string_view text, long long limit, long long *value)
{
    size_t at = 0;
    for (; at < text.size() && is_digit(text[at]); ++at)
        *value = *value > limit ? *value : *value * 10 + (text[at] - '0');
    return at;
}

// The text from `at` on, at most its size: substr without its throw, which
// would bring in the C++ library.
std::string_view after(std::string_view text, size_t at)
{
    return {text.data() + at, text.size() - at};
}

bool same_id(button_id a, button_id b)
{
    return a.code == b.code && a.kind == b.kind;
}

bool digits_only(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), is_digit);
}

void check_digits(std::string_view list, int line_number)
{
    int seen = 0;
    for (const char c : list) {
        if (c < '1' || c > '4')
            refuse(line_number, "Wrong button number specified, must be in range 1..4");
        const int bit = 1 << (c - '1');
        if ((seen & bit) != 0)
            refuse(line_number, "Button already specified within button list");
        seen |= bit;
    }
}

// The next word of a list up to `separator`, taken off the list with its
// separator; false once the list's last word is taken, so that a list that
// ends in a separator ends in an empty word, as the daemon reads it.
bool next_word(std::string_view *list, char separator, std::string_view *word)
{
    if (list->data() == nullptr)
        return false;
    size_t end = separator == '+' ? list_word_length(*list) : 0;
    while (end < list->size() && (*list)[end] != separator)
        ++end;
    *word = {list->data(), end};
    *list = end < list->size() ? after(*list, end + 1) : std::string_view();
    return true;
}

} // namespace

time_fault read_time(std::string_view word, int *ms)
{
    long long whole = 0;
    const size_t digits = read_digits(word, longest_ms, &whole);
    if (digits == 0)
        return time_fault::not_recognized;
    const std::string_view rest = after(word, digits);
    long long value = whole;
    if (rest == "s" || (rest.starts_with('.') && rest.ends_with('s'))) {
        // Seconds, with at most three decimals: whole milliseconds.
        const std::string_view decimals = rest.size() > 1 ? std::string_view(rest.data() + 1, rest.size() - 2) : std::string_view();
        if (rest.size() > 1 && (decimals.empty() || decimals.size() > 3 || !digits_only(decimals)))
            return time_fault::not_recognized;
        long long thousandths = 0;
        read_digits(decimals, longest_ms, &thousandths);
        for (size_t i = decimals.size(); i < 3; ++i)
            thousandths *= 10;
        value = whole * 1000 + thousandths;
    } else if (!rest.empty() && rest != "ms") {
        return time_fault::not_recognized;
    }
    if (value < 1 || value > longest_ms)
        return time_fault::out_of_range;
    *ms = static_cast<int>(value);
    return time_fault::none;
}

int line_time(std::string_view word, int line_number)
{
    int ms = 0;
    switch (read_time(word, &ms)) {
    case time_fault::none: return ms;
    case time_fault::not_recognized: refuse_time(line_number, word, "not recognized");
    case time_fault::out_of_range: refuse_time(line_number, word, "out of range");
    }
    return ms;
}

void check_list(std::string_view list, int line_number)
{
    if (digits_only(list)) {
        check_digits(list, line_number);
        return;
    }
    std::array<button_id, 64> named;
    size_t count = 0;
    for (std::string_view word; next_word(&list, '+', &word);) {
        button_id button;
        if (!read_button_name(word, &button))
            refuse(line_number, "Wrong button name specified: ", word);
        for (size_t i = 0; i < count; ++i)
            if (same_id(named[i], button))
                refuse(line_number, "Button already specified within button list");
        if (count < named.size())
            named[count++] = button;
    }
}

void check_button_names(std::string_view list, int line_number)
{
    std::array<int, 4> codes{};
    size_t count = 0;
    for (std::string_view word; next_word(&list, ',', &word);) {
        const int code = key_code(word);
        if (code < 0 || count == codes.size())
            refuse(line_number, "Wrong button name specified: ", word);
        for (size_t i = 0; i < count; ++i)
            if (codes[i] == code)
                refuse(line_number, "Button already specified within button list");
        codes[count++] = code;
    }
}
