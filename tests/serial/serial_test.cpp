// Tests of the serial helper library's behaviour. Each case runs a caller
// program (linked against one build) against a fresh pseudo-terminal whose
// master end the test plays; the same cases run against both builds.
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

// A build and its two callers: one in the build's own language, and one in
// the other that reaches it through the header's macros.
struct Build {
    const char* name;
    const char* caller;
    const char* other_language;
};

// Names the build in test listings instead of dumping the record.
void PrintTo(const Build& b, std::ostream* os) { *os << b.name; }

const Build kBuilds[] = {{"serial", SERIAL_CALLER_BIN, SERIAL_CALLER_CXX_BIN},
                         {"serial_mangled", SERIAL_MANGLED_CALLER_BIN, SERIAL_MANGLED_CALLER_C_BIN}};

// 'n' bytes, none of them zero, spread over the whole range of byte values.
std::string nonzero_bytes(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += static_cast<char>(1 + (i * 37) % 255);
    return s;
}

class SerialLib : public ::testing::TestWithParam<Build> {};

}  // namespace

// Each caller of the build, the one in the other language included: the
// header's macros make every function name resolve and show dev0 in the
// build's form. A device that cannot be opened, or that another program
// holds (here the test, through its own descriptor), ends the caller with
// its path. The settings applied are the caller's to see: close_dev puts
// back those it found (a fresh pseudo-terminal's: canonical, echo, 38400
// baud) and lets go of the device.
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
        // The descriptor it returned is the one it polls; the settings are
        // the control, input, output and local modes, the rate and the
        // control characters.
        const std::regex config(kReady + R"(fd=(\d+) poll_fd=\1 events=9 revents=0 flags=0x802 dev0=/dev/ttyUSB0\n)" +
                                "cflag=0x8bd iflag=0 oflag=0 lflag=0 ospeed=0xd cc=" + cc + "\n");
        EXPECT_TRUE(std::regex_match(p.output(), config)) << p.output();
        EXPECT_EQ(terminal_settings(pty.slave.get()), found);

        // send_data writes the bytes to the device.
        Pty link = open_pty(true);
        Process sender = Process::start({caller, "send", link.slave_path, "hello, device"});
        const std::string want("hello, device\0", 14);
        EXPECT_EQ(read_until(link.master.get(), want.size(), after(timeout())), want);
        EXPECT_EQ(sender.wait_exit_code(timeout()), 0);
        EXPECT_EQ(sender.output(), kReady);
    }
}

// recv_data prints each read's own bytes only, up to a zero byte if it holds
// one. A read that fills the 32-byte buffer leaves no terminator in it:
// nothing beyond the buffer may be printed; a shorter read after a longer one
// must not print the rest of the longer one. A silent line gives no input;
// neither does a device at end of file, which is readable on every poll but
// gives nothing: recv_data returns after a second without input. A hung-up
// or closed device, or a pseudo-terminal master whose slave has gone (a
// hang-up alone, with no error and nothing to read), reports its condition
// again on every poll: recv_data must end after that one poll (a second one
// fails through the fault library, and is counted) instead of polling on and
// on. The CPU time is bounded generously: a busy loop until any time limit
// would blow it.
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
        Injection second_poll(Fault{"poll", 2, 1, "EINTR"});
        Process p = Process::start({GetParam().caller, scenario, device}, gone ? second_poll.options() : SpawnOptions());
        std::string sent;
        for (const std::string& w : c.writes) {
            // Once the device is configured (the two lines) and the write before printed.
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
        std::smatch m;  // the text received, and the wall and processor time recv_data took
        if (!std::regex_match(p.output(), m, std::regex(kReady + R"(([\s\S]*)\|end ms=(\d+) cpu_ms=(\d+)\n)"))) {
            ADD_FAILURE() << "unexpected output: " << p.output();
            continue;
        }
        EXPECT_EQ(m[1].str(), c.printed);
        EXPECT_LT(std::stol(m[3]), 300) << "processor time";
        if (gone) {
            EXPECT_EQ(second_poll.hits(), 0) << "polled again once the device was gone";
        } else {
            EXPECT_GE(std::stol(m[2]), 900) << "wall time";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, SerialLib, ::testing::ValuesIn(kBuilds),
                         [](const ::testing::TestParamInfo<Build>& i) { return std::string(i.param.name); });

// The device exists (a pseudo-terminal), so only the injected fault makes
// the open fail: the library reports the path on standard output and ends
// the calling process with status 255, whichever build it is.
TEST(SerialOpenFails, ThePathIsReportedAndTheCallerEndsWith255)
{
    for (const Build& b : kBuilds) {
        SCOPED_TRACE(b.name);
        Pty pty = open_pty(true);
        ASSERT_TRUE(pty.master);
        Injection fault(Fault{"open", 1, 1, "EBUSY"});
        Process p = Process::start({b.caller, "config", pty.slave_path}, fault.options());
        expect_exit(p, 255, pty.slave_path + " open error\n", "");
        EXPECT_EQ(fault.hits(), 1);
    }
}
