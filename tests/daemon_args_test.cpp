// The daemon's argument errors: exact message, status 1, nothing else written.
#include "support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const std::string usage = "\nUsage: tabrin [-t secs] [-r [1234] \"cmd\"]\n"
                          "Runs command when two joystick buttons are pressed,\n"
                          "See man page tabrin(1) for details\n";

struct refusal {
    std::vector<std::string> args;
    std::string message;
};

const std::vector<refusal> refusals = {
    {{}, usage},
    {{"-d"}, "No command to execute\n"},
    {{"-debug", "-p", "10"}, "No command to execute\n"},
    {{"-r", "12", "a", "-r", "21", "b"}, "There already is an action for this button combination\n"},
    {{"-r", "12"}, "Not enough parameters for option\n"},
    {{"-r"}, "Not enough parameters for option\n"},
    {{"-r", "1", "x", "-p"}, "Not enough parameters for option\n"},
    {{"-r", "1", "x", "-j"}, "Not enough parameters for option\n"},
    {{"-r", "1", "x", "-l"}, "Not enough parameters for option\n"},
    {{"-r", "", "cmd"}, "Empty button list\n"},
    {{"-h", "", "500", "cmd"}, "Empty button list\n"},
    {{"-i", "", "-r", "1", "x"}, "Empty button list\n"},
    {{"-r", "5", "cmd"}, "Wrong button number specified, must be in range 1..4\n"},
    {{"-r", "0", "cmd"}, "Wrong button number specified, must be in range 1..4\n"},
    {{"-i", "1a", "-r", "1", "x"}, "Wrong button number specified, must be in range 1..4\n"},
    {{"-r", "11", "cmd"}, "Button already specified within button list\n"},
    {{"-r", "1", "x", "-p", "0"}, "Time out of range\n"},
    {{"-r", "1", "x", "-p", "60001"}, "Time out of range\n"},
    {{"-r", "1", "x", "-w", "abc"}, "Time out of range\n"},
    {{"-r", "1", "x", "-w", "-5"}, "Time out of range\n"},
    {{"-r", "1", "x", "-p", "99999999999999999999"}, "Time out of range\n"},
    {{"-r", "1", "x", "-p", "-d"}, "Time out of range\n"},
    {{"-r", "12", "xterm", "top"}, usage},
    {{"-r", "12", "xterm", "-e", "top"}, usage},
    {{"-t", "5"}, usage},
    {{"-D", "-r", "1", "x"}, usage},
    {{"-", "-r", "1", "x"}, usage},
    {{"-b", "BTN_START"}, "No command to execute\n"},
    {{"-r", "1", "x", "-b"}, "Not enough parameters for option\n"},
    {{"-b", "", "-r", "1", "x"}, "Wrong button name specified: \n"},
    {{"-b", "BTN_SELECT,", "-r", "1", "x"}, "Wrong button name specified: \n"},
    {{"-b", "BTN_SELECT,,BTN_START", "-r", "1", "x"}, "Wrong button name specified: \n"},
    {{"-b", "btn_start", "-r", "1", "x"}, "Wrong button name specified: btn_start\n"},
    {{"-b", "BTN_SELECT BTN_START", "-r", "1", "x"}, "Wrong button name specified: BTN_SELECT BTN_START\n"},
    {{"-b", "KEY_A,KEY_B,KEY_C,KEY_D,KEY_E", "-r", "1", "x"}, "Wrong button name specified: KEY_E\n"},
    {{"-b", "KEY_MAX", "-r", "1", "x"}, "Wrong button name specified: KEY_MAX\n"},
    {{"-b", "0", "-r", "1", "x"}, "Wrong button name specified: 0\n"},
    {{"-b", "BTN_SELECT", "-b", "BTN_NOPE", "-r", "1", "x"}, "Wrong button name specified: BTN_NOPE\n"},
    {{"-b", "BTN_A,BTN_SOUTH", "-r", "1", "x"}, "Button already specified within button list\n"},
    // Standard names are for lists; -b names the kernel's keys.
    {{"-b", "back,start", "-r", "1", "x"}, "Wrong button name specified: back\n"},
    {{"-r", "back+back", "x"}, "Button already specified within button list\n"},
    {{"-r", "Back+start", "x"}, "Wrong button name specified: Back\n"},
    {{"-r", "leftx+a", "x"}, "Wrong button name specified: leftx\n"},
    {{"-r", "leftx++", "x"}, "Wrong button name specified: \n"},
    {{"-r", "a+leftx+", "x", "-r", "leftx++a", "y"}, "There already is an action for this button combination\n"},
    {{"-b", "KEY_A,30", "-r", "1", "x"}, "Button already specified within button list\n"},
    {{"-j", "1", "-j", "2", "-j", "3", "-j", "4", "-j", "5", "-j", "6", "-j", "7", "-j", "8", "-j", "9", "-r", "1",
      "x"},
     "Too many joystick devices\n"},
    {{"-r", "1", "x", "-j", "/tmp"}, "Could not open joystick device /tmp: not a port image or a device with a watched button\n"},
    // A repeat is its chord's only run binding; a double press is one beside them.
    {{"-a", "BTN_MODE", "150", "up", "-r", "BTN_MODE", "x"}, "There already is an action for this button combination\n"},
    {{"-h", "BTN_MODE", "900", "off", "-a", "BTN_MODE", "150", "up"},
     "There already is an action for this button combination\n"},
    {{"-a", "12", "150", "up", "-a", "21", "300", "down"}, "There already is an action for this button combination\n"},
    {{"-2", "BTN_MODE", "x", "-2", "BTN_MODE", "y"}, "There already is an action for this button combination\n"},
    {{"-2", "12", "x"}, "A double press needs a list of button names\n"},
    {{"-r", "1", "x", "-z", "0"}, "Time out of range\n"},
    {{"-r", "1", "x", "-z"}, "Not enough parameters for option\n"},
    {{"-a", "BTN_MODE", "0", "up"}, "Time out of range\n"},
    {{"-a", "BTN_MODE", "150"}, "Not enough parameters for option\n"},
    {{"-2", "BTN_MODE"}, "Not enough parameters for option\n"},
    {{"-2", "BTN_MODE", "x", "-a", "BTN_MODE", "150", "y", "-r", "BTN_MODE+BTN_START", "z", "-j", "/tmp"},
     "Could not open joystick device /tmp: not a port image or a device with a watched button\n"},
    // Commands as long as the kernel passes move out of the argument vector whole.
    {{"-r", "1", std::string(131071, 'a'), "-r", "2", std::string(131071, 'b'), "-j", "/tmp"},
     "Could not open joystick device /tmp: not a port image or a device with a watched button\n"},
};

TEST(DaemonArguments, EachErrorGivesItsMessageAndStatusOne)
{
    for (const auto &[args, message] : refusals) {
        std::vector<std::string> command = {TABRIN};
        command.insert(command.end(), args.begin(), args.end());
        const auto result = run(command);
        std::string shown;
        for (const auto &word : args)
            shown += " [" + word + "]";
        EXPECT_EQ(result.status, 1) << shown;
        EXPECT_EQ(result.err, message) << shown;
        EXPECT_EQ(result.out, "") << shown;
    }
}

TEST(DaemonArguments, GamePortNeedsRootRights)
{
    if (running_as_root())
        GTEST_SKIP() << "as root the game port may open and the daemon would run";
    const auto result = run({TABRIN, "-r", "1", "x"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Could not get permission to read from joystick port\n");
}

TEST(DaemonArguments, FifoAsPortImageIsRefusedWithoutHanging)
{
    temp_dir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    const auto result = run({TABRIN, "-r", "1", "x", "-j", dir / "fifo"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Could not open joystick device " + dir / "fifo" + ": not a port image or a device with a watched button\n");
}

} // namespace
