// Black-box tests of the input time-out tool. Each waits out one ten-second
// alarm, the only way the program ends on its own.
#include "testsupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

// Bound for the ten-second alarm; a limit, never a pause.
milliseconds alarm_bound() { return timeout(milliseconds(20000)); }

}  // namespace

TEST(Coinalarm, EchoesEachLineThenRemindsAfterTenSilentSeconds)
{
    Process p = Process::start({COINALARM_BIN}, on_pty());
    write_all(p.in(), "abc\n");
    ASSERT_TRUE(p.wait_output("Insert abc\r\nAfter\r\n", timeout())) << p.output();
    write_all(p.in(), "\n");
    ASSERT_TRUE(p.wait_output("Insert \r\nAfter\r\n", timeout())) << p.output();

    // Typed without Enter, a line does not complete the read.
    Deadline silent_from = Clock::now();
    write_all(p.in(), "xy");
    EXPECT_EQ(p.wait_exit_code(alarm_bound()), 0);
    EXPECT_GE(Clock::now() - silent_from, milliseconds(9000)) << "the alarm came early";
    EXPECT_EQ(strip_cr(p.output()), "Insert abc\nAfter\nInsert \nAfter\nYou must insert coin\n");
}

// A pipe gives up to 1024 bytes a read, each read printed without its last
// byte. At its end the input is over for good: "After" once (not again and
// again), then the reminder.
TEST(Coinalarm, PipeInputIsReadInBlocksEachWithoutItsLastByte)
{
    Process p = Process::start({COINALARM_BIN});
    write_all(p.in(), std::string(1030, 'x'));
    ASSERT_TRUE(wait_for(
        p, [](const std::vector<std::string>& ls) { return ls.size() >= 4; }, timeout()))
        << p.output();
    p.close_input();
    EXPECT_EQ(p.wait_exit_code(alarm_bound()), 0);
    EXPECT_EQ(p.output(), "Insert " + std::string(1023, 'x') + "\nAfter\nInsert xxxxx\nAfter\nAfter\n" +
                              "You must insert coin\n");
}

// Lines that cannot be written are not a success: the reminder's exit
// reports the write error.
TEST(Coinalarm, OutputThatCannotBeWrittenEndsWithAWriteError)
{
    SpawnOptions o;
    o.stdout_file = "/dev/full";
    Process p = Process::start({COINALARM_BIN}, o);
    p.close_input();
    EXPECT_EQ(p.wait_exit_code(alarm_bound()), 1);
    EXPECT_EQ(p.errors(), "write error: No space left on device\n");
}
