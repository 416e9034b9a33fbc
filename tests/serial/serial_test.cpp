// The serial library's builds through caller programs on pseudo-terminals whose master the test plays.
#include "faults.h"
#include "sockets.h"
#include "terminals.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <termios.h>

#include <fstream>
#include <regex>

using namespace testsupport;

namespace {

const std::string kReady = "start\nReady to start parsing!\n";

// The other language's caller reaches the build through the header's macros.
struct Build {
    const char* name;
    const char* caller;
    const char* other_language;
};

void PrintTo(const Build& b, std::ostream* os) { *os << b.name; }

const Build kBuilds[] = {{"serial", SERIAL_CALLER_BIN, SERIAL_CALLER_CXX_BIN},
                         {"serial_mangled", SERIAL_MANGLED_CALLER_BIN, SERIAL_MANGLED_CALLER_C_BIN}};

std::string nonzero_bytes(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += static_cast<char>(1 + (i * 37) % 255);
    return s;
}

class SerialLib : public ::testing::TestWithParam<Build> {};

}  // namespace

TEST_P(SerialLib, ConfigureRecordsTheDeviceAndSetsRawNineSixHundredOrEndsWith255AndSendDataWritesTheBytes)
{
    std::string cc;  // the control characters: all 0 but VMIN
    for (int i = 0; i < NCCS; i++)
        cc += i == VMIN ? "1," : "0,";
    for (const char* caller : {GetParam().caller, GetParam().other_language}) {
        SCOPED_TRACE(caller);
        Pty pty = open_pty(false);  // the test keeps the slave open: its settings outlive the caller
        const std::string found = terminal_settings(pty.slave.get());
        ASSERT_EQ(::flock(pty.slave.get(), LOCK_EX | LOCK_NB), 0);
        for (const std::string& device : {std::string("/nonexistent/ttyX9"), pty.slave_path}) {
            Process refused = Process::start({caller, "config", device});
            expect_exit(refused, 255, device + " open error\n", "");
        }
        ASSERT_EQ(::flock(pty.slave.get(), LOCK_UN), 0);

        Process p = Process::start({caller, "config", pty.slave_path});
        ASSERT_EQ(p.wait_exit_code(timeout()), 0) << p.errors();
        const std::regex config(kReady + R"(fd=(\d+) poll_fd=\1 events=9 revents=0 flags=0x802 dev0=/dev/ttyUSB0\n)" +
                                "cflag=0x8bd iflag=0 oflag=0 lflag=0 ospeed=0xd cc=" + cc + "\n");
        EXPECT_TRUE(std::regex_match(p.output(), config)) << p.output();
        EXPECT_EQ(terminal_settings(pty.slave.get()), found);

        Pty link = open_pty(true);
        Process sender = Process::start({caller, "send", link.slave_path, "hello, device"});
        const std::string want("hello, device\0", 14);
        EXPECT_EQ(read_until(link.master.get(), want.size(), after(timeout())), want);
        EXPECT_EQ(sender.wait_exit_code(timeout()), 0);
        EXPECT_EQ(sender.output(), kReady);
    }
}

// A gone device or one at end of file is reported on every poll: extra polls fail through the fault library.
TEST_P(SerialLib, RecvPrintsExactlyEachReadsOwnBytesUpToAZeroAndEndsWithoutSpinning)
{
    TempDir dir;
    const std::string empty = dir.file("empty");
    std::ofstream(empty).flush();
    const struct {
        std::string what;
        std::vector<std::string> writes;  // each waits until the one before is printed
        std::string printed;
    } cases[] = {
        {"silent", {}, ""}, {"/dev/null", {}, ""}, {"empty file", {}, ""},
        {"hung up", {}, ""}, {"closed", {}, ""}, {"orphan", {}, ""},
        {"a full buffer", {nonzero_bytes(32)}, nonzero_bytes(32)},
        {"more than a buffer", {nonzero_bytes(50)}, nonzero_bytes(50)},
        {"a shorter read after a longer one", {"0123456789", "abcd"}, "0123456789abcd"},
        {"a zero byte", {std::string("abc\0def", 7)}, "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pty pty = open_pty(true);
        const std::string device = c.what == "/dev/null" ? c.what : c.what == "empty file" ? empty : pty.slave_path;
        const std::string scenario = c.what == "closed" || c.what == "orphan" ? c.what : "recv";
        const bool gone = scenario != "recv" || c.what == "hung up";
        Injection extra_poll(Fault{"poll", gone ? 2 : 1000, 1, "EINTR"});
        Process p = Process::start({GetParam().caller, scenario, device}, extra_poll.options());
        std::string sent;
        for (const std::string& w : c.writes) {
            ASSERT_TRUE(p.read_until(kReady + sent, timeout())) << p.output();
            ASSERT_TRUE(write_all(pty.master.get(), w));
            sent += w;
        }
        if (c.what == "hung up") {
            ASSERT_TRUE(p.read_until(kReady, timeout())) << p.output();
            pty.master.reset();  // hangs the slave up
        }
        EXPECT_EQ(p.wait_exit_code(timeout()), 0) << p.output() << p.errors();
        EXPECT_EQ(p.errors(), "");
        std::smatch m;  // the text received, and the time recv_data took
        if (!std::regex_match(p.output(), m, std::regex(kReady + R"(([\s\S]*)\|end ms=(\d+) revents=\w+\n)"))) {
            ADD_FAILURE() << "unexpected output: " << p.output();
            continue;
        }
        EXPECT_EQ(m[1].str(), c.printed);
        EXPECT_EQ(extra_poll.hits(), 0) << "polled on and on";
        if (!gone) {
            EXPECT_GE(std::stol(m[2]), 900) << "ended before its second without input";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, SerialLib, ::testing::ValuesIn(kBuilds),
                         [](const ::testing::TestParamInfo<Build>& i) { return std::string(i.param.name); });
