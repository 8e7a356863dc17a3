// The configuration file: which words the daemon receives for it, and each
// refusal with its message. A stand-in tabrin first on the search path writes
// down the words it was started with.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string no_run_line = "No 'run' line in tabrind configuration file; nothing to do, exiting.\n";

// Records its arguments in DIR/args, one per line, and exits with
// $STANDIN_STATUS, or with STANDIN_STATUS=INT ends by SIGINT as on Ctrl-C.
struct stand_in {
    temp_dir dir;
    stand_in()
    {
        write_file(dir / "tabrin", "#!/bin/sh\n"
                                   "for word; do printf '%s\\n' \"$word\"; done > '" + dir / "args" + "'\n"
                                   "[ \"$STANDIN_STATUS\" != INT ] || kill -INT $$\n"
                                   "exit ${STANDIN_STATUS:-0}\n");
        chmod((dir / "tabrin").c_str(), 0755);
    }
    std::string words() const { return read_file(dir / "args"); }
    bool started() const { return file_exists(dir / "args"); }
};

// `tabrind ACTION -f CONFIG` run from "/", with a fixed HOME for the shell that
// starts the daemon; the stand-in's words are in stand_in::words().
run_result run_with(const stand_in &daemon, const std::string &action, const std::string &config,
                    const std::string &status = "0")
{
    run_options options;
    options.cwd = "/";
    options.env = {"PATH=" + daemon.dir.path + ":/usr/bin:/bin", "HOME=/home/case", "STANDIN_STATUS=" + status};
    return run({TABRIND, action, "-f", config}, options);
}

run_result start_with(const stand_in &daemon, const std::string &config, const std::string &status = "0")
{
    return run_with(daemon, "start", config, status);
}

void replace_all(std::string *text, const std::string &from, const std::string &to)
{
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
        text->replace(at, from.size(), to);
}

// A case file with @DIR@ (the case's own directory) and @HOME@ (the home
// directory of the user running the test) filled in.
std::string case_text(const std::string &path, const stand_in &daemon)
{
    std::string text = read_file(path);
    replace_all(&text, "@DIR@", daemon.dir.path);
    // cppcheck-suppress getpwuidCalled ; the test has a single thread
    replace_all(&text, "@HOME@", getpwuid(getuid())->pw_dir);
    return text;
}

std::string words(const std::vector<std::string> &list)
{
    std::string text;
    for (const auto &word : list)
        text += word + "\n";
    return text;
}

std::vector<std::string> case_names()
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(CONFIG_CASES))
        if (entry.path().extension() == ".conf")
            names.push_back(entry.path().stem());
    std::sort(names.begin(), names.end());
    return names;
}

// tests/config_cases/NAME.conf beside NAME.args (the daemon's words after its
// name, one per line; status 0, nothing on standard error) or NAME.err (the
// exact standard error; status 1 and no daemon started, whatever the action).
// NAME.setup, when there is one, runs first through sh in the case's own
// directory, @DIR@ in the files. Relative lock paths resolve from "/", and
// $HOME is /home/case. Nothing may make @DIR@/marker: a case's command that
// does so must not run as the daemon is started.
TEST(ControllerConfig, EachCaseGivesTheDaemonItsWordsOrItsMessage)
{
    const auto names = case_names();
    ASSERT_GE(names.size(), 20u);
    for (const auto &name : names) {
        SCOPED_TRACE(name);
        const std::string base = std::string(CONFIG_CASES) + "/" + name;
        stand_in daemon;
        write_file(daemon.dir / "case.conf", case_text(base + ".conf", daemon));
        if (file_exists(base + ".setup")) {
            run_options in_case_dir;
            in_case_dir.cwd = daemon.dir.path;
            ASSERT_EQ(run({"sh", base + ".setup"}, in_case_dir).status, 0);
        }
        if (file_exists(base + ".args")) {
            const auto result = start_with(daemon, daemon.dir / "case.conf");
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(daemon.words(), case_text(base + ".args", daemon));
            EXPECT_FALSE(file_exists(daemon.dir / "marker"));
            continue;
        }
        ASSERT_TRUE(file_exists(base + ".err"));
        for (const char *action : {"start", "stop", "restart", "status"}) {
            const auto result = run_with(daemon, action, daemon.dir / "case.conf");
            EXPECT_EQ(result.out, "") << action;
            EXPECT_EQ(result.err, case_text(base + ".err", daemon)) << action;
            EXPECT_EQ(result.status, 1) << action;
            EXPECT_FALSE(daemon.started()) << action;
        }
    }
}

TEST(ControllerConfig, LinesHoldAtMost4093Characters)
{
    const std::string run_4093 = "run 1 " + std::string(4093 - 6, 'x');
    const std::string run_4094 = "run 1 " + std::string(4094 - 6, 'x');
    const std::string accepted = words({"-p", "5", "-r", "1", std::string(4093 - 6, 'x'), "-d", "-l", "/var/lock/tabrin"});
    struct length_case {
        std::string text;
        bool fits;
    };
    const std::vector<length_case> cases = {
        {"poll 5\n" + run_4093 + "\n", true},
        {"poll 5\n" + run_4093, true}, // last line, no newline
        {"poll 5\n" + run_4094 + "\n", false},
        {"poll 5\n" + run_4094, false},
        {"poll 5\n" + run_4094 + "\nrun 2 y\n", false},
    };
    temp_dir dir;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        stand_in daemon;
        write_file(dir / "conf", cases[i].text);
        const auto result = start_with(daemon, dir / "conf");
        if (cases[i].fits) {
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(daemon.words(), accepted);
        } else {
            EXPECT_EQ(result.err, "line 2 too long\n");
            EXPECT_EQ(result.status, 1);
            EXPECT_FALSE(daemon.started());
        }
    }
}

// A NUL byte ends a line's text: such a line is refused as too long, unless it
// is the last one and has no newline; then its text before the NUL counts.
// A NUL as the line's first byte is no exception.
TEST(ControllerConfig, NulByteEndsTheLinesText)
{
    using namespace std::string_literals;
    struct nul_case {
        std::string text;
        std::string args; // empty: refused as too long on line 2
    };
    const std::vector<nul_case> cases = {
        {"run 1 x\npoll 5\0 6\nwait 3\n"s, ""},
        {"run 1 x\npoll 5\0 6"s, words({"-r", "1", "x", "-p", "5", "-d", "-l", "/var/lock/tabrin"})},
        {"run 1 x\n\0poll 5\nwait 3\n"s, ""},
        {"run 1 x\n\0poll 5"s, words({"-r", "1", "x", "-d", "-l", "/var/lock/tabrin"})},
    };
    temp_dir dir;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        stand_in daemon;
        write_file(dir / "conf", cases[i].text);
        const auto result = start_with(daemon, dir / "conf");
        if (!cases[i].args.empty()) {
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(daemon.words(), cases[i].args);
        } else {
            EXPECT_EQ(result.err, "line 2 too long\n");
            EXPECT_EQ(result.status, 1);
            EXPECT_FALSE(daemon.started());
        }
    }
}

TEST(ControllerConfig, CommandLineGrowsPastItsFirst4096Bytes)
{
    temp_dir dir;
    std::string config;
    std::vector<std::string> expected;
    for (const char *set : {"1", "2", "3", "4"}) {
        const std::string command = "echo " + std::string(3000, set[0]);
        config += std::string("run ") + set + " " + command + "\n";
        expected.insert(expected.end(), {"-r", set, command});
    }
    config += "lock " + dir / "lock" + "\n";
    expected.insert(expected.end(), {"-d", "-l", dir / "lock"});
    write_file(dir / "conf", config);
    stand_in daemon;
    const auto result = start_with(daemon, dir / "conf");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(daemon.words(), words(expected));
}

TEST(ControllerConfig, FileThatCannotBeReadEndsTheControllerWhateverTheAction)
{
    temp_dir dir;
    write_file(dir / "secret.conf", "run 1 x\n");
    chmod((dir / "secret.conf").c_str(), 0600);
    struct unreadable {
        std::string path;
        std::string message;
        bool as_nobody;
    };
    std::vector<unreadable> files = {{dir / "missing.conf", "tabrind: No such file or directory\n", false},
                                     {dir.path, "tabrind: Is a directory\n", false}};
    if (running_as_root())
        files.push_back({dir / "secret.conf", "tabrind: Permission denied\n", true});
    else
        std::printf("not root: the file nobody may not read is not tried\n");
    for (const auto &file : files) {
        for (const char *action : {"start", "stop", "restart", "status"}) {
            stand_in daemon;
            run_options options = file.as_nobody ? as_nobody() : run_options{};
            options.env = {"PATH=" + daemon.dir.path + ":/usr/bin:/bin"};
            const auto result = run({TABRIND, action, "-f", file.path}, options);
            EXPECT_EQ(result.err, file.message) << file.path << " " << action;
            EXPECT_EQ(result.out, "") << file.path << " " << action;
            EXPECT_EQ(result.status, 1) << file.path << " " << action;
            EXPECT_FALSE(daemon.started());
        }
    }
}

// Learning needs no file: without one, the daemon looks for every pad. A
// file that is there and cannot be read is still refused.
TEST(ControllerConfig, LearnWithoutAFileTakesEveryPad)
{
    temp_dir dir;
    stand_in daemon;
    const auto result = run_with(daemon, "learn", dir / "missing.conf");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(daemon.words(), "-m\n");

    stand_in refused;
    EXPECT_EQ(run_with(refused, "learn", dir.path).err, "tabrind: Is a directory\n");
    EXPECT_FALSE(refused.started());
}

// A list is checked with its line whatever the action, before the daemon is asked.
TEST(ControllerConfig, WrongButtonNameIsRefusedWithItsLineWhateverTheAction)
{
    temp_dir dir;
    write_file(dir / "conf", "pad *\n# the pad's own\nrun BTN_SELEKT+BTN_START pkill -x retroarch\n");
    for (const char *action : {"status", "stop", "restart", "start", "learn"}) {
        stand_in daemon;
        const auto result = run_with(daemon, action, dir / "conf");
        EXPECT_EQ(result.err, "line 3: Wrong button name specified: BTN_SELEKT\n") << action;
        EXPECT_EQ(result.status, 1) << action;
        EXPECT_FALSE(daemon.started()) << action;
    }
}

TEST(ControllerConfig, ConfigurationIsCheckedWhateverTheAction)
{
    temp_dir dir;
    write_file(dir / "conf", "poll 5\n");
    for (const char *action : {"status", "stop", "restart", "start"}) {
        const auto result = run({TABRIND, action, "-f", dir / "conf"});
        EXPECT_EQ(result.err, no_run_line) << action;
        EXPECT_EQ(result.out, "") << action;
        EXPECT_EQ(result.status, 1) << action;
    }
}

// A detached daemon's parent reports its start-up, a foreground daemon its
// whole run: either way a failure is the controller's.
TEST(ControllerConfig, DaemonsFailureIsTheControllersDetachedOrNot)
{
    temp_dir dir;
    write_file(dir / "detached.conf", "run 1 x\nlock " + dir / "lock" + "\n");
    write_file(dir / "foreground.conf", "run 1 x\nnodaemon\n");
    for (const char *config : {"detached.conf", "foreground.conf"}) {
        for (const char *status : {"0", "3"}) {
            stand_in daemon;
            const auto result = start_with(daemon, dir / config, status);
            EXPECT_EQ(result.err, "") << config << " " << status;
            EXPECT_EQ(result.status, status == std::string("0") ? 0 : 1) << config << " " << status;
            EXPECT_TRUE(daemon.started()) << config << " " << status;
        }
    }
}

// learn: the daemon in learning mode, in the foreground, on the file's device
// and pad lines alone; no run line is needed and no lock is looked at (here
// one that start refuses). Ended by Ctrl-C is the normal way out.
TEST(ControllerConfig, LearnWatchesTheFilesDevicesAndPadsOnly)
{
    temp_dir dir;
    ASSERT_EQ(mkdir((dir / "lock").c_str(), 0755), 0);
    std::string full = "run 12 xterm &\npoll 5\nwait 3\nignore 1\nbuttons BTN_SOUTH,BTN_EAST\nverbose\n"
                       "device /dev/input/by-id/usb-Pad_One-event-joystick\npad Xbox Wireless Controller \nlock ";
    full += dir / "lock";
    full += "\ndevice /tmp/port\n";
    write_file(dir / "full.conf", full);
    write_file(dir / "bare.conf", "poll 5\n");
    const std::string full_words = words({"-m", "-j", "/dev/input/by-id/usb-Pad_One-event-joystick", "-n",
                                          "Xbox Wireless Controller", "-j", "/tmp/port"});
    struct learn_case {
        std::string config;
        std::string daemon_status;
        int status;
        std::string words;
    };
    const std::vector<learn_case> cases = {
        {"full.conf", "0", 0, full_words},
        {"full.conf", "INT", 0, full_words},
        {"full.conf", "1", 1, full_words},
        {"bare.conf", "0", 0, words({"-m"})},
    };
    for (const auto &[config, daemon_status, status, expected] : cases) {
        SCOPED_TRACE(config);
        SCOPED_TRACE(daemon_status);
        stand_in daemon;
        const auto result = run_with(daemon, "learn", dir / config, daemon_status);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(daemon.words(), expected);
    }
    stand_in daemon;
    EXPECT_EQ(run_with(daemon, "start", dir / "full.conf").err, "Lock file is not a regular file\n");
}

} // namespace
