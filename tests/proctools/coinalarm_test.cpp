// Black-box test of the input time-out tool. It waits out one ten-second
// alarm, the only way the program ends on its own. (Input that ends, fails
// or hangs up, and output that fails: the hostile matrix.)
#include "sockets.h"

#include <gtest/gtest.h>

using namespace testsupport;

TEST(Coinalarm, EchoesEachLineThenRemindsAfterTenSilentSeconds)
{
    Process p = Process::start({COINALARM_BIN}, on_pty());
    write_all(p.in(), "abc\n");
    ASSERT_TRUE(p.read_until("Insert abc\r\nAfter\r\n", timeout())) << p.output();
    write_all(p.in(), "\n");
    ASSERT_TRUE(p.read_until("Insert \r\nAfter\r\n", timeout())) << p.output();
    // The end-of-input key: "After" alone, and the terminal is read again.
    write_all(p.in(), "\x04", 1);
    ASSERT_TRUE(p.read_until("Insert \r\nAfter\r\nAfter\r\n", timeout())) << p.output();

    // Typed without Enter, a line does not complete the read.
    const Deadline silent_from = mono_ms();
    write_all(p.in(), "xy");
    EXPECT_EQ(p.wait_exit_code(timeout(milliseconds(20000))), 0);  // a bound for the alarm, never a pause
    EXPECT_GE(ms_since(silent_from), 9000) << "the alarm came early";
    EXPECT_EQ(strip_cr(p.output()), "Insert abc\nAfter\nInsert \nAfter\nAfter\nYou must insert coin\n");
}
