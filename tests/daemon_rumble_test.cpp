// A pad that can rumble confirms each firing: one effect uploaded when the
// pad is taken, one play when a binding fires, nothing while waiting, and
// the effect stopped and erased with the daemon. These run in the test VM
// (tests/vm/run), as root.
#include "support.h"
#include "virtual_pads.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct DaemonRumble : testing::Test {
    temp_dir dir;
    virtual_device pad;
    rumble_seen seen;

    // The daemon on the pad with -z 150, past its start-up: taking the pad
    // waits for the pad's answer to the upload.
    pid_t start(bool refuse)
    {
        const pid_t pid = spawn({TABRIN, "-z", "150", "-w", "50", "-l", dir / "lock", "-j", pad.node, "-r", "BTN_MODE",
                                 "echo fired >> " + dir / "out"},
                                dir / "err");
        wait_for([&] {
            answer_rumble(&pad, &seen, refuse);
            return lock_holder(dir / "lock") == pid;
        });
        return pid;
    }

    bool fired() { return read_file(dir / "out") == "fired\n"; }
};

TEST_F(DaemonRumble, PadRumblesOnceForEachFiringAndStopsWithTheDaemon)
{
    const std::string missing = plug_rumbling(&pad, xbox_360_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start(false);
    process_guard daemon(pid);
    ASSERT_EQ(seen.uploaded.size(), 1U);
    EXPECT_EQ(seen.uploaded[0].type, FF_RUMBLE);
    EXPECT_EQ(seen.uploaded[0].replay.length, 150);
    EXPECT_TRUE(seen.played.empty());

    press(&pad, {BTN_MODE});
    ASSERT_TRUE(wait_for([&] { return fired(); }));
    ASSERT_TRUE(wait_idle(pid));
    answer_rumble(&pad, &seen);
    ASSERT_EQ(seen.played.size(), 1U);
    EXPECT_EQ(seen.played[0].code, seen.uploaded[0].id);
    EXPECT_EQ(seen.played[0].value, 1);
    // The kernel ends the effect after its length: the daemon adds nothing.
    const long mark = wakeups(pid);
    release(&pad, {BTN_MODE});
    ASSERT_TRUE(wait_handled(pid, mark));
    answer_rumble(&pad, &seen);
    EXPECT_EQ(seen.played.size(), 1U);

    ASSERT_EQ(kill(pid, SIGINT), 0);
    ASSERT_TRUE(wait_for([&] {
        answer_rumble(&pad, &seen);
        return !seen.erased.empty();
    }));
    ASSERT_EQ(seen.played.size(), 2U);
    EXPECT_EQ(seen.played[1].code, seen.uploaded[0].id);
    EXPECT_EQ(seen.played[1].value, 0);
    EXPECT_EQ(seen.erased[0], seen.uploaded[0].id);
    EXPECT_EQ(read_file(dir / "err"), "");
}

// A pad that refuses the effect is used without it.
TEST_F(DaemonRumble, PadThatRefusesTheEffectFiresWithoutIt)
{
    const std::string missing = plug_rumbling(&pad, xbox_360_pad);
    if (!missing.empty())
        GTEST_SKIP() << missing;
    const pid_t pid = start(true);
    process_guard daemon(pid);
    ASSERT_EQ(seen.uploaded.size(), 1U);
    press(&pad, {BTN_MODE});
    ASSERT_TRUE(wait_for([&] { return fired(); }));
    ASSERT_TRUE(wait_idle(pid));
    answer_rumble(&pad, &seen);
    EXPECT_TRUE(seen.played.empty());
    EXPECT_EQ(read_file(dir / "err"), "");
}

} // namespace
