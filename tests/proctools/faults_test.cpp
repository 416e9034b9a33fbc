// The process tools with failing forks, vforks and opens. (Failing writes:
// see the FIFO reader tests.)
#include "faults.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testsupport;

// A failing fork ends each tool before it does anything else. The reapers
// (before any count) and the FIFO readers report it with perror and end with
// 255; spawnls, whose vfork fails, ends silently with 0. A FIFO reader whose
// open of the FIFO fails reports it with the FIFO's name and ends with 255.
TEST(StartFails, EachToolEndsAtOnce)
{
    const std::string reaper = std::string("fork() : ") + std::strerror(EAGAIN) + "\n";
    const std::string reader = std::string("fork(): ") + std::strerror(ENOMEM) + "\n";
    const struct { std::vector<const char*> bins; Fault fault; int status; std::string err; } cases[] = {
        {{REAPALL_BIN, REAPFAST_BIN, REAPBLOCK_BIN, CHILDNOTE_BIN}, {"fork", 1, 1, "EAGAIN"}, 255, reaper},
        {{FIFOTAP_BIN, FIFOKBD_BIN}, {"fork", 1, 1, "ENOMEM"}, 255, reader},
        {{FIFOTAP_BIN, FIFOKBD_BIN}, {"open", 1, 1, "EACCES"}, 255, std::string("myfifo: ") + std::strerror(EACCES) + "\n"},
        {{SPAWNLS_BIN}, {"vfork", 1, 1, "EAGAIN"}, 0, ""},
    };
    for (const auto& c : cases) {
        for (const char* bin : c.bins) {
            SCOPED_TRACE(std::string(bin) + ", failing " + c.fault.call);
            FifoDir f;  // the FIFO readers need their FIFO; the others ignore it
            Injection fault(c.fault);
            Process p = Process::start({bin}, fault.options(f.options({})));
            expect_exit(p, c.status, "", c.err);
            EXPECT_EQ(fault.hits(), 1);
        }
    }
}
