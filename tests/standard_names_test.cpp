// What each standard name is on each family of pads, as data: a file in
// tests/standard_name_cases is a pad's vendor, keys and axes, and every
// standard name with the kernel name it becomes there ("-" for none).
#include "button_names.h"

#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <linux/input.h>

namespace {

constexpr size_t word = 8 * sizeof(unsigned long);

struct name_case {
    std::array<unsigned long, KEY_CNT / word> keys{};
    std::array<unsigned long, (ABS_CNT + word - 1) / word> axes{};
    unsigned short vendor = 0;
    std::vector<std::pair<std::string, std::string>> names; // in the file's order
    std::string fault;                                      // what in the file could not be read
};

void set(std::span<unsigned long> bits, int code)
{
    bits[static_cast<size_t>(code) / word] |= 1UL << (static_cast<size_t>(code) % word);
}

name_case read_case(const std::string &path)
{
    name_case read;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first[0] == '#')
            continue;
        std::string rest;
        if (first == "vendor") {
            words >> rest;
            read.vendor = static_cast<unsigned short>(strtoul(rest.c_str(), nullptr, 16));
        } else if (first == "keys" || first == "axes") {
            while (words >> rest) {
                const int code = first == "keys" ? key_code(rest) : axis_code(rest);
                if (code < 0)
                    read.fault += " " + rest;
                else
                    set(first == "keys" ? std::span<unsigned long>(read.keys) : std::span<unsigned long>(read.axes), code);
            }
        } else {
            words >> rest;
            read.names.emplace_back(first, rest);
        }
    }
    return read;
}

// A kernel name as a list gives it: an axis's low side with '-'.
std::string kernel_name(button_id button)
{
    if (button.kind == button_kind::key)
        return std::string(key_name(button.code));
    return std::string(axis_name(button.code)) + (button.kind == button_kind::axis_low ? "-" : "");
}

std::vector<std::string> case_files()
{
    std::vector<std::string> found;
    DIR *dir = opendir(STANDARD_NAME_CASES);
    while (const dirent *entry = dir == nullptr ? nullptr : readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 5 && name.ends_with(".case"))
            found.push_back(name);
    }
    if (dir != nullptr)
        closedir(dir);
    return found;
}

TEST(StandardNames, EachPadFamilyHasEachNameWhereItsDriverPutsIt)
{
    const std::vector<std::string> files = case_files();
    ASSERT_GE(files.size(), 8U);
    for (const std::string &file : files) {
        const name_case pad = read_case(std::string(STANDARD_NAME_CASES) + "/" + file);
        ASSERT_EQ(pad.fault, "") << file;
        // Every name, each once, in the order of the table.
        ASSERT_EQ(pad.names.size(), static_cast<size_t>(standard_name_count())) << file;
        const pad_layout layout = {pad.keys, pad.axes, pad.vendor};
        for (int index = 0; index < standard_name_count(); ++index) {
            const auto &[name, expected] = pad.names[static_cast<size_t>(index)];
            EXPECT_EQ(name, standard_name(index)) << file;
            button_id button;
            const std::string found = standard_button(&layout, index, &button) ? kernel_name(button) : "-";
            EXPECT_EQ(found, expected) << file << ": " << name;
        }
    }
}

TEST(StandardNames, ReadBesideKernelNamesAndCodes)
{
    const std::map<std::string, std::pair<int, button_kind>> read = {
        {"a", {0, button_kind::standard}},
        {"righty+", {25, button_kind::standard}},
        {"lefttrigger", {9, button_kind::standard}},
        {"BTN_SOUTH", {BTN_SOUTH, button_kind::key}},
        {"304", {BTN_SOUTH, button_kind::key}},
        {"ABS_Z", {ABS_Z, button_kind::axis_high}},
        {"ABS_Z-", {ABS_Z, button_kind::axis_low}},
    };
    for (const auto &[name, expected] : read) {
        button_id button;
        ASSERT_TRUE(read_button_name(name, &button)) << name;
        EXPECT_EQ(button.code, expected.first) << name;
        EXPECT_EQ(button.kind, expected.second) << name;
    }
    for (const char *wrong : {"A", "Start", "leftx", "dpup+", "misc2", "BTN_SELEKT", "", "-", "a-"}) {
        button_id button;
        EXPECT_FALSE(read_button_name(wrong, &button)) << wrong;
    }
}

// A '+' ends a name, but the one that ends leftx+ and its kin.
TEST(StandardNames, PlusInANameIsPartOfIt)
{
    const std::vector<std::pair<std::string, size_t>> cases = {
        {"a+b", 1},         {"leftx++a", 6}, {"leftx+", 6},  {"righty++rightx+", 7}, {"leftx+a", 5},
        {"BTN_SOUTH", 9},   {"", 0},         {"+a", 0},      {"leftx-+a", 6},         {"lefty+", 6},
    };
    for (const auto &[list, length] : cases)
        EXPECT_EQ(list_word_length(list), length) << list;
}

} // namespace
