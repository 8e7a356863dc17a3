// The controller's own words: actions, -f, and the usage text for the rest.
#include "support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const std::string usage = "Usage:\ntabrind [start|stop|restart|status] [-f inputfile]\n"
                          "start(default): runs tabrin with options taken from [inputfile] or \n"
                          "\t\t/etc/tabrind.conf (default).\n"
                          "stop: stops tabrin started with tabrind\n"
                          "restart: restarts tabrin started with tabrind\n"
                          "status: reports whether tabrin started with tabrind is running\n";

run_result tabrind(const std::vector<std::string> &words)
{
    std::vector<std::string> command = {TABRIND};
    command.insert(command.end(), words.begin(), words.end());
    return run(command);
}

// Refused before the configuration file is read: none of these files exist.
TEST(ControllerArguments, RefusalsComeBeforeTheConfigurationIsRead)
{
    struct refusal {
        std::vector<std::string> words;
        std::string message;
    };
    const std::vector<refusal> refusals = {
        {{"start", "stop", "-f", "/nonexistent"}, "More than one action option defined, exiting\n"},
        {{"-f", "/nonexistent", "status", "status"}, "More than one action option defined, exiting\n"},
        {{"stop", "-f", "/nonexistent", "restart"}, "More than one action option defined, exiting\n"},
        {{"-f", "/nonexistent/a", "-f", "/nonexistent/b"}, "-f option supplied more than once, exiting\n"},
        {{"-f", "/nonexistent/a", "-f"}, "-f option supplied more than once, exiting\n"},
        {{"-f"}, "-f option requires a file name, exiting\n"},
        {{"status", "-f"}, "-f option requires a file name, exiting\n"},
        {{"Stop", "-f"}, usage},
        // A mistyped action starts, stops and signals nothing.
        {{"stpo"}, usage},
        {{"stat", "-f", "/nonexistent"}, usage},
        {{"-f", "/nonexistent", "Status"}, usage},
        {{"statusx"}, usage},
        {{"-F", "/nonexistent"}, usage},
        {{""}, usage},
        {{"stop", "start"}, "More than one action option defined, exiting\n"},
        {{"stop", "--", "start"}, usage},
    };
    for (const auto &[words, message] : refusals) {
        std::string shown;
        for (const auto &word : words)
            shown += " [" + word + "]";
        const auto result = tabrind(words);
        EXPECT_EQ(result.err, message) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.status, 1) << shown;
    }
}

// A typo of stop must not start a daemon: an unknown word ends the
// controller before the configuration is read, whatever else is given.
TEST(ControllerArguments, UnknownWordEndsTheControllerWithoutAnAction)
{
    temp_dir dir;
    write_file(dir / "conf", "run 1 x\nlock " + dir / "lock" + "\n");
    write_file(dir / "tabrin", "#!/bin/sh\ntouch '" + dir / "started" + "'\n");
    chmod((dir / "tabrin").c_str(), 0755);
    run_options options;
    options.env = {"PATH=" + dir.path + ":/usr/bin:/bin"};
    for (const std::string word : {"stpo", "stat"}) {
        const auto result = run({TABRIND, word, "-f", dir / "conf"}, options);
        EXPECT_EQ(result.err, usage) << word;
        EXPECT_EQ(result.out, "") << word;
        EXPECT_EQ(result.status, 1) << word;
    }
    EXPECT_FALSE(file_exists(dir / "started"));
}

TEST(ControllerArguments, WordAfterDashFIsTheFileWhateverItSays)
{
    temp_dir dir;
    run_options from_dir;
    from_dir.cwd = dir.path;
    auto result = run({TABRIND, "-f", "status"}, from_dir);
    EXPECT_EQ(result.err, "tabrind: No such file or directory\n");
    EXPECT_EQ(result.status, 1);

    write_file(dir / "status", "run 1 x\nlock " + dir / "lock" + "\n");
    result = run({TABRIND, "status", "-f", "status"}, from_dir);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "tabrin not running\n");
    EXPECT_EQ(result.status, 0);
}

TEST(ControllerArguments, WithoutDashFTheMissingDefaultFileIsReported)
{
    if (file_exists("/etc/tabrind.conf"))
        GTEST_SKIP() << "/etc/tabrind.conf exists here; its contents are not the test's";
    for (const std::vector<std::string> &words : {std::vector<std::string>{}, {"status"}}) {
        const auto result = tabrind(words);
        EXPECT_EQ(result.err, "tabrind: No such file or directory\n");
        EXPECT_EQ(result.status, 1);
    }
}

} // namespace
