// The process tools with failing forks, vforks, opens and writes, or without their FIFO.
#include "testsupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>

using namespace testsupport;

namespace {

struct Tool {
    const char* name;
    const char* bin;
};

void PrintTo(const Tool& t, std::ostream* os) { *os << t.name; }

std::string tool_name(const ::testing::TestParamInfo<Tool>& i) { return i.param.name; }

// Runs a program that must end at once with the given status and texts.
void expect_ends(Process& p, int status, const std::string& out, const std::string& err)
{
    EXPECT_EQ(p.wait_exit_code(timeout()), status);
    EXPECT_EQ(p.output(), out);
    EXPECT_EQ(p.errors(), err);
}

}  // namespace

class ReaperForkFails : public ::testing::TestWithParam<Tool> {};

TEST_P(ReaperForkFails, PerrorWithForkPrefixAndStatus255BeforeAnyCount)
{
    Injection fault(Fault{"fork", 1, 1, "EAGAIN"});
    Process p = Process::start({GetParam().bin}, fault.options());
    expect_ends(p, 255, "", std::string("fork() : ") + std::strerror(EAGAIN) + "\n");
    EXPECT_EQ(fault.hits(), 1);
}

INSTANTIATE_TEST_SUITE_P(Reapers, ReaperForkFails,
                         ::testing::Values(Tool{"reapall", REAPALL_BIN}, Tool{"reapfast", REAPFAST_BIN},
                                           Tool{"reapblock", REAPBLOCK_BIN}, Tool{"childnote", CHILDNOTE_BIN}),
                         tool_name);

class FifoReaderFaults : public ::testing::TestWithParam<Tool> {};

// Whatever keeps a FIFO reader from reading ends it at once: the reason on
// standard error, nothing on standard output, status 255.
TEST_P(FifoReaderFaults, FailureBeforeReadingIsReportedAndEndsWith255)
{
    const struct {
        const char* myfifo;  // what takes the FIFO's place: nullptr none, "" nothing, else a file's text
        std::optional<Fault> fault;
        std::string error;
    } cases[] = {
        {"", {}, "myfifo: No such file or directory"},
        {"not a fifo\n", {}, "myfifo: not a FIFO"},
        {nullptr, Fault{"fork", 1, 1, "ENOMEM"}, std::string("fork(): ") + std::strerror(ENOMEM)},
        {nullptr, Fault{"open", 1, 1, "EACCES"}, std::string("myfifo: ") + std::strerror(EACCES)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        FifoDir f;
        if (c.myfifo) {
            ::unlink(f.dir.file("myfifo").c_str());
            if (*c.myfifo)
                std::ofstream(f.dir.file("myfifo")) << c.myfifo;
        }
        std::optional<Injection> fault;
        if (c.fault)
            fault.emplace(*c.fault);
        Process p = Process::start({GetParam().bin}, fault ? fault->options(f.options({})) : f.options({}));
        expect_ends(p, 255, "", c.error + "\n");
        if (fault) {
            EXPECT_EQ(fault->hits(), 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, FifoReaderFaults,
                         ::testing::Values(Tool{"fifotap", FIFOTAP_BIN}, Tool{"fifokbd", FIFOKBD_BIN}), tool_name);

// Every write of the tools' line output passes one byte only, or the first
// ones are interrupted: each line still comes out whole, once.
TEST(FifotapWriteFails, ShortAndInterruptedWritesStillGiveWholeLines)
{
    const Fault cases[] = {Fault{"write", 1, 0, "EIO", 1}, Fault{"write", 1, 3, "EINTR"}};
    for (const Fault& fdef : cases) {
        SCOPED_TRACE(fdef.short_len >= 0 ? "one byte a write" : "interrupted writes");
        FifoDir f;
        Injection fault(fdef);
        Process p = Process::start({FIFOTAP_BIN}, fault.options(f.options(SpawnOptions{})));
        std::string expected;
        for (const char* text : {"first line", "second", "third and last"}) {
            // One line at a time: only one of the two readers takes each.
            f.put(text);
            expected += std::string("Pipe: ") + text + "\n";
            ASSERT_TRUE(p.wait_output(expected, timeout())) << p.output();
        }
        EXPECT_EQ(p.output(), expected);
        EXPECT_GE(fault.hits(), 3);
        EXPECT_EQ(p.errors(), "");
    }
}

TEST(SpawnlsVforkFails, NoOutputAndStatus0)
{
    TempDir dir;
    Injection fault(Fault{"vfork", 1, 1, "EAGAIN"});
    SpawnOptions o;
    o.cwd = dir.path();
    Process p = Process::start({SPAWNLS_BIN}, fault.options(o));
    expect_ends(p, 0, "", "");
    EXPECT_EQ(fault.hits(), 1);
}
