// The daemon on input event devices: what is refused, and a virtual gamepad
// made through uinput driving presses, commands and an unplug and replug.
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(DaemonDevice, CharacterDeviceThatIsNoInputDeviceIsRefused)
{
    for (const std::string device : {"/dev/null", "/dev/zero"}) {
        const auto result = run({TABRIN, "-j", device, "-r", "1", "x"});
        EXPECT_EQ(result.status, 1) << device;
        EXPECT_EQ(result.err, "Could not open joystick device\n") << device;
        EXPECT_EQ(result.out, "") << device;
    }
}

// A device made through uinput: plugged in while `fd` is open and created.
struct virtual_device {
    int fd = -1;
    std::string node; // its /dev/input/eventN
    virtual_device() = default;
    virtual_device(const virtual_device &) = delete;
    virtual_device &operator=(const virtual_device &) = delete;
    ~virtual_device();
};

void unplug(virtual_device *device)
{
    if (device->fd < 0)
        return;
    ioctl(device->fd, UI_DEV_DESTROY);
    close(device->fd);
    device->fd = -1;
}

virtual_device::~virtual_device()
{
    unplug(this);
}

std::string reason(const std::string &what)
{
    return what + ": " + strerror(errno);
}

// The event node of input device `sysname`, such as "event7"; "" while there is none.
std::string event_name(const std::string &sysname)
{
    std::string found;
    DIR *dir = opendir(("/sys/class/input/" + sysname).c_str());
    if (dir == nullptr)
        return found;
    while (const dirent *entry = readdir(dir))
        if (strncmp(entry->d_name, "event", 5) == 0)
            found = entry->d_name;
    closedir(dir);
    return found;
}

bool is_character_device(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

gid_t input_group()
{
    // cppcheck-suppress getgrnamCalled ; the tests run in one thread
    const group *input = getgrnam("input");
    return input == nullptr ? static_cast<gid_t>(-1) : input->gr_gid;
}

// Plugs in a device with these keys; "" once its event node is there, else
// what stood in the way.
std::string plug(virtual_device *device, const std::vector<int> &keys)
{
    device->fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (device->fd < 0)
        return reason("cannot open /dev/uinput");
    if (ioctl(device->fd, UI_SET_EVBIT, EV_KEY) != 0)
        return reason("UI_SET_EVBIT");
    for (int key : keys)
        if (ioctl(device->fd, UI_SET_KEYBIT, key) != 0)
            return reason("UI_SET_KEYBIT");
    uinput_setup setup {};
    setup.id.bustype = BUS_VIRTUAL;
    setup.id.vendor = 0x7ab;
    setup.id.product = 0x1;
    strncpy(setup.name, "tabrin test device", UINPUT_MAX_NAME_SIZE - 1);
    if (ioctl(device->fd, UI_DEV_SETUP, &setup) != 0)
        return reason("UI_DEV_SETUP");
    if (ioctl(device->fd, UI_DEV_CREATE) != 0)
        return reason("UI_DEV_CREATE");
    char sysname[64] = {};
    if (ioctl(device->fd, UI_GET_SYSNAME(sizeof sysname - 1), sysname) < 0)
        return reason("UI_GET_SYSNAME");
    std::string name;
    if (!wait_for([&] { return !(name = event_name(sysname)).empty(); }))
        return "the virtual device " + std::string(sysname) + " got no event node in sysfs";
    device->node = "/dev/input/" + name;
    if (!wait_for([&] { return is_character_device(device->node); }))
        return device->node + " did not appear (no devtmpfs here?)";
    return "";
}

// Reports keys down (1) or up (0) as one change, the way a real device does.
void set_keys(const virtual_device *device, const std::vector<int> &keys, int value)
{
    std::vector<input_event> events;
    for (int key : keys) {
        input_event event {};
        event.type = EV_KEY;
        event.code = static_cast<unsigned short>(key);
        event.value = value;
        events.push_back(event);
    }
    events.push_back(input_event{});
    events.back().type = EV_SYN;
    events.back().code = SYN_REPORT;
    const ssize_t size = static_cast<ssize_t>(events.size() * sizeof(input_event));
    ASSERT_EQ(write(device->fd, events.data(), static_cast<size_t>(size)), size) << strerror(errno);
}

// The daemon's sleeps so far: one per poll interval, each a voluntary switch.
long sleeps(pid_t pid)
{
    const std::string field = "\nvoluntary_ctxt_switches:";
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find(field);
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + field.size(), nullptr, 10);
}

// Waits until the daemon has slept `count` more times, so that it has read
// the device as it is now (an ioctl is no read for wait_reads to count).
bool wait_polls(pid_t pid, long count)
{
    const long start = sleeps(pid);
    return start >= 0 && wait_for([&] { return sleeps(pid) >= start + count; });
}

// Whether the process has `path` open, even when the node has since gone.
bool holds_open(pid_t pid, const std::string &path)
{
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = opendir(fds.c_str());
    if (dir == nullptr)
        return false;
    bool held = false;
    while (const dirent *entry = readdir(dir)) {
        char target[PATH_MAX];
        const ssize_t length = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target);
        const std::string link = length < 0 ? "" : std::string(target, static_cast<size_t>(length));
        held = held || link == path || link == path + " (deleted)";
    }
    closedir(dir);
    return held;
}

// A copy of the daemon that every user may run: the build tree may be closed to others.
std::string daemon_copy(const temp_dir &dir)
{
    write_file(dir / "tabrin", read_file(TABRIN));
    chmod((dir / "tabrin").c_str(), 0755);
    return dir / "tabrin";
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

constexpr long settled = 30;

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
    ASSERT_TRUE(wait_polls(pid, settled));
    set_keys(&pad, {BTN_EAST}, 0);
    ASSERT_TRUE(wait_polls(pid, settled));
    set_keys(&pad, {BTN_EAST}, 1);
    ASSERT_TRUE(wait_polls(pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "12\n");

    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_polls(pid, settled));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));

    // Unplugged while held: the daemon lets go of the node and keeps running.
    const std::string old_node = pad.node;
    unplug(&pad);
    unlink(link().c_str());
    ASSERT_TRUE(wait_for([&] { return !holds_open(pid, old_node); }));
    ASSERT_TRUE(wait_polls(pid, settled));
    EXPECT_TRUE(process_alive(pid));
    EXPECT_EQ(lock_holder(dir / "lock"), pid);

    // Plugged back in: found again under its name, and a press runs again.
    ASSERT_EQ(plug(&pad, gamepad_keys), "");
    point_link(&pad);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 3; }));
    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_polls(pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "12\n12\n12\n");
}

TEST_F(DaemonVirtualDevice, DeviceWithoutButtonsIsRefused)
{
    virtual_device keyboard;
    const std::string missing = plug(&keyboard, {KEY_ESC, KEY_A, KEY_Z, KEY_SPACE, KEY_ENTER});
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const auto result = run({TABRIN, "-j", keyboard.node, "-r", "1", "x"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Could not open joystick device\n");
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
    const auto result = run({daemon_copy(dir), "-j", pad.node, "-r", "1", "x"}, as_nobody());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Could not open joystick device\n");
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
    ASSERT_TRUE(wait_polls(pid, settled));
    EXPECT_FALSE(holds_open(pid, other.node));

    point_by_id(link, &pad);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
    EXPECT_FALSE(holds_open(pid, other.node));
    set_keys(&other, buttons12, 1);
    ASSERT_TRUE(wait_polls(pid, settled));
    EXPECT_EQ(read_file(dir / "out"), "12\n");
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
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
        return chown(pad.node.c_str(), 0, input_group()) == 0 && chmod(pad.node.c_str(), 0660) == 0;
    };
    ASSERT_TRUE(open_to_input()) << strerror(errno);
    point_link(&pad);
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0); // the lock and the command's output are nobody's
    run_options as_input = as_nobody();
    as_input.groups = "input";
    const pid_t pid = spawn(daemon_command(daemon_copy(dir)), "", as_input);
    process_guard daemon(pid);
    ASSERT_TRUE(wait_for([&] { return lock_holder(dir / "lock") == pid; }));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 1; }));

    unplug(&pad);
    unlink(link().c_str());
    ASSERT_EQ(plug(&pad, gamepad_keys), "");
    ASSERT_EQ(chmod(pad.node.c_str(), 0600), 0); // as the kernel makes it, whatever this one did
    point_link(&pad);
    ASSERT_TRUE(wait_polls(pid, settled));
    EXPECT_FALSE(holds_open(pid, pad.node));
    EXPECT_TRUE(process_alive(pid));

    ASSERT_TRUE(open_to_input()) << strerror(errno);
    ASSERT_TRUE(wait_for([&] { return holds_open(pid, pad.node); }));
    set_keys(&pad, buttons12, 1);
    ASSERT_TRUE(wait_for([&] { return count_lines(dir / "out") == 2; }));
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
    set_keys(&pad, buttons12, 0);
    ASSERT_TRUE(wait_polls(daemon.pid, settled));
    unplug(&pad);
    unlink(link().c_str());
    ASSERT_TRUE(wait_polls(daemon.pid, settled));
    ASSERT_EQ(plug(&pad, gamepad_keys), "");
    point_link(&pad);
    ASSERT_TRUE(wait_for([&] { return holds_open(daemon.pid, pad.node); }));
    ASSERT_TRUE(wait_polls(daemon.pid, settled));

    // LOG_DAEMON at LOG_INFO, under the ident tabrin.
    const std::string prefix = "daemon.info tabrin[" + std::to_string(daemon.pid) + "]: ";
    EXPECT_EQ(logged(dir / "messages", daemon.pid, 4),
              (std::vector<std::string>{prefix + "run 12: echo 12 >> " + dir / "out", prefix + "ended 12: status 0",
                                        prefix + "lost " + link(), prefix + "found " + link()}));
}

} // namespace
