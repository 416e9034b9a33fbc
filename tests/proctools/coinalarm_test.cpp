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
    // The end-of-input key: "After" alone, and the terminal is read again.
    write_all(p.in(), "\x04", 1);
    ASSERT_TRUE(p.wait_output("Insert \r\nAfter\r\nAfter\r\n", timeout())) << p.output();

    // Typed without Enter, a line does not complete the read.
    Deadline silent_from = Clock::now();
    write_all(p.in(), "xy");
    EXPECT_EQ(p.wait_exit_code(alarm_bound()), 0);
    EXPECT_GE(Clock::now() - silent_from, milliseconds(9000)) << "the alarm came early";
    EXPECT_EQ(strip_cr(p.output()), "Insert abc\nAfter\nInsert \nAfter\nAfter\nYou must insert coin\n");
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

// A terminal that hangs up (its input, not the controlling terminal) gives
// end of file at once to every read: that ends the input as the end of a
// file does, with one "After", and the alarm's reminder follows. The program
// neither prints nor uses the processor meanwhile.
TEST(Coinalarm, HungUpTerminalEndsTheInputAsTheEndOfAFileDoes)
{
    Pty t = open_pty(false);
    SpawnOptions o;
    o.stdin_file = t.slave_path;
    Process p = Process::start({COINALARM_BIN}, o);
    write_all(t.master.get(), "abc\n");
    ASSERT_TRUE(p.wait_output("Insert abc\nAfter\n", timeout())) << p.output();
    const std::string why = hang_up(t.slave.get());
    if (!why.empty())
        GTEST_SKIP() << why;
    ASSERT_TRUE(p.wait_output("After\nAfter\n", timeout())) << p.output();
    const long ticks = cpu_ticks(p.pid());
    EXPECT_FALSE(p.wait_output("\x01", milliseconds(1000)));
    ASSERT_EQ(count_lines(p.output(), "After"), 2) << "After again and again";
    EXPECT_LE(cpu_ticks(p.pid()) - ticks, 10) << "busy after the hang-up";
    EXPECT_EQ(p.wait_exit_code(alarm_bound()), 0);
    EXPECT_EQ(p.output(), "Insert abc\nAfter\nAfter\nYou must insert coin\n");
    EXPECT_EQ(p.errors(), "");
}

// A read that fails (input that is a directory) and lines that cannot be
// written are not a success: either is reported on standard error and the
// reminder's exit has status 1. Both wait out their alarms side by side.
TEST(Coinalarm, ReadAndWriteErrorsAreReportedAndEndWithStatus1)
{
    const struct {
        const char* what;
        std::string in, out;
        std::string output, errors;
    } cases[] = {
        {"input a directory", "/", "", "After\nYou must insert coin\n", "read error: Is a directory\n"},
        {"output a full disk", "", "/dev/full", "", "write error: No space left on device\n"},
    };
    std::vector<Process> runs;
    for (const auto& c : cases) {
        SpawnOptions o;
        o.stdin_file = c.in;
        o.stdout_file = c.out;
        runs.push_back(Process::start({COINALARM_BIN}, o));
        runs.back().close_input();
    }
    for (size_t i = 0; i < runs.size(); i++) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(runs[i].wait_exit_code(alarm_bound()), 1);
        EXPECT_EQ(runs[i].output(), cases[i].output);
        EXPECT_EQ(runs[i].errors(), cases[i].errors);
    }
}
