// Hostile input, generated from a fixed seed so that every failure can be
// replayed: whatever arrives, each run ends with status 0 or 1 (never by a
// signal or a sanitizer's report), and status 1 comes with a message.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <random>
#include <set>

#include <sys/stat.h>
#include <sys/wait.h>

namespace {

// In the sanitized build CI runs the full counts; other builds run a sample.
constexpr int argument_vectors = HOSTILE_RUNS;
constexpr int configuration_files = 4 * HOSTILE_RUNS;

const std::string usage = "\nUsage: tabrin [-t secs] [-r [1234] \"cmd\"]\n"
                          "Runs command when two joystick buttons are pressed,\n"
                          "See man page tabrin(1) for details\n";

const std::set<std::string> daemon_messages = {
    usage,
    "Not enough parameters for option\n",
    "There already is an action for this button combination\n",
    "No command to execute\n",
    "Wrong button number specified, must be in range 1..4\n",
    "Empty button list\n",
    "Button already specified within button list\n",
    "Time out of range\n",
    "Too many joystick devices\n",
    "Too many buttons named\n",
    "Too many button combinations\n",
    "A double press needs a list of button names\n",
    "Out of memory\n",
};

// Messages that name what they are about: this text, then the word or path.
const std::vector<std::string> daemon_message_starts = {
    "Wrong button name specified: ",
    "Could not open joystick device ",
};

bool is_daemon_message(const std::string &err)
{
    if (daemon_messages.count(err) != 0)
        return true;
    for (const auto &start : daemon_message_starts)
        if (err.starts_with(start) && err.find('\n') == err.size() - 1)
            return true;
    return false;
}

struct generator {
    std::mt19937 random;
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }
    template <typename T> const T &pick(const std::vector<T> &from) { return from[below(from.size())]; }
};

std::string random_bytes(generator *g, size_t length, int lowest)
{
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += static_cast<char>(lowest + static_cast<int>(g->below(static_cast<size_t>(256 - lowest))));
    return text;
}

const std::vector<std::string> options = {"-2", "-a", "-b", "-d", "-h", "-z", "-i", "-j", "-l", "-p", "-r", "-v", "-w", "-debug", "-pause",
                                          "-", "--", "-t", "-D", "-R", "-x", "-rr", "-r1"};
const std::vector<std::string> lists = {"1", "2", "3", "4", "12", "21", "1234", "4321", "11", "5",
                                        "0", "", "12345", "a", "1a", "-1", " 1", "\xd9\xa1",
                                        "BTN_SELECT+BTN_START", "ABS_Z+ABS_RZ", "ABS_Y-", "BTN_A+BTN_SOUTH",
                                        "BTN_MODE+", "+", "ABS_Z--", "304+305", "KEY_A+1"};
const std::vector<std::string> good_lists = {"1", "2", "3", "4", "12", "23", "134", "4321", "24",
                                             "BTN_SELECT+BTN_START", "BTN_MODE", "ABS_Z+ABS_RZ", "ABS_HAT0Y-+BTN_SELECT"};
const std::vector<std::string> names = {"BTN_START", "BTN_SELECT,BTN_START", "KEY_A,30", "BTN_A,BTN_SOUTH", "",
                                        ",", "BTN_DPAD_UP,", "a,b,c,d,e", "KEY_MAX", "767", "768", "btn_start"};
const std::vector<std::string> times = {"1", "0", "60000", "60001", "-1", "abc", "250ms", " 7", "+5",
                                        "99999999999999999999", "-99999999999999999999", "0x10", "1e3",
                                        "2147483648", "4294967297", "1.5s", "1.2345s", "60s", "61s", ".5s", "1.s"};
const std::vector<std::string> commands = {"true", "", "echo hi", "x", "\"", "$(x)", "%s%n", "\\"};

std::string hostile_word(generator *g)
{
    switch (g->below(8)) {
    case 0: case 1: case 2: return g->pick(options);
    case 3: return g->pick(lists);
    case 4: return g->pick(times);
    case 5: return g->pick(commands);
    case 6: return random_bytes(g, g->below(24), 1);
    default: return std::string(g->below(3) == 0 ? 70000 : 300, static_cast<char>('0' + g->below(75)));
    }
}

// Mostly options with words of the right kind, so that many vectors parse and
// start; the rest anything at all.
void add_item(generator *g, std::vector<std::string> *args)
{
    switch (g->below(10)) {
    case 0: case 1: case 2:
        args->insert(args->end(), {"-r", g->below(4) == 0 ? g->pick(lists) : g->pick(good_lists), g->pick(commands)});
        break;
    case 3:
        args->insert(args->end(), {g->below(3) == 0 ? "-a" : "-h", g->pick(good_lists), g->pick(times), g->pick(commands)});
        break;
    case 4:
        args->insert(args->end(), {g->below(2) == 0 ? "-p" : "-w", g->pick(times)});
        break;
    case 5:
        args->insert(args->end(), {"-i", g->below(2) == 0 ? g->pick(lists) : g->pick(good_lists)});
        break;
    case 6:
        args->push_back(g->below(2) == 0 ? "-d" : "-debug");
        break;
    case 7:
        if (g->below(3) == 0)
            args->insert(args->end(), {"-2", g->pick(good_lists), g->pick(commands)});
        else
            args->insert(args->end(), {"-b", g->pick(names)});
        break;
    default:
        args->push_back(hostile_word(g));
    }
}

struct outcome {
    int status = -1;     // the exit status, 128 + signal, or -1 when it neither ended nor started
    bool started = false; // parsed and reached the polling loop, and was stopped by the test
    std::string err;
};

// Runs the daemon until it ends, or until it holds the lock (its start-up is
// over: it would run for ever), and then ends it.
outcome run_daemon(const temp_dir &dir, const std::vector<std::string> &args)
{
    const pid_t child = spawn(args, dir / "err");
    int status = 0;
    pid_t ended = 0;
    pid_t holder = 0;
    wait_for([&] {
        ended = waitpid(child, &status, WNOHANG);
        holder = lock_holder(dir / "lock");
        return ended != 0 || holder != 0;
    }, 10000);
    outcome result;
    if (holder != 0) {
        result.started = true;
        // A -d parent ends by itself once its daemon is ready; killing it
        // would cut short its own exit.
        if (holder != child && ended == 0)
            ended = wait_exit(child) >= 0 ? child : 0;
        process_guard daemon(holder);
    }
    if (ended == 0)
        process_guard still_running(child);
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    result.err = read_file(dir / "err");
    return result;
}

// What a daemon that starts says: the paths it waits for, those of its -j
// options that do not exist, in order.
std::string waiting_messages(const std::vector<std::string> &args)
{
    std::string messages;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        const char letter = args[i][1];
        if (letter == 'j' && !file_exists(args[i + 1]) && errno == ENOENT)
            messages += "Waiting for joystick device " + args[i + 1] + "\n";
        i += letter == 'd' ? 0 : letter == 'r' || letter == '2' ? 2 : letter == 'h' || letter == 'a' ? 3 : 1;
    }
    return messages;
}

std::string shown(const std::vector<std::string> &args)
{
    std::string text;
    for (const auto &word : args)
        text += " [" + (word.size() > 40 ? word.substr(0, 40) + "...(" + std::to_string(word.size()) + ")" : word) + "]";
    return text;
}

TEST(HostileInput, DaemonSurvivesHostileArgumentVectors)
{
    temp_dir dir;
    set_buttons(dir / "port", 0xFF);
    generator g{std::mt19937(20261208)};
    int started = 0;
    int refused = 0;
    for (int run_number = 0; run_number < argument_vectors; ++run_number) {
        std::vector<std::string> args = {TABRIN};
        const size_t items = g.below(8);
        for (size_t i = 0; i < items; ++i)
            add_item(&g, &args);
        // A vector that parses watches an image of all buttons up (and any
        // other -j it names) and takes this lock, the last -l winning, which
        // shows that its start-up is over.
        args.insert(args.end(), {"-j", dir / "port", "-l", dir / "lock"});
        const outcome result = run_daemon(dir, args);
        if (result.started) {
            ++started;
            EXPECT_EQ(result.err, waiting_messages(args)) << "run " << run_number << shown(args);
        } else if (result.status == 1 && is_daemon_message(result.err)) {
            ++refused;
        } else {
            ADD_FAILURE() << "run " << run_number << ": status " << result.status << ", stderr [" << result.err << "]"
                          << shown(args);
        }
    }
    std::printf("%d argument vectors: %d started and were stopped, %d refused\n", argument_vectors, started, refused);
    EXPECT_EQ(started + refused, argument_vectors);
}

const std::vector<std::string> keywords = {"run", "poll", "wait", "nodaemon", "ignore", "lock", "device", "buttons",
                                           "verbose", "runx", "lockfile", "runrun", "device\xff", "nodaemonx", "run",
                                           "hold", "repeat", "double", "repeatx", "rumble"};
const std::vector<std::string> not_keywords = {"ru", "r", "Run", "stop", "RUN", "-r", "\"run\""};
const std::vector<std::string> blanks = {" ", "\t", "\r", "\v", "\f", "  ", " \t "};
const std::vector<std::string> line_ends = {"\n", "\n", "\n", "\r\n", "\r", ""};

std::string hostile_line(generator *g, const temp_dir &dir)
{
    const std::vector<std::string> paths = {"rel.lock", dir / "fifo", "/dev/null", "/", "/proc/self/status", "'",
                                            "\"", "a b", "~/x", "$HOME"};
    std::string line;
    switch (g->below(30)) {
    case 0: // around the line limits
        return std::string(g->pick(std::vector<size_t>{4092, 4093, 4094, 4095, 8189, 8190, 8191}),
                           g->below(2) == 0 ? 'a' : ' ') + g->pick(line_ends);
    case 1: // bytes of any kind, NUL included
        return random_bytes(g, g->below(200), 0) + g->pick(line_ends);
    default:
        break;
    }
    switch (g->below(16)) {
    case 0: line = random_bytes(g, g->below(10), 0x80); break;
    case 1: line = g->pick(not_keywords); break;
    default: line = g->pick(keywords); break;
    }
    const size_t words = g->below(7);
    for (size_t i = 0; i < words; ++i) {
        line += g->pick(blanks);
        switch (g->below(6)) {
        case 0: line += g->pick(lists); break;
        case 1: line += g->pick(times); break;
        case 2: line += g->pick(commands); break;
        case 3: line += g->pick(paths); break;
        default: line += hostile_word(g); break;
        }
    }
    if (g->below(4) == 0) // a comment anywhere, inside a word too
        line.insert(g->below(line.size() + 1), "#");
    if (g->below(30) == 0)
        line.insert(g->below(line.size() + 1), 1, '\0');
    return line + g->pick(line_ends);
}

std::string hostile_configuration(generator *g, const temp_dir &dir)
{
    std::string text = g->below(2) == 0 ? "run 1 true\n" : "";
    if (g->below(50) == 0) // thousands of run lines: a command line far past its first 4096 bytes
        for (size_t i = 0, n = 1000 + g->below(3000); i < n; ++i)
            text += "run " + g->pick(good_lists) + " " + g->pick(commands) + "\n";
    for (size_t i = 0, n = g->below(12); i < n; ++i)
        text += hostile_line(g, dir);
    return text;
}

// The files come in shards that CTest runs side by side, each with its own
// timeout. Every shard draws the whole sequence from the start and runs its
// own part of it, so that file N is the same file whatever the shards.
class HostileConfigurationFiles : public testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(HostileInput, HostileConfigurationFiles, testing::Range(0, HOSTILE_SHARDS));

TEST_P(HostileConfigurationFiles, ControllerSurvivesThem)
{
    temp_dir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    generator g{std::mt19937(8122026)};
    run_options from_dir;
    from_dir.cwd = dir.path;
    const int first = configuration_files * GetParam() / HOSTILE_SHARDS;
    const int end = configuration_files * (GetParam() + 1) / HOSTILE_SHARDS;
    for (int run_number = 0; run_number < first; ++run_number)
        hostile_configuration(&g, dir);
    int reported = 0;
    int refused = 0;
    for (int run_number = first; run_number < end; ++run_number) {
        const std::string text = hostile_configuration(&g, dir);
        write_file(dir / "conf", text);
        const auto result = run({TABRIND, "-f", dir / "conf", "status"}, from_dir);
        if (result.status == 0 && result.out == "tabrin not running\n" && result.err.empty()) {
            ++reported;
        } else if (result.status == 1 && !result.err.empty() && result.out.empty()) {
            ++refused;
        } else {
            ADD_FAILURE() << "file " << run_number << ": status " << result.status << ", stdout [" << result.out
                          << "], stderr [" << result.err << "], file [" << text.substr(0, 300) << "]";
            write_file(dir / ("failed" + std::to_string(run_number) + ".conf"), text);
        }
    }
    std::printf("configuration files %d to %d of %d: %d read and reported, %d refused with a message\n", first,
                end - 1, configuration_files, reported, refused);
    EXPECT_EQ(reported + refused, end - first);
}

} // namespace
