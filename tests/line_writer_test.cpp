// The one writer of every line the daemon builds, on the cases of
// line_cases.txt: nothing past the buffer, a cut part ends the line with
// "...", and what a terminal would misread shows as '?'.
#include "report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string unescaped(const std::string &text)
{
    std::string bytes;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '\\' || at + 1 == text.size()) {
            bytes += text[at];
            continue;
        }
        const char kind = text[++at];
        if (kind == 'x') {
            bytes += static_cast<char>(std::stoi(text.substr(at + 1, 2), nullptr, 16));
            at += 2;
        } else {
            bytes += kind == 'n' ? '\n' : kind == 't' ? '\t' : kind == 'r' ? '\r' : kind;
        }
    }
    return bytes;
}

std::vector<std::string> fields_of(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

TEST(LineWriter, KeepsToItsBufferCutsWithDotsAndShowsControlsAsQuestionMarks)
{
    std::ifstream cases(LINE_CASES);
    ASSERT_TRUE(cases.is_open()) << LINE_CASES;
    int count = 0;
    for (std::string text; std::getline(cases, text);) {
        if (text.empty() || text[0] == '#')
            continue;
        const std::vector<std::string> fields = fields_of(text);
        ASSERT_GE(fields.size(), 3U) << text;
        const size_t size = std::stoul(fields[0]);
        // On the heap at its exact size, so that a byte past it is the sanitizer's.
        const std::unique_ptr<char[]> room(new char[size]);
        line_writer line{{room.get(), size}};
        for (size_t part = 1; part + 1 < fields.size(); ++part)
            line_add(&line, unescaped(fields[part]));
        const std::string made(line_end(&line));
        EXPECT_EQ(made, unescaped(fields.back()) + "\n") << text;
        EXPECT_LE(made.size(), size) << text;
        ++count;
    }
    EXPECT_GT(count, 30);
}

TEST(LineWriter, NumbersWholeOrCut)
{
    std::array<char, 16> room;
    line_writer line{room};
    line_add(&line, "status ");
    line_add_number(&line, 4294967295U);
    EXPECT_EQ(line_end(&line), "status 42949...\n");
    line_writer zero{room};
    line_add_number(&zero, 0);
    EXPECT_EQ(line_end(&zero), "0\n");
}

} // namespace
