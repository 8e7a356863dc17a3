// start, stop, restart and status against the real daemon, which reads its
// buttons from a port image named with `device` and locks a file in the
// test's own directory.
#include "support.h"

#include <gtest/gtest.h>

#include <csignal>

#include <fcntl.h>
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

// `tabrind ACTION -f DIR/conf`, finding the built daemon first on the search path.
run_result tabrind(const temp_dir &dir, const std::string &action, run_options options = {})
{
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

class ControllerAsNobody : public testing::Test {
protected:
    void SetUp() override
    {
        if (!running_as_root())
            GTEST_SKIP() << "needs root to run the controller as nobody";
        write_config(dir, dir / "lock");
    }
    temp_dir dir;
};

// A wrong kill(-1, SIGINT) from nobody would reach every process of nobody's,
// the canary among them, and none of the test runner's.
TEST_F(ControllerAsNobody, OpenFileDescriptionLockIsAnUnknownHolderAndSignalsNobody)
{
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

TEST_F(ControllerAsNobody, DaemonOfAnotherUserCannotBeStoppedOrQueried)
{
    const auto started = tabrind(dir, "start");
    process_guard daemon(daemon_of(dir)); // before any assertion can end the test
    ASSERT_EQ(started.status, 0);
    ASSERT_GT(daemon.pid, 0);
    ASSERT_EQ(lock_holder(dir / "lock"), daemon.pid);

    auto result = tabrind(dir, "stop", as_nobody());
    EXPECT_EQ(result.err, "tabrind: tabrin kill: Operation not permitted\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(process_alive(daemon.pid));

    ASSERT_EQ(chmod((dir / "lock").c_str(), 0600), 0);
    result = tabrind(dir, "status", as_nobody());
    EXPECT_EQ(result.err, "tabrind: opening lock file: Permission denied\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1);
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

} // namespace
