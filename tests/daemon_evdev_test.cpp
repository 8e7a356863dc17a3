// The daemon on input event devices: what is refused, and virtual pads made
// through uinput driving presses, commands, unplugs and replugs; the daemon
// waking for the watched buttons and for nothing else. These run in the test
// VM (tests/vm/run), as root, where there is no udev: the tests make the
// links and set the permissions that udev would.
#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

TEST(DaemonDevice, CharacterDeviceThatIsNoInputDeviceIsRefused)
{
    for (const std::string device : {"/dev/null", "/dev/zero"}) {
        const auto result = run({TABRIN, "-j", device, "-r", "1", "x"});
        EXPECT_EQ(result.status, 1) << device;
        EXPECT_EQ(result.err, "Could not open joystick device " + device + ": not a port image or a device with a watched button\n") << device;
        EXPECT_EQ(result.out, "") << device;
    }
}

// The link udev makes for a device, relative as udev's are; removed when the test ends.
struct by_id_link {
    std::string path = "/dev/input/by-id/virtual-tabrin_test_pad-event-joystick";
    by_id_link() { mkdir("/dev/input/by-id", 0755); }
    by_id_link(const by_id_link &) = delete;
    by_id_link &operator=(const by_id_link &) = delete;
    ~by_id_link() { unlink(path.c_str()); }
};

void point_by_id(const by_id_link &link, const virtual_device *device)
{
    unlink(link.path.c_str());
    const std::string target = "../" + device->node.substr(device->node.rfind('/') + 1);
    ASSERT_EQ(symlink(target.c_str(), link.path.c_str()), 0) << strerror(errno);
}

const std::vector<int> gamepad_keys = {BTN_SOUTH, BTN_EAST, BTN_NORTH, BTN_WEST, BTN_START, BTN_SELECT};
const std::vector<int> buttons12 = {BTN_SOUTH, BTN_EAST};
const std::vector<int> sticks_and_hat = {ABS_X, ABS_Y, ABS_RX, ABS_RY, ABS_HAT0X, ABS_HAT0Y};

class DaemonVirtualDevice : public testing::Test {
protected:
    void SetUp() override
    {
        const int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            GTEST_SKIP() << "cannot open /dev/uinput (" << strerror(errno) << "): no virtual gamepad can be made here";
        close(fd);
    }
    temp_dir dir;

    // The stable name a user gives with -j, as the by-id links are: it
    // disappears on unplug and comes back on replug, maybe to another node.
    std::string link() const { return dir / "pad"; }
    void point_link(const virtual_device *pad)
    {
        unlink(link().c_str());
        ASSERT_EQ(symlink(pad->node.c_str(), link().c_str()), 0) << strerror(errno);
    }
    std::vector<std::string> daemon_command(const std::string &program = TABRIN, const std::string &device = "") const
    {
        return {program, "-j", device.empty() ? link() : device, "-p", "1", "-w", "1", "-l", dir / "lock",
                "-r", "12", "echo 12 >> " + dir / "out"};
    }
};

TEST_F(DaemonVirtualDevice, GamepadDrivesPressesAndSurvivesUnplugAndReplug)
{
    virtual_device pad;
    const std::string missing = plug(&pad, gamepad_keys);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    point_link(&pad);

    // South and east are buttons 1 and 2: held at start-up, they are refused.
    set_keys(&pad, buttons12, 1);
    const auto refused = run(daemon_command());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "Joystick buttons that trigger action already pressed\n");
    set_keys(&pad, buttons12, 0);

    const pid_t pid = spawn(daemon_command());
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));

    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    // Held on, and east let go and pressed again: the same press, nothing more runs.
    ASSERT_TRUE(wait_idle(pid));
    for (const int value : {0, 1}) {
        const long mark = wakeups(pid);
        set_keys(&pad, {BTN_EAST}, value);
        ASSERT_TRUE(wait_handled(pid, mark));
    }
    EXPECT_EQ(read_file(dir / "out"), "12\n");

    const long mark = wakeups(pid);
    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_handled(pid, mark));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));

    // Unplugged while held: the daemon lets go of the node and keeps running.
    const std::string old_node = pad.node;
    unplug(&pad);
    unlink(link().c_str());
    ASSERT_TRUE(wait_for([&] { return !holds_open(pid, old_node); }));
    ASSERT_TRUE(wait_idle(pid));
    EXPECT_TRUE(process_alive(pid));
    EXPECT_EQ(lock_holder(dir / "lock"), pid);

    // Plugged back in: found again under its name, and a press runs again.
    ASSERT_EQ(plug(&pad, gamepad_keys), "");
    point_link(&pad);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 3; }));
    ASSERT_TRUE(wait_idle(pid));
    const long released = wakeups(pid);
    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_handled(pid, released));
    EXPECT_EQ(read_file(dir / "out"), "12\n12\n12\n");
}

// A foot pedal or macro pad is a keyboard to the kernel: without -b it has no
// buttons, with -b it needs one of the keys named.
TEST_F(DaemonVirtualDevice, KeyboardLikeDeviceNeedsItsKeysNamed)
{
    virtual_device pedal;
    const std::string missing = plug(&pedal, {KEY_ESC, KEY_A, KEY_B, KEY_SPACE, KEY_ENTER});
    if (!missing.empty())
        GTEST_SKIP() << missing;
    for (const std::vector<std::string> &named : {std::vector<std::string>{}, {"-b", "KEY_F13,BTN_SOUTH"}}) {
        std::vector<std::string> command = {TABRIN, "-j", pedal.node, "-r", "1", "x"};
        command.insert(command.end(), named.begin(), named.end());
        const auto result = run(command);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Could not open joystick device " + pedal.node + ": not a port image or a device with a watched button\n");
    }
    auto command = daemon_command(TABRIN, pedal.node);
    command.insert(command.end(), {"-b", "KEY_B,KEY_A,KEY_F13", "-r", "2", "echo 2 >> " + dir / "out"});
    const pid_t pid = spawn(command);
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    set_keys(&pedal, {KEY_A}, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    ASSERT_TRUE(wait_idle(pid));
    for (const int value : {1, 0}) {
        const long mark = wakeups(pid);
        set_keys(&pedal, {KEY_A, KEY_B}, value);
        ASSERT_TRUE(wait_handled(pid, mark));
    }
    EXPECT_EQ(read_file(dir / "out"), "2\n");
}

TEST_F(DaemonVirtualDevice, DeviceItsUserCannotOpenIsRefused)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to act as nobody";
    virtual_device pad;
    const std::string missing = plug(&pad, gamepad_keys);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    ASSERT_EQ(chmod(pad.node.c_str(), 0600), 0);
    const auto result = run({program_copy(dir.path, TABRIN), "-j", pad.node, "-r", "1", "x"}, as_nobody());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Could not open joystick device " + pad.node + ": Permission denied\n");
}

// As udev does it: the link goes on unplug, and on replug comes back pointing
// at whatever node the device got, here another one, since a second device
// took the old number meanwhile.
TEST_F(DaemonVirtualDevice, ByIdLinkLeadsToTheReplugsNewNode)
{
    virtual_device pad;
    const std::string missing = plug(&pad, gamepad_keys);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    by_id_link link;
    point_by_id(link, &pad);
    const pid_t pid = spawn(daemon_command(TABRIN, link.path));
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));

    const std::string old_node = pad.node;
    unplug(&pad);
    unlink(link.path.c_str());
    ASSERT_TRUE(wait_for([&] { return !holds_open(pid, old_node); }));
    virtual_device other;
    ASSERT_EQ(plug(&other, gamepad_keys), "");
    ASSERT_EQ(plug(&pad, gamepad_keys), "");
    ASSERT_NE(pad.node, old_node);
    ASSERT_TRUE(wait_idle(pid));
    EXPECT_FALSE(holds_open(pid, other.node));

    point_by_id(link, &pad);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
    EXPECT_FALSE(holds_open(pid, other.node));
    // The other pad is none of the daemon's: its press runs nothing.
    set_keys(&other, buttons12, 1);
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_idle(pid));
    EXPECT_EQ(read_file(dir / "out"), "12\n12\n");
}

// udev sets a node's group and mode a moment after the kernel makes it 0600
// root's: a daemon of a user in group input that finds the replugged node
// still closed to it keeps looking, and takes it once it is readable.
TEST_F(DaemonVirtualDevice, ReplugReadableOnlyAMomentLaterIsTaken)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to act as nobody in group input";
    virtual_device pad;
    const std::string missing = plug(&pad, gamepad_keys);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const auto open_to_input = [&] {
        return run({"chgrp", "input", pad.node}).status == 0 && chmod(pad.node.c_str(), 0660) == 0;
    };
    ASSERT_TRUE(open_to_input());
    point_link(&pad);
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0); // the lock and the command's output are nobody's
    run_options as_input = as_nobody();
    as_input.groups = "input";
    const pid_t pid = spawn(daemon_command(program_copy(dir.path, TABRIN)), "", as_input);
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));

    unplug(&pad);
    unlink(link().c_str());
    ASSERT_EQ(plug(&pad, gamepad_keys), "");
    ASSERT_EQ(chmod(pad.node.c_str(), 0600), 0); // as the kernel makes it, whatever this one did
    const long mark = wakeups(pid);
    point_link(&pad);
    ASSERT_TRUE(wait_handled(pid, mark));
    EXPECT_FALSE(holds_open(pid, pad.node));
    EXPECT_TRUE(process_alive(pid));

    ASSERT_TRUE(open_to_input());
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
}

// A game in play moves sticks and the hat and presses other buttons: none of
// it wakes the daemon, with the pad there or not, whatever -p says. A press
// of the watched buttons is seen when it happens, not at the next poll.
TEST_F(DaemonVirtualDevice, OnlyTheWatchedButtonsWakeTheDaemon)
{
    virtual_device pad;
    const std::string missing = plug(&pad, gamepad_keys, sticks_and_hat);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    point_link(&pad);
    const pid_t pid = spawn({TABRIN, "-j", link(), "-p", "5000", "-w", "1", "-l", dir / "lock", "-r", "12",
                             "echo 12 >> " + dir / "out"});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    ASSERT_TRUE(wait_idle(pid));

    // Never grabbed: another reader, a game, gets all of it.
    const int reader = open(pad.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << strerror(errno);
    std::array<input_event, 16> events {};
    long received = 0;
    const long mark = wakeups(pid);
    for (int i = 0; i < 200; ++i) {
        report(&pad, EV_ABS, {ABS_X, ABS_RY}, i * 300 - 30000);
        report(&pad, EV_ABS, {ABS_HAT0X, ABS_HAT0Y}, i % 3 - 1);
        set_keys(&pad, {BTN_START, BTN_SELECT}, 1 - i % 2);
        for (ssize_t got = 0; (got = read(reader, events.data(), sizeof events)) > 0;)
            received += got / static_cast<ssize_t>(sizeof(input_event));
    }
    close(reader);
    EXPECT_EQ(received, 200L * (3 + 3 + 3));
    EXPECT_FALSE(wait_for([&] { return wakeups(pid) != mark; }, 500)) << "woken " << wakeups(pid) - mark << " times";
    EXPECT_TRUE(waits_for_events(pid));

    set_keys(&pad, buttons12, 1);
    EXPECT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }, 2500)) << "not seen before the next poll";
    ASSERT_TRUE(wait_idle(pid));
    const long held = wakeups(pid);
    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_handled(pid, held));

    // Gone, the pad is waited for as quietly: a device plugged in elsewhere
    // is none of the daemon's business.
    unplug(&pad);
    unlink(link().c_str());
    ASSERT_TRUE(wait_for([&] { return !holds_open(pid, pad.node); }));
    ASSERT_TRUE(wait_idle(pid));
    const long gone = wakeups(pid);
    virtual_device other;
    ASSERT_EQ(plug(&other, gamepad_keys, sticks_and_hat), "");
    report(&other, EV_ABS, {ABS_X}, 1000);
    set_keys(&other, buttons12, 1);
    EXPECT_FALSE(wait_for([&] { return wakeups(pid) != gone; }, 500)) << "woken " << wakeups(pid) - gone << " times";
    EXPECT_TRUE(waits_for_events(pid));
}

// -b BTN_DPAD_UP,BTN_SELECT over two pads: one reports the D-pad as hat 0,
// the other as keys. The buttons held on both make the set, and unplugging
// one leaves the other working.
TEST_F(DaemonVirtualDevice, DpadByHatOrByKeysOnEachPadAlone)
{
    virtual_device hat_pad;
    const std::string missing = plug(&hat_pad, gamepad_keys, sticks_and_hat);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    virtual_device key_pad;
    ASSERT_EQ(plug(&key_pad, {BTN_SOUTH, BTN_EAST, BTN_SELECT, BTN_START, BTN_DPAD_UP, BTN_DPAD_DOWN,
                              BTN_DPAD_LEFT, BTN_DPAD_RIGHT}),
              "");
    // A settle time long enough for the test to press on both pads.
    const pid_t pid = spawn({TABRIN, "-j", hat_pad.node, "-j", key_pad.node, "-b", "BTN_DPAD_UP,BTN_SELECT", "-p",
                             "5000", "-w", "300", "-l", dir / "lock", "-r", "12", "echo 12 >> " + dir / "out",
                             "-r", "1", "echo 1 >> " + dir / "out"});
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));

    // Up on one pad and Select on the other are two chords, never 12.
    report(&hat_pad, EV_ABS, {ABS_HAT0Y}, -1);
    set_keys(&key_pad, {BTN_SELECT}, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    ASSERT_TRUE(wait_idle(pid));
    long mark = wakeups(pid);
    report(&hat_pad, EV_ABS, {ABS_HAT0Y}, 0);
    ASSERT_TRUE(wait_handled(pid, mark));
    mark = wakeups(pid);
    set_keys(&key_pad, {BTN_SELECT}, 0);
    ASSERT_TRUE(wait_handled(pid, mark));

    // Down on the hat is not up; up as a key is.
    report(&hat_pad, EV_ABS, {ABS_HAT0Y}, 1);
    set_keys(&key_pad, {BTN_DPAD_UP}, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
    ASSERT_TRUE(wait_idle(pid));
    mark = wakeups(pid);
    set_keys(&key_pad, {BTN_DPAD_UP}, 0);
    ASSERT_TRUE(wait_handled(pid, mark));

    const std::string gone = hat_pad.node;
    unplug(&hat_pad);
    ASSERT_TRUE(wait_for([&] { return !holds_open(pid, gone); }));
    set_keys(&key_pad, {BTN_DPAD_UP, BTN_SELECT}, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 3; }));
    EXPECT_EQ(read_file(dir / "out"), "1\n1\n12\n");
}

// A Bluetooth pad off at boot: the daemon starts without it, says so, and
// takes it within 100 ms of its link appearing, also when the by-id folder
// itself went with the last link and comes back with this one, and when the
// daemon is given a link of the user's own to that by-id name.
TEST_F(DaemonVirtualDevice, PadMissingAtStartIsTakenWhenItsLinkAppears)
{
    virtual_device pad;
    const std::string missing = plug(&pad, gamepad_keys);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    unplug(&pad);
    by_id_link link;
    rmdir("/dev/input/by-id");
    ASSERT_EQ(symlink(link.path.c_str(), (dir / "my-pad").c_str()), 0) << strerror(errno);
    const pid_t pid = spawn(daemon_command(TABRIN, dir / "my-pad"), dir / "err");
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    EXPECT_EQ(read_file(dir / "err"), "Waiting for joystick device " + dir / "my-pad" + "\n");

    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(wait_idle(pid));
        ASSERT_EQ(plug(&pad, gamepad_keys), "");
        ASSERT_EQ(mkdir("/dev/input/by-id", 0755), 0) << strerror(errno);
        point_by_id(link, &pad);
        const auto linked = std::chrono::steady_clock::now();
        ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
        const auto taken = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - linked);
        EXPECT_LE(taken.count(), 100) << "round " << round;
        set_keys(&pad, buttons12, 1);
        ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == round; }));
        unplug(&pad);
        unlink(link.path.c_str());
        ASSERT_EQ(rmdir("/dev/input/by-id"), 0) << strerror(errno);
        ASSERT_TRUE(wait_for([&] { return !holds_open(pid, pad.node); }));
    }
}

// busybox syslogd writing what is logged to `file`, where no logger runs yet;
// ended, and its socket removed, with the test.
struct system_logger {
    std::string missing; // why there is none
    process_guard daemon;
    explicit system_logger(const std::string &file);
    system_logger(const system_logger &) = delete;
    system_logger &operator=(const system_logger &) = delete;
    ~system_logger();
};

system_logger::system_logger(const std::string &file)
{
    if (file_exists("/dev/log")) {
        missing = "/dev/log belongs to this machine's own logger";
        return;
    }
    daemon.pid = spawn({"busybox", "syslogd", "-n", "-O", file});
    if (!wait_for([] { return file_exists("/dev/log"); }))
        missing = "busybox syslogd made no /dev/log";
}

system_logger::~system_logger()
{
    if (daemon.pid > 0)
        unlink("/dev/log");
}

// The lines logged by `pid`, from the facility and level on, once `count` are there.
std::vector<std::string> logged(const std::string &file, pid_t pid, size_t count)
{
    const std::string ident = " tabrin[" + std::to_string(pid) + "]: ";
    std::vector<std::string> lines;
    wait_for([&] {
        lines.clear();
        std::string text = read_file(file);
        for (size_t start = 0, end = 0; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = text.substr(start, end - start);
            const auto at = line.find(ident);
            if (at != std::string::npos)
                lines.push_back(line.substr(line.rfind(' ', at - 1) + 1));
        }
        return lines.size() >= count;
    });
    return lines;
}

// With -d -v the daemon logs what it runs, how that ended, and the device
// going and coming back, through the system log; held buttons are not logged.
TEST_F(DaemonVirtualDevice, VerboseDaemonLogsRunsEndsAndTheDeviceLostAndFound)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run a system logger";
    virtual_device pad;
    const std::string missing = plug(&pad, gamepad_keys);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    point_link(&pad);
    const system_logger logger(dir / "messages");
    if (!logger.missing.empty())
        GTEST_SKIP() << logger.missing;
    auto command = daemon_command();
    command.insert(command.end(), {"-d", "-v"});
    const auto started = run(command);
    process_guard daemon(lock_holder(dir / "lock"));
    ASSERT_EQ(started.status, 0) << started.err;
    ASSERT_GT(daemon.pid, 0);

    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));
    ASSERT_TRUE(wait_idle(daemon.pid));
    const long mark = wakeups(daemon.pid);
    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_handled(daemon.pid, mark));
    const std::string old_node = pad.node;
    unplug(&pad);
    unlink(link().c_str());
    ASSERT_TRUE(wait_for([&] { return !holds_open(daemon.pid, old_node); }));
    ASSERT_EQ(plug(&pad, gamepad_keys), "");
    point_link(&pad);
    ASSERT_TRUE(wait_for([&] { return holds_open(daemon.pid, pad.node); }));

    // LOG_DAEMON at LOG_INFO, under the ident tabrin.
    const std::string prefix = "daemon.info tabrin[" + std::to_string(daemon.pid) + "]: ";
    EXPECT_EQ(logged(dir / "messages", daemon.pid, 4),
              (std::vector<std::string>{prefix + "run 12: echo 12 >> " + dir / "out", prefix + "ended 12: status 0",
                                        prefix + "lost " + link(), prefix + "found " + link()}));
}

} // namespace
