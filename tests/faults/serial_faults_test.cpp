// The serial helper library's callers with a failing open.
#include "faults.h"

#include <gtest/gtest.h>

using namespace faults;

// The device exists (a pseudo-terminal), so only the injected fault makes
// the open fail: the library reports the path on standard output and ends
// the calling process with status 255, whichever build it is.
TEST(SerialOpenFails, ThePathIsReportedAndTheCallerEndsWith255)
{
    for (const char* caller : {SERIAL_CALLER_BIN, SERIAL_MANGLED_CALLER_BIN}) {
        SCOPED_TRACE(caller);
        Pty pty = open_pty(true);
        ASSERT_TRUE(pty.master);
        Injection fault(Fault{"open", 1, 1, "EBUSY"});
        Process p = Process::start({caller, "config", pty.slave_path}, fault.options());
        EXPECT_EQ(p.wait_exit_code(timeout()), 255);
        EXPECT_EQ(p.output(), pty.slave_path + " open error\n");
        EXPECT_EQ(p.errors(), "");
        EXPECT_EQ(fault.hits(), 1);
    }
}
