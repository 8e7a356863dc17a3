// Fuzzing aid, not part of the programs: runs the daemon's argument parser on
// the words of a file (one per line, bytes as they are) and stops there, where
// the daemon would go on to fork, open its port and take its lock.
#include "command_line.h"

#include <cstdio>

int main(int argc, char **argv)
{
    static std::array<char, 65536> text{};
    static std::array<char *, 4096> words{};
    FILE *file = argc > 1 ? fopen(argv[1], "rb") : nullptr;
    if (file == nullptr)
        return 2;
    const size_t length = fread(text.data(), 1, text.size() - 1, file);
    fclose(file);
    int count = 0;
    words[count++] = const_cast<char *>("tabrin");
    for (size_t start = 0; start <= length && count < static_cast<int>(words.size()) - 1;) {
        size_t end = start;
        while (end < length && text[end] != '\n')
            ++end;
        text[end] = '\0';
        words[count++] = &text[start];
        start = end + 1;
    }
    settings given;
    return readargs(count, words.data(), &given);
}
