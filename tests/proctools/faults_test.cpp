// The process tools with failing forks, vforks and opens, or without their
// FIFO. (Failing writes: see the FIFO reader tests.)
#include "testsupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>

using namespace testsupport;

namespace {

// Runs a program that must end at once with the given status, printing
// nothing on standard output and err on standard error.
void expect_ends(Process& p, int status, const std::string& err)
{
    EXPECT_EQ(p.wait_exit_code(timeout()), status);
    EXPECT_EQ(p.output(), "");
    EXPECT_EQ(p.errors(), err);
}

}  // namespace

// A failing fork ends each tool before it does anything else. The reapers
// (before any count) and the FIFO readers report it with perror and end with
// 255; spawnls, whose vfork fails, ends silently with 0.
TEST(ForkFails, EachToolEndsAtOnce)
{
    const std::string reaper = std::string("fork() : ") + std::strerror(EAGAIN) + "\n";
    const std::string reader = std::string("fork(): ") + std::strerror(ENOMEM) + "\n";
    const struct {
        std::vector<const char*> bins;
        Fault fault;
        int status;
        std::string err;
    } cases[] = {
        {{REAPALL_BIN, REAPFAST_BIN, REAPBLOCK_BIN, CHILDNOTE_BIN}, {"fork", 1, 1, "EAGAIN"}, 255, reaper},
        {{FIFOTAP_BIN, FIFOKBD_BIN}, {"fork", 1, 1, "ENOMEM"}, 255, reader},
        {{SPAWNLS_BIN}, {"vfork", 1, 1, "EAGAIN"}, 0, ""},
    };
    for (const auto& c : cases) {
        for (const char* bin : c.bins) {
            SCOPED_TRACE(bin);
            FifoDir f;  // the FIFO readers need their FIFO; the others ignore it
            Injection fault(c.fault);
            Process p = Process::start({bin}, fault.options(f.options({})));
            expect_ends(p, c.status, c.err);
            EXPECT_EQ(fault.hits(), 1);
        }
    }
}

// Whatever else keeps a FIFO reader from reading ends it at once: the reason
// on standard error, nothing on standard output, status 255.
TEST(FifoReaderFaults, FailureBeforeReadingIsReportedAndEndsWith255)
{
    const struct {
        const char* myfifo;  // nullptr keeps the FIFO; else it goes, and text makes a plain file in its place
        std::optional<Fault> fault;
        std::string error;
    } cases[] = {
        {"", {}, "myfifo: No such file or directory"},
        {"not a fifo\n", {}, "myfifo: not a FIFO"},
        {nullptr, Fault{"open", 1, 1, "EACCES"}, std::string("myfifo: ") + std::strerror(EACCES)},
    };
    for (const char* bin : {FIFOTAP_BIN, FIFOKBD_BIN}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(bin) + ": " + c.error);
            FifoDir f;
            if (c.myfifo) {
                ::unlink(f.dir.file("myfifo").c_str());
                if (*c.myfifo)
                    std::ofstream(f.dir.file("myfifo")) << c.myfifo;
            }
            std::optional<Injection> fault;
            if (c.fault)
                fault.emplace(*c.fault);
            Process p = Process::start({bin}, fault ? fault->options(f.options({})) : f.options({}));
            expect_ends(p, 255, c.error + "\n");
            if (fault) {
                EXPECT_EQ(fault->hits(), 1);
            }
        }
    }
}
