// Fuzzing aid, not part of the programs: drives the running daemon's path
// with what a file gives, in three parts.
//
//   argument words, one per line (bytes as they are), then a line "%%"
//   pad names for learning mode, one per line, then a line "%%"
//   steps, three bytes each: which -j source and how its command ends,
//     the port image's status byte, the milliseconds since the last step
//
// The words are read as the daemon reads them. Each -j source is opened on a
// port image of the harness's own (its path stays the word given, for the
// reports), so that a hostile path is told but never opened; without -j one
// image stands in for the game port. Every step writes its status byte into
// its source's image and goes through the gestures and the -v reports as the
// daemon's loop does, with the clock advanced by the step's time and the
// bound command never run: its end is the step's. In learning mode the names
// are told as pads found and lost, and each press as its chord.
//
//   runtime_fuzz FILE               one input, as AFL++ runs it
//   runtime_fuzz --replay DIR N     each file of DIR, and N variants of each
//                                   made from a fixed seed, for the tests
#include "command_line.h"
#include "gestures.h"
#include "learn.h"
#include "report.h"
#include "sources.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::string_view part_end = "%%";

// The port images, one per source, in a directory of the harness's own.
struct images {
    std::array<char, 64> dir{};
    std::array<std::array<char, 96>, max_sources> paths{};
};

bool make_images(images *made)
{
    snprintf(made->dir.data(), made->dir.size(), "/tmp/tabrin-fuzz-XXXXXX");
    if (mkdtemp(made->dir.data()) == nullptr)
        return false;
    for (int i = 0; i < max_sources; ++i) {
        snprintf(made->paths[i].data(), made->paths[i].size(), "%s/image%d", made->dir.data(), i);
        const int fd = open(made->paths[i].data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || write(fd, "\xff", 1) != 1)
            return false;
        close(fd);
    }
    return true;
}

void remove_images(const images *made)
{
    for (int i = 0; i < max_sources; ++i)
        unlink(made->paths[i].data());
    rmdir(made->dir.data());
}

void set_status(const images *made, int source, unsigned char status)
{
    const int fd = open(made->paths[source].data(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    static_cast<void>(pwrite(fd, &status, 1, 0));
    close(fd);
}

// The input's lines up to a line "%%", or to its end; `*at` moves past them.
std::vector<std::string> lines_of_part(const std::string &input, size_t *at)
{
    std::vector<std::string> lines;
    while (*at < input.size()) {
        const size_t end = std::min(input.find('\n', *at), input.size());
        std::string line = input.substr(*at, end - *at);
        *at = end + 1;
        if (line == part_end)
            break;
        lines.push_back(line);
    }
    return lines;
}

// The daemon's loop state for one input: large, so static, and set anew for each.
struct run_state {
    settings given;
    source_set sources;
    reporting report;
};

// Each -j source opened on its own image, its path then put back as given.
void open_on_images(source_set *sources, const images *made)
{
    for (int i = 0; i < sources->count; ++i) {
        source *port = &sources->list[i];
        if (port->by_name || port->kind == source_kind::game_port)
            continue;
        const char *given = port->path;
        port->path = made->paths[i].data();
        static_cast<void>(source_open(sources, port));
        port->path = given;
    }
}

// How the step's command ended: status unknown, a signal, or an exit status.
int wait_status_of(unsigned char how, unsigned char status)
{
    if ((how & 0x80) != 0)
        return -1;
    if ((how & 0x40) != 0)
        return status & 0x7F; // as WTERMSIG has it
    return status << 8;       // as WEXITSTATUS has it
}

// What the daemon's look_at does with one read, the command not run.
void look_at(source_set *sources, source *port, reporting *report, instant now, int wait_status)
{
    const gesture_rules rules = {sources->given, &port->same_as, port->active, true};
    const firing fired = gesture_step(&port->moves, &rules, source_read(sources, port), now);
    report_held(report, sources, port);
    if (fired.bound == nullptr)
        return;
    report_fired(report, &fired);
    report_ended(report, fired.bound, wait_status);
    gesture_fired(&port->moves, &rules, &fired, now);
    gesture_step(&port->moves, &rules, source_read(sources, port), now);
    report_held(report, sources, port);
}

// The pads of learning mode found and lost under the hostile names, and the
// -v lines of devices, by the sources' paths.
void tell_devices(const run_state *state, const std::vector<std::string> &names)
{
    const source_set *sources = &state->sources;
    static learn_line line;
    for (size_t i = 0; i < names.size(); ++i) {
        const source *port = &sources->list[i % static_cast<size_t>(sources->count)];
        const char *path = port->path == nullptr ? "" : port->path;
        const auto ids = static_cast<unsigned short>(i * 0x1111);
        if (sources->learning) {
            learn_tell(format_found(&line, path, names[i].c_str(), ids, static_cast<unsigned short>(~ids)));
            learn_tell(format_lost(&line, path));
        } else {
            report_device(&state->report, path, (i & 1) != 0);
            report_left_alone(&state->report, path);
        }
    }
}

// The argument vector read as the daemon reads it; without -j an image is
// added, standing in for the game port, or polled beside the pads. False
// when the daemon would refuse it.
bool read_words(std::vector<std::string> *words, const images *made, settings *given)
{
    std::vector<char *> argv(words->size() + 2, nullptr);
    argv[0] = const_cast<char *>("tabrin");
    std::transform(words->begin(), words->end(), argv.begin() + 1, [](std::string &word) { return word.data(); });
    *given = settings{};
    if (readargs(static_cast<int>(argv.size()) - 1, argv.data(), given) != 0)
        return false;
    if (given->source_count != 0)
        return true;
    words->push_back("-j");
    words->push_back(made->paths[0].data());
    return read_words(words, made, given);
}

void run_input(const std::string &input, const images *made)
{
    static run_state state;
    size_t at = 0;
    std::vector<std::string> words = lines_of_part(input, &at);
    const std::vector<std::string> names = lines_of_part(input, &at);
    if (!read_words(&words, made, &state.given))
        return;
    sources_from_settings(&state.given, &state.sources);
    state.report = reporting{};
    state.report.where = report_to::standard_error;
    state.sources.report = &state.report;
    for (int i = 0; i < max_sources; ++i)
        set_status(made, i, 0xFF);
    open_on_images(&state.sources, made);
    tell_devices(&state, names);
    instant now = 1000000;
    for (; at + 3 <= input.size(); at += 3) {
        const auto how = static_cast<unsigned char>(input[at]);
        const auto status = static_cast<unsigned char>(input[at + 1]);
        source *port = &state.sources.list[(how & 0x3F) % state.sources.count];
        now += static_cast<instant>(static_cast<unsigned char>(input[at + 2])) * 1000;
        set_status(made, static_cast<int>(port - state.sources.list.data()), status);
        if (state.sources.learning)
            learn_from(&state.sources, port, now);
        else
            look_at(&state.sources, port, &state.report, now, wait_status_of(how, status));
    }
    for (int i = 0; i < state.sources.count; ++i)
        if (state.sources.list[i].fd >= 0)
            close(state.sources.list[i].fd);
}

bool read_whole(const char *path, std::string *text)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr)
        return false;
    std::array<char, 65536> chunk;
    text->clear();
    for (size_t got; (got = fread(chunk.data(), 1, chunk.size(), file)) > 0;)
        text->append(chunk.data(), got);
    fclose(file);
    return true;
}

// A variant as a mutating fuzzer makes one: bytes changed, inserted and
// removed, a run of one byte, a part of the input repeated.
std::string variant_of(const std::string &seed, std::mt19937 *random)
{
    std::string text = seed;
    const auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(*random); };
    for (size_t changes = 1 + below(8); changes > 0; --changes) {
        const size_t at = text.empty() ? 0 : below(text.size());
        switch (below(5)) {
        case 0: if (!text.empty()) text[at] = static_cast<char>(below(256)); break;
        case 1: text.insert(at, 1, static_cast<char>(below(256))); break;
        case 2: if (!text.empty()) text.erase(at, 1 + below(4)); break;
        case 3: text.insert(at, 1 + below(1200), "/.\x1b\n0+"[below(6)]); break;
        default: text.insert(at, text.substr(at, below(64))); break;
        }
    }
    return text;
}

int replay(const char *dir_path, int variants, const images *made)
{
    DIR *dir = opendir(dir_path);
    if (dir == nullptr)
        return 2;
    std::vector<std::string> files;
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            files.push_back(std::string(dir_path) + "/" + entry->d_name);
    closedir(dir);
    std::sort(files.begin(), files.end());
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): a fixed seed, so that every run replays the same variants
    std::mt19937 random(20261210);
    std::string seed;
    for (const std::string &file : files) {
        if (!read_whole(file.c_str(), &seed))
            return 2;
        run_input(seed, made);
        for (int i = 0; i < variants; ++i)
            run_input(variant_of(seed, &random), made);
    }
    fprintf(stderr, "replayed %zu seeds and %d variants of each\n", files.size(), variants);
    return files.empty() ? 2 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    images made;
    if (!make_images(&made))
        return 2;
    int result = 2;
    std::string input;
    if (argc == 4 && strcmp(argv[1], "--replay") == 0) {
        result = replay(argv[2], static_cast<int>(strtol(argv[3], nullptr, 10)), &made);
    } else if (argc == 2 && read_whole(argv[1], &input)) {
        run_input(input, &made);
        result = 0;
    }
    remove_images(&made);
    return result;
}
