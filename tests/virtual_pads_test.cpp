// The virtual pads themselves: each shape plugs in and reads back as its
// driver would make it, so that the daemon's tests meet what users plug in.
#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const std::vector<const pad_shape *> shapes = {
    &xbox_360_pad, &xbox_one_pad,  &dualsense_pad,  &dualsense_motion, &dualsense_touchpad, &generic_gamepad,
    &generic_joystick, &android_pad, &switch_pro_pad, &joycon_left,     &snes_style_pad,     &usb_keyboard};

bool has_bit(const unsigned char *bits, int code)
{
    return (bits[code / 8] >> (code % 8) & 1) != 0;
}

// What a reader of the node learns: its name, ids, keys and axes.
void expect_reads_as(const std::string &node, const pad_shape &shape)
{
    const int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        FAIL() << node << ": " << strerror(errno);
    char name[256] = {};
    ioctl(fd, EVIOCGNAME(sizeof name - 1), name);
    EXPECT_EQ(name, shape.name);
    input_id id {};
    ioctl(fd, EVIOCGID, &id);
    EXPECT_EQ(id.bustype, shape.bus);
    EXPECT_EQ(id.vendor, shape.vendor);
    EXPECT_EQ(id.product, shape.product);
    unsigned char keys[KEY_MAX / 8 + 1] = {};
    ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys);
    int key_count = 0;
    for (int code = 0; code <= KEY_MAX; ++code)
        key_count += has_bit(keys, code) ? 1 : 0;
    EXPECT_EQ(key_count, static_cast<int>(shape.keys.size()));
    for (int key : shape.keys)
        EXPECT_TRUE(has_bit(keys, key)) << key;
    for (const axis_shape &axis : shape.axes) {
        input_absinfo info {};
        EXPECT_EQ(ioctl(fd, EVIOCGABS(axis.code), &info), 0) << axis.code;
        EXPECT_EQ(info.minimum, axis.minimum) << axis.code;
        EXPECT_EQ(info.maximum, axis.maximum) << axis.code;
        if (axis.code != ABS_MT_SLOT && axis.code != ABS_MT_TRACKING_ID) { // the kernel keeps those per slot
            EXPECT_EQ(info.value, axis.resting) << axis.code;
        }
    }
    close(fd);
}

TEST(VirtualPads, EachShapeReadsAsItsDriverMakesIt)
{
    for (const pad_shape *shape : shapes) {
        SCOPED_TRACE(shape->name);
        virtual_device pad;
        const std::string missing = plug(&pad, *shape);
        if (!missing.empty())
            GTEST_SKIP() << missing;
        const std::string sysfs = "/sys/class/input/" + pad.node.substr(pad.node.rfind('/') + 1) + "/device/name";
        EXPECT_EQ(read_file(sysfs), shape->name + "\n");
        expect_reads_as(pad.node, *shape);
    }
}

TEST(VirtualPads, ReplugComesBackUnderAnotherNode)
{
    virtual_device pad;
    const std::string missing = plug(&pad, switch_pro_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const std::string old_node = pad.node;
    ASSERT_EQ(replug(&pad, switch_pro_pad), "");
    EXPECT_NE(pad.node, old_node);
    expect_reads_as(pad.node, switch_pro_pad);
    // The stand-in that took the old number is gone again.
    EXPECT_TRUE(wait_for([&] { return !file_exists(old_node); }));
}

} // namespace
