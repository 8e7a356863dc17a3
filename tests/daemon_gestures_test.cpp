// Presses held for given times through a port image, and what they fire:
// settle, hold times, taps, chords of names, release waits. Each case is a
// file in tests/gesture_cases:
//   tabrin OPTIONS...      -r LIST NAME, -h LIST MS NAME, -a LIST MS NAME, -2 LIST NAME:
//                          NAME's command writes NAME
//   press BUTTONS MS       the digits held (- for none), for at least MS ms
//   so_far NAME...         the names written by then, the buttons still held
//   expect NAME...         the names written, in order, once all is done
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <sstream>

namespace {

struct press {
    unsigned char status = 0xFF;
    int ms = 0;
};

// A press line, or a so_far line: the names written by then.
struct case_step {
    press held;
    bool check = false;
    std::string so_far;
};

struct gesture_case {
    std::vector<std::string> options;
    std::vector<case_step> steps;
    std::string expected;
};

unsigned char status_of(const std::string &digits)
{
    return std::accumulate(digits.begin(), digits.end(), static_cast<unsigned char>(0xFF), [](unsigned char status, char digit) {
        return digit >= '1' && digit <= '4' ? static_cast<unsigned char>(status & ~(0x10 << (digit - '1'))) : status;
    });
}

// The options with each binding's command made to write its name.
std::vector<std::string> daemon_options(std::istringstream *words, const temp_dir &dir)
{
    std::vector<std::string> options;
    std::string word;
    while (*words >> word) {
        options.push_back(word);
        const int list_words = word == "-r" || word == "-2" ? 1 : word == "-h" || word == "-a" ? 2 : 0;
        for (int i = 0; i < list_words && *words >> word; ++i)
            options.push_back(word);
        if (list_words > 0 && *words >> word)
            options.push_back("echo " + word + " >> " + dir / "out");
    }
    return options;
}

gesture_case read_case(const std::string &path, const temp_dir &dir)
{
    gesture_case read;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword == "tabrin") {
            read.options = daemon_options(&words, dir);
        } else if (keyword == "press") {
            std::string digits;
            case_step step;
            words >> digits >> step.held.ms;
            step.held.status = status_of(digits);
            read.steps.push_back(step);
        } else if (keyword == "so_far") {
            case_step check;
            check.check = true;
            for (std::string name; words >> name;)
                check.so_far += name + "\n";
            read.steps.push_back(check);
        } else if (keyword == "expect") {
            for (std::string name; words >> name;)
                read.expected += name + "\n";
        }
    }
    return read;
}

// Holds the buttons for at least the time given, and until the daemon has
// read them twice, so that it has seen them whatever the machine's load.
void hold_buttons(const temp_dir &dir, pid_t pid, const press &step)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
    set_buttons(dir / "port", step.status);
    ASSERT_TRUE(wait_reads(pid, 2));
    ASSERT_TRUE(wait_for([&] { return std::chrono::steady_clock::now() >= until; }, step.ms + 5000));
}

std::vector<std::string> case_paths()
{
    std::vector<std::string> paths;
    for (const auto &entry : std::filesystem::directory_iterator(GESTURE_CASES))
        if (entry.path().extension() == ".case")
            paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(DaemonGestures, EachCaseFiresWhatItExpects)
{
    const std::vector<std::string> paths = case_paths();
    ASSERT_FALSE(paths.empty());
    for (const std::string &path : paths) {
        SCOPED_TRACE(std::filesystem::path(path).stem().string());
        temp_dir dir;
        const gesture_case given = read_case(path, dir);
        set_buttons(dir / "port", 0xFF);
        std::vector<std::string> command = {TABRIN, "-j", dir / "port", "-p", "10", "-w", "50", "-l", dir / "lock"};
        command.insert(command.end(), given.options.begin(), given.options.end());
        const pid_t pid = spawn(command, dir / "err");
        process_guard daemon(pid);
        ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; })) << read_file(dir / "err");
        for (const case_step &step : given.steps) {
            if (!step.check) {
                hold_buttons(dir, pid, step.held);
                continue;
            }
            ASSERT_TRUE(wait_reads(pid, 2));
            EXPECT_EQ(read_file(dir / "out"), step.so_far);
        }
        ASSERT_TRUE(wait_reads(pid, 30));
        EXPECT_EQ(read_file(dir / "out"), given.expected);
        EXPECT_EQ(read_file(dir / "err"), "");
    }
}

// The hold binding fires when its time has passed since the press, never
// before; how soon after is measured in bench/.
TEST(DaemonGestures, HoldFiresNoSoonerThanItsTime)
{
    temp_dir dir;
    set_buttons(dir / "port", 0xFF);
    const pid_t pid = spawn({TABRIN, "-j", dir / "port", "-p", "500", "-l", dir / "lock", "-h", "1", "700",
                             "echo hold >> " + dir / "out"});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    const auto pressed = std::chrono::steady_clock::now();
    set_buttons(dir / "port", 0xEF);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - pressed, std::chrono::milliseconds(700));
    EXPECT_EQ(read_file(dir / "out"), "hold\n");
}

} // namespace

namespace {

// -v in the foreground: held buttons by their -b names, a named chord by its
// list, a hold with its time, a run binding that fired on letting go.
TEST(DaemonGestures, VerboseTellsHowEachBindingFired)
{
    temp_dir dir;
    set_buttons(dir / "port", 0xFF);
    const pid_t pid = spawn({TABRIN, "-v", "-j", dir / "port", "-p", "10", "-w", "50", "-l", dir / "lock", "-b",
                             "BTN_SELECT,BTN_START", "-r", "BTN_SELECT+BTN_START", "true", "-h", "3", "300", "true",
                             "-r", "3", "true"},
                            dir / "err");
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    for (const press &step : std::vector<press>{{0xCF, 200}, {0xFF, 0}, {0xBF, 1000}, {0xFF, 0}, {0xBF, 150},
                                                {0xFF, 0}})
        hold_buttons(dir, pid, step);
    ASSERT_TRUE(wait_reads(pid, 30));
    EXPECT_EQ(read_file(dir / "err"), "held: BTN_SELECT BTN_START\n"
                                      "run BTN_SELECT+BTN_START at once: true\n"
                                      "ended BTN_SELECT+BTN_START: status 0\n"
                                      "held: none\n"
                                      "held: 3\n"
                                      "run 3 held 300 ms: true\n"
                                      "ended 3: status 0\n"
                                      "held: none\n"
                                      "held: 3\n"
                                      "held: none\n"
                                      "run 3 on release: true\n"
                                      "ended 3: status 0\n");
}

} // namespace

namespace {

// -v names a tap that waited out its window, a double press, a repeat and
// its repeats.
TEST(DaemonGestures, VerboseTellsTapsDoublesAndRepeats)
{
    temp_dir dir;
    set_buttons(dir / "port", 0xFF);
    const pid_t pid = spawn({TABRIN, "-v", "-j", dir / "port", "-p", "10", "-w", "400", "-l", dir / "lock", "-b",
                             "BTN_MODE,BTN_SOUTH,BTN_DPAD_UP", "-r", "BTN_MODE", "true", "-2", "BTN_MODE", "true",
                             "-a", "BTN_SOUTH+BTN_DPAD_UP", "300", "true"},
                            dir / "err");
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    for (const press &step : std::vector<press>{{0xEF, 100}, {0xFF, 700}, {0xEF, 100}, {0xFF, 100}, {0xEF, 100},
                                                {0xFF, 100}, {0x9F, 850}, {0xFF, 0}})
        hold_buttons(dir, pid, step);
    ASSERT_TRUE(wait_reads(pid, 30));
    EXPECT_EQ(read_file(dir / "err"), "held: BTN_MODE\n"
                                      "held: none\n"
                                      "run BTN_MODE on tap: true\n"
                                      "ended BTN_MODE: status 0\n"
                                      "held: BTN_MODE\n"
                                      "held: none\n"
                                      "held: BTN_MODE\n"
                                      "double BTN_MODE: true\n"
                                      "ended BTN_MODE: status 0\n"
                                      "held: none\n"
                                      "held: BTN_SOUTH BTN_DPAD_UP\n"
                                      "repeat BTN_SOUTH+BTN_DPAD_UP: true\n"
                                      "ended BTN_SOUTH+BTN_DPAD_UP: status 0\n"
                                      "repeat BTN_SOUTH+BTN_DPAD_UP again: true\n"
                                      "ended BTN_SOUTH+BTN_DPAD_UP: status 0\n"
                                      "held: none\n");
}

} // namespace
