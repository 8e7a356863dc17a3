// start, stop, restart and status against the real daemon, which reads its
// buttons from a port image named with `device` and locks a file in the
// test's own directory.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned char all_up = 0xFF;
constexpr unsigned char button1 = 0xEF;

std::string daemon_directory()
{
    const std::string daemon = TABRIN;
    return daemon.substr(0, daemon.rfind('/'));
}

// DIR/conf: button 1 runs COMMAND; the daemon reads DIR/port every millisecond
// and locks LOCK (a word of the file, so possibly relative).
void write_config(const temp_dir &dir, const std::string &lock, const std::string &command = "true")
{
    write_file(dir / "conf", "run 1 " + command + "\npoll 1\nwait 1\ndevice " + dir / "port" + "\nlock " + lock + "\n");
    if (!file_exists(dir / "port"))
        set_buttons(dir / "port", all_up);
}

// `tabrind ACTION -f DIR/conf`, finding the built daemon first on the search
// path unless the options set the environment.
run_result tabrind(const temp_dir &dir, const std::string &action, run_options options = {})
{
    if (options.env.empty())
        options.env.push_back("PATH=" + daemon_directory() + ":/usr/bin:/bin");
    return run({TABRIND, action, "-f", dir / "conf"}, options);
}

// The daemon reading DIR/port, found by its arguments whatever lock it took,
// so that the test ends it even when the controller named the wrong lock; 0 if none.
pid_t daemon_of(const temp_dir &dir)
{
    const auto found = processes_with_argument(dir / "port");
    return found.empty() ? 0 : found.front();
}

std::string running(pid_t pid)
{
    return "tabrin running, pid=" + std::to_string(pid) + "\n";
}

bool ends(pid_t pid)
{
    return wait_for([pid] { return !process_alive(pid); });
}

TEST(ControllerActions, StartStatusAndStopGoByTheLock)
{
    temp_dir dir;
    write_config(dir, dir / "lock");
    auto result = tabrind(dir, "start");
    process_guard daemon(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(daemon.pid, 0);
    EXPECT_EQ(lock_holder(dir / "lock"), daemon.pid);

    result = tabrind(dir, "status");
    EXPECT_EQ(result.out, running(daemon.pid));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);

    result = tabrind(dir, "start");
    EXPECT_EQ(result.err, "tabrin already running\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lock_holder(dir / "lock"), daemon.pid);

    // stop returns once the lock is free.
    result = tabrind(dir, "stop");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(lock_holder(dir / "lock"), 0);
    EXPECT_TRUE(ends(daemon.pid));
    EXPECT_TRUE(file_exists(dir / "lock"));

    result = tabrind(dir, "status");
    EXPECT_EQ(result.out, "tabrin not running\n");
    EXPECT_EQ(result.status, 0);
    for (const char *action : {"stop", "restart"}) {
        result = tabrind(dir, action);
        EXPECT_EQ(result.err, "No tabrin started by tabrind running\n") << action;
        EXPECT_EQ(result.status, 1) << action;
    }
}

TEST(ControllerActions, RestartLeavesExactlyOneNewDaemon)
{
    temp_dir dir;
    write_config(dir, dir / "lock");
    const auto started = tabrind(dir, "start");
    process_guard first(daemon_of(dir)); // before any assertion can end the test
    ASSERT_EQ(started.status, 0);
    ASSERT_GT(first.pid, 0);

    const auto result = tabrind(dir, "restart");
    EXPECT_TRUE(ends(first.pid));
    process_guard second(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(second.pid, 0);
    EXPECT_NE(second.pid, first.pid);
    EXPECT_EQ(lock_holder(dir / "lock"), second.pid);
    EXPECT_EQ(processes_with_argument(dir / "lock"), std::vector<pid_t>{second.pid});
}

// `lines` hold lines of 4,000-byte commands, all of button 1, each held longer.
void write_long_commands(const temp_dir &dir, int lines)
{
    write_config(dir, dir / "lock");
    std::string text = read_file(dir / "conf");
    for (int i = 1; i <= lines; ++i)
        text += "hold 1 " + std::to_string(100 + i * 10) + " : " + std::string(4000, 'x') + "\n";
    write_file(dir / "conf", text);
}

// The shell takes the daemon's command line as one argument, which the kernel
// limits to 128 KiB: thirty such commands start, forty are refused with a
// message by every action that would start them, and nothing is stopped.
TEST(ControllerActions, CommandsTooLongForTheShellAreRefusedAndNothingStarts)
{
    temp_dir dir;
    write_long_commands(dir, 30);
    auto result = tabrind(dir, "start");
    process_guard daemon(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(daemon.pid, 0);

    write_long_commands(dir, 40);
    for (const char *action : {"restart", "start"}) {
        result = tabrind(dir, action);
        // Ended with the test should the refusal fail.
        const pid_t found = daemon_of(dir);
        process_guard started(found != daemon.pid ? found : 0);
        EXPECT_EQ(result.err, "Commands too long to pass to the shell in one argument\n") << action;
        EXPECT_EQ(result.out, "") << action;
        EXPECT_EQ(result.status, 1) << action;
        EXPECT_EQ(lock_holder(dir / "lock"), daemon.pid) << action;
    }
    EXPECT_EQ(tabrind(dir, "status").out, running(daemon.pid));
    result = tabrind(dir, "stop");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(ends(daemon.pid));

    result = tabrind(dir, "start");
    process_guard started(daemon_of(dir));
    EXPECT_EQ(result.err, "Commands too long to pass to the shell in one argument\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(started.pid, 0);
}

// The daemon runs a bound command inside system(), which ignores SIGINT: the
// signal is lost, and stop and restart say so instead of claiming success.
TEST(ControllerActions, DaemonBusyWithACommandDoesNotStop)
{
    temp_dir dir;
    // Ends once the test lets it, or after some 10 s should the test fail first.
    write_file(dir / "hold.sh", "touch " + dir / "ran" + "\nn=0\nwhile [ ! -e " + dir / "go" +
                                    " ] && [ $n -lt 1000 ]; do sleep 0.01; n=$((n+1)); done\n");
    write_config(dir, dir / "lock", "sh " + dir / "hold.sh");
    const auto started = tabrind(dir, "start");
    process_guard daemon(daemon_of(dir)); // before any assertion can end the test
    ASSERT_EQ(started.status, 0);
    ASSERT_GT(daemon.pid, 0);
    ASSERT_EQ(lock_holder(dir / "lock"), daemon.pid);
    set_buttons(dir / "port", button1);
    ASSERT_TRUE(wait_for([&] { return file_exists(dir / "ran"); }));
    set_buttons(dir / "port", all_up);

    for (const char *action : {"stop", "restart"}) {
        const auto result = tabrind(dir, action);
        EXPECT_EQ(result.err, "tabrin did not stop, pid=" + std::to_string(daemon.pid) + "\n") << action;
        EXPECT_EQ(result.status, 1) << action;
        EXPECT_EQ(lock_holder(dir / "lock"), daemon.pid) << action;
        EXPECT_EQ(processes_with_argument(dir / "lock"), std::vector<pid_t>{daemon.pid}) << action;
    }

    // Once the command is over, the daemon is back in its loop and stops.
    write_file(dir / "go", "");
    ASSERT_TRUE(wait_for([&] { return processes_with_argument(dir / "hold.sh").empty(); }));
    ASSERT_TRUE(wait_reads(daemon.pid, 3));
    const auto result = tabrind(dir, "stop");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(ends(daemon.pid));
}

TEST(ControllerActions, StartFailsWhenTheDaemonsStartUpFails)
{
    temp_dir dir;
    write_config(dir, dir / "lock");
    set_buttons(dir / "port", button1);
    auto result = tabrind(dir, "start");
    EXPECT_EQ(result.err, "Joystick buttons that trigger action already pressed\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(lock_holder(dir / "lock"), 0);
    set_buttons(dir / "port", all_up);

    // The lock is taken by another process after the controller found it free:
    // a tabrin on the search path waits for the test to take it first.
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    write_file(dir / "bin/tabrin", "#!/bin/sh\ntouch " + dir / "queried" + "\nn=0\nwhile [ ! -e " + dir / "go" +
                                       " ] && [ $n -lt 500 ]; do sleep 0.01; n=$((n+1)); done\nexec '" +
                                       std::string(TABRIN) + "' \"$@\"\n");
    ASSERT_EQ(chmod((dir / "bin/tabrin").c_str(), 0755), 0);
    run_options options;
    options.env = {"PATH=" + dir / "bin" + ":/usr/bin:/bin"};
    process_guard controller(spawn({TABRIND, "start", "-f", dir / "conf"}, dir / "out", options));
    ASSERT_TRUE(wait_for([&] { return file_exists(dir / "queried"); }));
    file_lock taken(dir / "lock", F_SETLK);
    ASSERT_TRUE(taken.held());
    write_file(dir / "go", "");
    EXPECT_EQ(wait_exit(controller.pid), 1);
    controller.pid = 0; // reaped
    EXPECT_EQ(read_file(dir / "out"), "Lockfile already locked\n");
    EXPECT_EQ(processes_with_argument(dir / "lock"), std::vector<pid_t>{});
}

TEST(ControllerActions, KilledDaemonReadsAsNotRunningAndStartsAgain)
{
    temp_dir dir;
    write_config(dir, dir / "lock");
    const auto started = tabrind(dir, "start");
    process_guard first(daemon_of(dir)); // before any assertion can end the test
    ASSERT_EQ(started.status, 0);
    ASSERT_GT(first.pid, 0);
    ASSERT_EQ(lock_holder(dir / "lock"), first.pid);
    ASSERT_EQ(kill(first.pid, SIGKILL), 0);
    ASSERT_TRUE(ends(first.pid));

    auto result = tabrind(dir, "status");
    EXPECT_EQ(result.out, "tabrin not running\n");
    EXPECT_EQ(result.status, 0);
    result = tabrind(dir, "start");
    process_guard second(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_GT(second.pid, 0);
    EXPECT_NE(second.pid, first.pid);
    EXPECT_EQ(lock_holder(dir / "lock"), second.pid);
}

// The daemon works in "/" and the shell would expand ~root or split at a
// quote: the controller hands over the absolute path, quoted, and queries the
// same file.
TEST(ControllerActions, RelativeLockPathNamesOneFileForBothPrograms)
{
    temp_dir dir;
    ASSERT_EQ(mkdir((dir / "~root").c_str(), 0755), 0);
    run_options from_dir;
    from_dir.cwd = dir.path;
    for (const std::string lock : {"rel.lock", "~root/b.lock", "it's.lock"}) {
        SCOPED_TRACE(lock);
        write_config(dir, lock);
        auto result = tabrind(dir, "start", from_dir);
        process_guard daemon(daemon_of(dir));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        ASSERT_GT(daemon.pid, 0);
        EXPECT_EQ(lock_holder(dir / lock), daemon.pid);
        EXPECT_EQ(processes_with_argument(dir / lock), std::vector<pid_t>{daemon.pid});

        result = tabrind(dir, "status", from_dir);
        EXPECT_EQ(result.out, running(daemon.pid));
        result = tabrind(dir, "stop", from_dir);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(ends(daemon.pid));
    }
}

// The lock's directory may be writable by everyone: a link planted at the lock
// path, even one to a running daemon's lock, or a FIFO, is refused at once,
// and nothing is signalled or started.
TEST(ControllerActions, LinkOrFifoAtTheLockPathIsRefusedWithoutWaiting)
{
    temp_dir dir;
    write_config(dir, dir / "real.lock");
    const auto started = tabrind(dir, "start");
    process_guard daemon(daemon_of(dir)); // before any assertion can end the test
    ASSERT_EQ(started.status, 0);
    ASSERT_GT(daemon.pid, 0);
    ASSERT_EQ(symlink("real.lock", (dir / "link.lock").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo.lock").c_str(), 0644), 0);
    for (const char *planted : {"link.lock", "fifo.lock"}) {
        write_config(dir, dir / planted);
        for (const char *action : {"status", "stop", "restart", "start"}) {
            const auto result = tabrind(dir, action);
            EXPECT_EQ(result.err, "Lock file is not a regular file\n") << planted << " " << action;
            EXPECT_EQ(result.out, "") << planted << " " << action;
            EXPECT_EQ(result.status, 1) << planted << " " << action;
        }
    }
    const auto daemons = processes_with_argument(dir / "port");
    for (const pid_t pid : daemons)
        if (pid != daemon.pid)
            process_guard stray(pid);
    EXPECT_EQ(daemons, std::vector<pid_t>{daemon.pid});
    EXPECT_EQ(lock_holder(dir / "real.lock"), daemon.pid);
}

void give_to_nobody(const std::string &path)
{
    // cppcheck-suppress getpwnamCalled ; the test has a single thread
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
}

// Started, seen and stopped by the same user, the lock being `lock`.
void starts_and_stops(const temp_dir &dir, const run_options &user, const std::string &lock)
{
    auto result = tabrind(dir, "start", user);
    process_guard daemon(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(daemon.pid, 0);
    EXPECT_EQ(lock_holder(lock), daemon.pid);
    EXPECT_EQ(tabrind(dir, "status", user).out, running(daemon.pid));
    result = tabrind(dir, "stop", user);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(ends(daemon.pid));
}

// With nodaemon the daemon's end is the controller's: a refusal fails the
// start, and SIGINT, the daemon's normal end, does not.
TEST(ControllerActions, ForegroundDaemonsFailureIsTheStartsFailure)
{
    temp_dir dir;
    write_file(dir / "conf", "run 1 true\npoll 0\nnodaemon\n");
    auto result = tabrind(dir, "start");
    EXPECT_EQ(result.err, "Time out of range\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);

    write_config(dir, dir / "lock");
    write_file(dir / "conf", read_file(dir / "conf") + "nodaemon\n");
    run_options options;
    options.env = {"PATH=" + daemon_directory() + ":/usr/bin:/bin"};
    process_guard controller(spawn({TABRIND, "start", "-f", dir / "conf"}, dir / "out", options));
    ASSERT_TRUE(wait_for([&] { return daemon_of(dir) != 0; }));
    process_guard daemon(daemon_of(dir));
    ASSERT_EQ(kill(daemon.pid, SIGINT), 0);
    EXPECT_EQ(wait_exit(controller.pid), 0);
    controller.pid = 0; // reaped
    EXPECT_EQ(read_file(dir / "out"), "");
}

// A run line's command reaches the daemon as written and runs at the press,
// read by the shell of the press alone; and the daemon's command line, as
// other processes see it, shows the daemon's options but no command, so that
// a bound `pkill -f WORD` finds no daemon. The daemon may run as any user.
TEST(ControllerActions, CommandRunsAtThePressAsWrittenAndHidesFromOthers)
{
    temp_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    program_copy(dir / "bin", TABRIN);
    const std::string word = "tabrin-hidden-" + std::to_string(getpid());
    const std::string kill_command = "exec pkill -f " + word;
    const std::string echo_command = "echo 'it is $HOME' \"$(touch " + dir / "marker" + "; echo at press)\" > " + dir / "out";
    write_file(dir / "conf", "run 1 " + kill_command + "\nrun 2 " + echo_command +
                                 "\npoll 1\nwait 1\ndevice " + dir / "port\nverbose\nnodaemon\n");
    set_buttons(dir / "port", all_up);
    std::vector<run_options> users(1);
    users[0].env = {"PATH=" + dir / "bin" + ":/usr/bin:/bin"};
    if (running_as_root()) {
        users.push_back(as_nobody());
        users[1].env = users[0].env;
    } else {
        std::printf("not root: the daemon is not tried as another user\n");
    }
    for (const auto &user : users) {
        SCOPED_TRACE(user.as_nobody ? "as nobody" : "as the test's user");
        unlink((dir / "marker").c_str());
        unlink((dir / "out").c_str());
        process_guard controller(spawn({TABRIND, "start", "-f", dir / "conf"}, dir / "err", user));
        ASSERT_TRUE(wait_for([&] { return daemon_of(dir) != 0; }));
        process_guard daemon(daemon_of(dir));
        // Found perhaps while it starts: its commands are gone once it has read its arguments,
        // each an empty word, the words after it moved up, and the room they freed NULs at the end.
        using namespace std::string_literals;
        const std::string hidden = "tabrin\0-r\0" "1\0\0-r\0" "2\0\0-p\0" "1\0-w\0" "1\0-j\0"s + dir / "port" +
                                   "\0-v\0"s + std::string(kill_command.size() + echo_command.size(), '\0');
        const std::string cmdline = "/proc/" + std::to_string(daemon.pid) + "/cmdline";
        EXPECT_TRUE(wait_for([&] { return read_file(cmdline) == hidden; })) << read_file(cmdline);
        EXPECT_EQ(run({"ps", "-o", "args=", "-p", std::to_string(daemon.pid)}).out,
                  "tabrin -r 1  -r 2  -p 1 -w 1 -j " + dir / "port" + " -v\n");
        ASSERT_TRUE(wait_reads(daemon.pid, 2));
        EXPECT_FALSE(file_exists(dir / "marker"));
        const auto found = run({"pgrep", "-f", word});
        EXPECT_EQ(found.out, "");
        EXPECT_EQ(found.status, 1);

        set_buttons(dir / "port", button1);
        ASSERT_TRUE(wait_for([&] { return read_file(dir / "err").find("ended 1:") != std::string::npos; }));
        set_buttons(dir / "port", all_up);
        ASSERT_TRUE(wait_reads(daemon.pid, 2));
        set_buttons(dir / "port", 0xDF); // button 2
        ASSERT_TRUE(wait_for([&] { return file_exists(dir / "out"); }));
        set_buttons(dir / "port", all_up);
        EXPECT_TRUE(wait_for([&] { return read_file(dir / "out") == "it is $HOME at press\n"; }));
        EXPECT_TRUE(file_exists(dir / "marker"));
        // pkill's own status 1: it found no process to signal.
        EXPECT_NE(read_file(dir / "err").find("run 1: " + kill_command + "\nended 1: status 1\n"), std::string::npos)
            << read_file(dir / "err");
        EXPECT_TRUE(process_alive(daemon.pid));
        ASSERT_TRUE(wait_reads(daemon.pid, 2)); // back in its loop, where SIGINT ends it
        ASSERT_EQ(kill(daemon.pid, SIGINT), 0);
        EXPECT_EQ(wait_exit(controller.pid), 0);
        controller.pid = 0; // reaped
    }
}

class ControllerAsNobody : public testing::Test {
protected:
    void SetUp() override
    {
        if (!running_as_root())
            GTEST_SKIP() << "needs root to run the controller as nobody";
        write_config(dir, dir / "lock");
        ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
        program_copy(dir / "bin", TABRIN);
    }
    // A directory every user may write in, sticky as /tmp is.
    std::string make_open_dir() const
    {
        std::string path = dir / "open";
        EXPECT_EQ(mkdir(path.c_str(), 0777), 0);
        EXPECT_EQ(chmod(path.c_str(), 01777), 0);
        return path;
    }
    temp_dir dir;
};

// A wrong kill(-1, SIGINT) from nobody would reach every process of nobody's,
// the canary among them, and none of the test runner's.
TEST_F(ControllerAsNobody, OpenFileDescriptionLockIsAnUnknownHolderAndSignalsNobody)
{
    write_file(dir / "lock", "");
    give_to_nobody(dir / "lock"); // nobody's own lock file, held by another's open file
    file_lock taken(dir / "lock", F_OFD_SETLK);
    ASSERT_TRUE(taken.held());
    ASSERT_EQ(lock_holder(dir / "lock"), -1);
    process_guard canary(spawn({"sleep", "30"}, "", as_nobody()));
    ASSERT_TRUE(wait_for([&] { return read_file("/proc/" + std::to_string(canary.pid) + "/comm") == "sleep\n"; }));

    for (const char *action : {"status", "stop", "restart", "start"}) {
        const auto result = tabrind(dir, action, as_nobody());
        EXPECT_EQ(result.err, "Lock file held by an unknown process\n") << action;
        EXPECT_EQ(result.out, "") << action;
        EXPECT_EQ(result.status, 1) << action;
    }
    EXPECT_TRUE(process_alive(canary.pid));
}

// The lock of root's daemon is root's file: nobody's controller takes it for
// no lock of its own, and signals nothing.
TEST_F(ControllerAsNobody, DaemonOfAnotherUserCannotBeStoppedOrQueried)
{
    const auto started = tabrind(dir, "start");
    process_guard daemon(daemon_of(dir)); // before any assertion can end the test
    ASSERT_EQ(started.status, 0);
    ASSERT_GT(daemon.pid, 0);
    ASSERT_EQ(lock_holder(dir / "lock"), daemon.pid);
    for (const char *action : {"status", "stop", "restart", "start"}) {
        const auto result = tabrind(dir, action, as_nobody());
        EXPECT_EQ(result.err, "Lock file is owned by another user\n") << action;
        EXPECT_EQ(result.out, "") << action;
        EXPECT_EQ(result.status, 1) << action;
    }
    EXPECT_TRUE(process_alive(daemon.pid));
    EXPECT_EQ(lock_holder(dir / "lock"), daemon.pid);
}

// The lock's directory is open to everyone (sticky, as /tmp is). Nobody's
// link on the way leads root's controller and daemon nowhere, not even to a
// lock that another daemon holds; root's own link, as /var/lock is, and
// nobody's link for nobody himself are followed.
TEST_F(ControllerAsNobody, LinksOnTheWayAreFollowedOnlyWhenRootOrTheUserOwnsThem)
{
    const std::string open_dir = make_open_dir();
    ASSERT_EQ(mkdir((dir / "service").c_str(), 0755), 0);
    set_buttons(dir / "service/port", all_up);
    process_guard service(spawn({TABRIN, "-j", dir / "service/port", "-r", "1", "true", "-l", dir / "service/lock"}));
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "service/lock") == service.pid; }));
    ASSERT_EQ(run({"ln", "-s", dir / "service", open_dir + "/planted"}, as_nobody()).status, 0);

    write_config(dir, open_dir + "/planted/lock");
    for (const char *action : {"status", "stop", "restart", "start"}) {
        const auto result = tabrind(dir, action);
        EXPECT_EQ(result.err, "Lock file is not a regular file\n") << action;
        EXPECT_EQ(result.out, "") << action;
        EXPECT_EQ(result.status, 1) << action;
    }
    const auto refused = run({TABRIN, "-j", dir / "port", "-r", "1", "true", "-d", "-l", open_dir + "/planted/new"});
    EXPECT_EQ(refused.err, "Lock file is not a regular file\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_FALSE(file_exists(dir / "service/new"));
    EXPECT_TRUE(process_alive(service.pid));
    EXPECT_EQ(lock_holder(dir / "service/lock"), service.pid);

    // Root's link, for root.
    ASSERT_EQ(mkdir((dir / "run").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "run").c_str(), (open_dir + "/roots").c_str()), 0);
    write_config(dir, open_dir + "/roots/lock");
    starts_and_stops(dir, {}, dir / "run/lock");

    // Nobody's link, for nobody: the copy of the daemon first on nobody's path.
    ASSERT_EQ(run({"mkdir", open_dir + "/own"}, as_nobody()).status, 0);
    ASSERT_EQ(run({"ln", "-s", open_dir + "/own", open_dir + "/nobodys"}, as_nobody()).status, 0);
    write_config(dir, open_dir + "/nobodys/lock");
    run_options nobody = as_nobody();
    nobody.env.push_back("PATH=" + dir / "bin" + ":/usr/bin:/bin");
    starts_and_stops(dir, nobody, open_dir + "/own/lock");
}

// Where fs.protected_regular is off, nobody can make the file at root's lock
// path and lock it himself. For root's controller that is no daemon of
// root's: status says none runs, stop finds none, and start makes root's
// lock anew; nobody's daemon is never signalled.
TEST_F(ControllerAsNobody, FileThatAnotherUserOwnsIsNoDaemonOfRoots)
{
    const std::string open_dir = make_open_dir();
    set_buttons(dir / "nobodys_port", all_up); // not the port that finds root's daemon
    process_guard nobodys(spawn(
        {dir / "bin/tabrin", "-j", dir / "nobodys_port", "-r", "1", "true", "-l", open_dir + "/lock"}, "", as_nobody()));
    ASSERT_TRUE(wait_for([&] { return lock_holder(open_dir + "/lock") == nobodys.pid; }));
    write_config(dir, open_dir + "/lock");
    auto result = tabrind(dir, "status");
    EXPECT_EQ(result.out, "tabrin not running\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    for (const char *action : {"stop", "restart"}) {
        result = tabrind(dir, action);
        EXPECT_EQ(result.err, "No tabrin started by tabrind running\n") << action;
        EXPECT_EQ(result.status, 1) << action;
    }
    starts_and_stops(dir, {}, open_dir + "/lock");
    EXPECT_TRUE(process_alive(nobodys.pid));
}

// Whatever nobody plants at the lock path in a sticky directory before the
// system's daemon starts, root's start removes and makes its own lock: the
// target of a link is left as it was.
TEST_F(ControllerAsNobody, FilePlantedInAStickyDirectoryKeepsNoDaemonOfRootsFromStarting)
{
    const std::string open_dir = make_open_dir();
    write_file(dir / "precious", "root's\n");
    const std::string lock = open_dir + "/lock";
    write_config(dir, lock);
    const std::vector<std::vector<std::string>> plants = {
        {"touch", lock}, {"mkfifo", lock}, {"mkdir", lock}, {"ln", "-s", dir / "precious", lock}};
    for (const auto &plant : plants) {
        SCOPED_TRACE(plant.front());
        ASSERT_EQ(run(plant, as_nobody()).status, 0);
        const auto status = tabrind(dir, "status");
        EXPECT_EQ(status.out, "tabrin not running\n");
        EXPECT_EQ(status.err, "");
        starts_and_stops(dir, {}, lock);
        struct stat st {};
        ASSERT_EQ(lstat(lock.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, 0U);
        EXPECT_EQ(st.st_mode & 07777, 0600);
        ASSERT_EQ(unlink(lock.c_str()), 0);
    }
    EXPECT_EQ(read_file(dir / "precious"), "root's\n");

    // A directory with something in it is not removed: one message, and
    // nothing starts.
    ASSERT_EQ(run({"mkdir", "-p", lock + "/inside"}, as_nobody()).status, 0);
    const auto refused = tabrind(dir, "start");
    process_guard started(daemon_of(dir));
    EXPECT_EQ(refused.err, "Lock file of another user could not be removed\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(started.pid, 0);
    EXPECT_TRUE(file_exists(lock + "/inside"));
}

// Where only root may make files, another user's file at the lock path was
// put there by root: the daemon takes it for no lock of its own, as before.
TEST_F(ControllerAsNobody, FileOfAnotherUserWhereOnlyRootWritesIsRefused)
{
    write_file(dir / "lock", "");
    give_to_nobody(dir / "lock");
    const auto refused = run({TABRIN, "-j", dir / "port", "-r", "1", "true", "-d", "-l", dir / "lock"});
    EXPECT_EQ(refused.err, "Lock file is owned by another user\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(lock_holder(dir / "lock"), 0);
}

// A lock file that others could read, as older daemons made it, read-locked
// by nobody: no daemon. Status and restart say so and signal nothing, and
// start makes the lock anew, root's alone.
TEST_F(ControllerAsNobody, ReadLockOfAnotherUserIsNoDaemon)
{
    write_file(dir / "lock", "");
    ASSERT_EQ(chmod((dir / "lock").c_str(), 0644), 0);
    const std::string holder = program_copy(dir / "bin", HOLD_READ_LOCK);
    process_guard reader(spawn({holder, dir / "lock"}, dir / "held", as_nobody()));
    ASSERT_TRUE(wait_for([&] { return read_file(dir / "held") == "held\n"; }));

    auto result = tabrind(dir, "status");
    EXPECT_EQ(result.out, "tabrin not running\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    result = tabrind(dir, "restart");
    EXPECT_EQ(result.err, "No tabrin started by tabrind running\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(process_alive(reader.pid));

    result = tabrind(dir, "start");
    process_guard first(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(first.pid, 0);
    EXPECT_EQ(lock_holder(dir / "lock"), first.pid);
    struct stat st {};
    ASSERT_EQ(stat((dir / "lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600);
    EXPECT_EQ(run({"cat", dir / "lock"}, as_nobody()).status, 1);

    result = tabrind(dir, "restart");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(ends(first.pid));
    process_guard second(daemon_of(dir));
    ASSERT_GT(second.pid, 0);
    EXPECT_EQ(tabrind(dir, "status").out, running(second.pid));
    EXPECT_EQ(tabrind(dir, "stop").status, 0);
    EXPECT_TRUE(ends(second.pid));
    EXPECT_TRUE(process_alive(reader.pid));
}

// `tabrind ACTION -f DIR/conf` as USER, with USER's own group alone, finding
// the copy of the daemon in DIR/bin first on the search path.
run_result tabrind_as(const temp_dir &dir, const std::string &action, const std::string &user)
{
    run_options options;
    options.env.push_back("PATH=" + dir / "bin" + ":/usr/bin:/bin");
    return run({"setpriv", "--reuid=" + user, "--regid=" + user, "--clear-groups", "--", TABRIND, action, "-f",
                dir / "conf"},
               options);
}

// Users made for a test, each with its own group and a home in the test's
// directory, removed again when the test ends, however it ends.
struct test_users {
    std::vector<std::string> names;
    test_users() = default;
    test_users(const test_users &) = delete;
    test_users &operator=(const test_users &) = delete;
    ~test_users()
    {
        for (const auto &name : names)
            run({"userdel", name});
    }
};

// One configuration for everyone, as the per-user service reads it: "~/" in
// the lock path puts each user's lock in their own home, so each user's
// status, stop and restart find that user's daemon alone.
TEST(ControllerPerUser, TwoUsersEachRunAndSeeOnlyTheirOwnDaemon)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to make two users";
    temp_dir dir;
    write_file(dir / "conf", "run 1 true\npoll 1\nwait 1\ndevice " + dir / "port" + "\nlock ~/.cache/tabrin.lock\n");
    set_buttons(dir / "port", all_up);
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    program_copy(dir / "bin", TABRIN);
    test_users users;
    std::vector<std::string> locks;
    for (const char *suffix : {"a", "b"}) {
        const std::string name = "tabrin" + std::to_string(getpid()) + suffix;
        const std::string home = dir / name;
        const auto made = run({"useradd", "--user-group", "--no-create-home", "--home-dir", home, "--shell",
                               "/usr/sbin/nologin", name});
        ASSERT_EQ(made.status, 0) << made.err;
        users.names.push_back(name);
        const auto homed = run({"install", "-d", "-o", name, "-g", name, home, home + "/.cache"});
        ASSERT_EQ(homed.status, 0) << homed.err;
        locks.push_back(home + "/.cache/tabrin.lock");
    }
    const auto daemon_locking = [](const std::string &lock) {
        const auto found = processes_with_argument(lock);
        return found.empty() ? 0 : found.front();
    };

    const auto started_a = tabrind_as(dir, "start", users.names[0]);
    process_guard a(daemon_locking(locks[0])); // before any assertion can end the test
    const auto started_b = tabrind_as(dir, "start", users.names[1]);
    process_guard b(daemon_locking(locks[1]));
    EXPECT_EQ(started_a.err + started_b.err, "");
    ASSERT_EQ(started_a.status, 0);
    ASSERT_EQ(started_b.status, 0);
    ASSERT_GT(a.pid, 0);
    ASSERT_GT(b.pid, 0);
    EXPECT_EQ(lock_holder(locks[0]), a.pid);
    EXPECT_EQ(lock_holder(locks[1]), b.pid);
    EXPECT_EQ(tabrind_as(dir, "status", users.names[0]).out, running(a.pid));
    EXPECT_EQ(tabrind_as(dir, "status", users.names[1]).out, running(b.pid));

    // A's restart replaces A's daemon alone.
    auto result = tabrind_as(dir, "restart", users.names[0]);
    EXPECT_TRUE(ends(a.pid));
    process_guard a2(daemon_locking(locks[0]));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(a2.pid, 0);
    EXPECT_NE(a2.pid, a.pid);
    EXPECT_EQ(lock_holder(locks[0]), a2.pid);
    EXPECT_EQ(lock_holder(locks[1]), b.pid);

    // B's stop ends B's daemon alone.
    result = tabrind_as(dir, "stop", users.names[1]);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(ends(b.pid));
    EXPECT_TRUE(process_alive(a2.pid));
    EXPECT_EQ(tabrind_as(dir, "status", users.names[1]).out, "tabrin not running\n");
    EXPECT_EQ(tabrind_as(dir, "status", users.names[0]).out, running(a2.pid));
    result = tabrind_as(dir, "stop", users.names[1]);
    EXPECT_EQ(result.err, "No tabrin started by tabrind running\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(process_alive(a2.pid));

    result = tabrind_as(dir, "stop", users.names[0]);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(ends(a2.pid));
}


// README's script for port images, taken from README.md and run as a script
// is run, at once from the first line to the last: the command bound to
// buttons 1 and 2 (an xterm that leaves a mark, first on the search path)
// runs, and the script's stop leaves no daemon. Its /tmp/ files are made in
// the test's own directory.
TEST(ControllerActions, ReadmesPortImageScriptRunsItsCommand)
{
    const std::string readme = read_file(std::string(CONFIG_CASES) + "/../../README.md");
    const size_t press = readme.find("printf '\\317' > /tmp/port");
    ASSERT_NE(press, std::string::npos) << "README.md has no port image script";
    const size_t start = readme.rfind("```sh\n", press) + 6;
    const std::string block = readme.substr(start, readme.find("```\n", press) - start);
    temp_dir dir;
    std::string script;
    for (size_t at = 0, found = 0; at < block.size(); at = found + 5) {
        found = std::min(block.find("/tmp/", at), block.size());
        script += block.substr(at, found - at);
        if (found < block.size())
            script += dir.path + "/";
    }
    ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    write_file(dir / "bin/xterm", "#!/bin/sh\necho ran > " + dir / "xterm-ran\n");
    ASSERT_EQ(chmod((dir / "bin/xterm").c_str(), 0755), 0);
    const std::string controller = TABRIND;
    run_options options;
    options.env.push_back("PATH=" + dir / "bin:" + daemon_directory() + ":" +
                          controller.substr(0, controller.rfind('/')) + ":/usr/bin:/bin");
    const auto result = run({"sh", "-eu", "-c", script}, options);
    process_guard left(daemon_of(dir)); // should the script have failed before its stop
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(wait_for([&] { return read_file(dir / "xterm-ran") == "ran\n"; }));
    EXPECT_EQ(left.pid, 0);
}


// For a service manager: start and restart write the daemon's process id to
// the -p file once its start-up is done, and nothing else changes it.
TEST(ControllerActions, PidFileNamesTheDaemonOnceItHasStarted)
{
    temp_dir dir;
    write_config(dir, dir / "lock");
    run_options options;
    options.env.push_back("PATH=" + daemon_directory() + ":/usr/bin:/bin");
    const auto with_pid_file = [&](const std::string &action) {
        return run({TABRIND, action, "-f", dir / "conf", "-p", dir / "pid"}, options);
    };
    auto result = with_pid_file("start");
    process_guard first(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(first.pid, 0);
    EXPECT_EQ(read_file(dir / "pid"), std::to_string(first.pid) + "\n");

    result = with_pid_file("start");
    EXPECT_EQ(result.err, "tabrin already running\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read_file(dir / "pid"), std::to_string(first.pid) + "\n");

    result = with_pid_file("restart");
    EXPECT_TRUE(ends(first.pid));
    process_guard second(daemon_of(dir));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_GT(second.pid, 0);
    EXPECT_EQ(read_file(dir / "pid"), std::to_string(second.pid) + "\n");

    for (const char *action : {"status", "stop"})
        EXPECT_EQ(with_pid_file(action).status, 0) << action;
    EXPECT_TRUE(ends(second.pid));
    EXPECT_EQ(read_file(dir / "pid"), std::to_string(second.pid) + "\n");

    // Refused before anything starts.
    const std::string missing = dir / "missing/pid";
    result = run({TABRIND, "start", "-f", dir / "conf", "-p", missing}, options);
    EXPECT_EQ(result.err, "tabrind: opening pid file: No such file or directory\n");
    EXPECT_EQ(result.status, 1);
    write_file(dir / "conf", read_file(dir / "conf") + "nodaemon\n");
    result = with_pid_file("start");
    EXPECT_EQ(result.err, "-p cannot be used with nodaemon, exiting\n");
    EXPECT_EQ(result.status, 1);
    process_guard none(daemon_of(dir));
    EXPECT_EQ(none.pid, 0);

    result = run({TABRIND, "-p", "a", "status", "-p", "b"});
    EXPECT_EQ(result.err, "-p option supplied more than once, exiting\n");
    EXPECT_EQ(result.status, 1);
    result = run({TABRIND, "status", "-p"});
    EXPECT_EQ(result.err, "-p option requires a file name, exiting\n");
    EXPECT_EQ(result.status, 1);
}

} // namespace
