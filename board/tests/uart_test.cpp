// What only a real UART shows: the serial channel and the serial helper
// library on the board's ports, through the kernel's drivers (the 16550A's
// 8250, a USB adapter's ftdi_sio). Each pair is two ports joined to each
// other outside the board, so what one sends the other receives: UART_A and
// UART_B, or the pairs TOOLSET_UART_PAIRS names ("A,B A,B ...", as the
// emulated board's 16550A and USB pairs), or TOOLSET_UART_A and
// TOOLSET_UART_B on a real board. And the cable pulled from a USB adapter,
// which board/tests/cable_pull.sh does. Built for the board preset only.
#include "portwire/serial_rxtx.h"
#include "sockets.h"
#include "terminals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;
using orv::hal::serial_rxtx;

namespace {

const char* port_path(const char* variable, const char* built_in)
{
    const char* path = std::getenv(variable);
    return path && *path ? path : built_in;
}

struct Pair {
    std::string a, b;
};

std::vector<Pair> pairs()
{
    std::vector<Pair> all;
    std::istringstream list(port_path("TOOLSET_UART_PAIRS", ""));
    for (std::string item; list >> item;)
        if (const size_t comma = item.find(','); comma != std::string::npos)
            all.push_back({item.substr(0, comma), item.substr(comma + 1)});
    if (all.empty())
        all.push_back({port_path("TOOLSET_UART_A", UART_A), port_path("TOOLSET_UART_B", UART_B)});
    return all;
}

// A pair's name in the results: its devices' own names, as ttyUSB1_ttyUSB2
// for two by-path links.
std::string pair_name(const ::testing::TestParamInfo<Pair>& info)
{
    std::string name;
    for (const std::string& path : {info.param.a, info.param.b}) {
        char real[PATH_MAX];
        const std::string dev = ::realpath(path.c_str(), real) ? real : path;
        name += (name.empty() ? "" : "_") + dev.substr(dev.rfind('/') + 1);
    }
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

// The kernel's termios2 record (asm/termbits.h cannot be included next to
// termios.h).
struct LineSettings {
    tcflag_t iflag, oflag, cflag, lflag;
    cc_t line;
    cc_t cc[19];
    speed_t ispeed, ospeed;
};
const unsigned long kTCGETS2 = _IOR('T', 0x2A, LineSettings);
constexpr tcflag_t kBOTHER = 0010000;

// A second descriptor of a port: the settings and modem lines are the
// port's, so they can be read beside the channel's own descriptor.
Fd open_port(const char* path)
{
    Fd fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
    EXPECT_TRUE(fd) << path;
    return fd;
}

int modem_lines(int fd)
{
    int bits = 0;
    EXPECT_EQ(::ioctl(fd, TIOCMGET, &bits), 0);
    return bits;
}

class RealUart : public ::testing::TestWithParam<Pair> {
protected:
    const char* const kUartA = GetParam().a.c_str();
    const char* const kUartB = GetParam().b.c_str();

    void SetUp() override
    {
        peer = open_port(kUartB);
        ASSERT_TRUE(peer);
        ASSERT_TRUE(make_raw(peer.get()));
        ASSERT_EQ(::tcflush(peer.get(), TCIOFLUSH), 0);
        ch = serial_rxtx::CreateRxTx();
    }
    void TearDown() override { serial_rxtx::ReleaseRxTx(ch); }

    void open_channel(std::uint32_t baud)
    {
        ASSERT_EQ(ch->bind(kUartA, baud, 0), 1);
        ASSERT_EQ(ch->open(), 1);
    }

    Fd peer;
    serial_rxtx* ch = nullptr;
};

// The 16550A's clock allows 115200 at most; 31250 is no Bxxx constant and
// goes through the explicit-rate path.
TEST_P(RealUart, ChannelSettingsReadBackFromTheDriverAtStandardAndNonStandardRates)
{
    for (std::uint32_t baud : {115200u, 31250u}) {
        open_channel(baud);
        Fd fd = open_port(kUartA);
        LineSettings held{};
        ASSERT_EQ(::ioctl(fd.get(), kTCGETS2, &held), 0);
        EXPECT_EQ(held.ispeed, baud);
        EXPECT_EQ(held.ospeed, baud);
        if (baud == 31250u) {
            EXPECT_EQ(held.cflag & CBAUD, kBOTHER);
        }
        EXPECT_EQ(held.cflag & (CSIZE | CLOCAL | CREAD), tcflag_t(CS8 | CLOCAL | CREAD));
        EXPECT_EQ(held.cflag & (CRTSCTS | PARENB | CSTOPB), 0u);
        EXPECT_EQ(held.lflag, 0u);
        ch->close();
    }
}

TEST_P(RealUart, DtrIsClearAfterOpenAndFollowsSetAndClearOnTheDriver)
{
    // Every open of a real port raises DTR (a pseudo-terminal has no such
    // line), so the observer opens first and the channel's open must clear it.
    Fd fd = open_port(kUartA);
    EXPECT_EQ(modem_lines(fd.get()) & TIOCM_DTR, TIOCM_DTR);
    open_channel(115200);
    EXPECT_EQ(modem_lines(fd.get()) & TIOCM_DTR, 0);
    ch->setDTR();
    EXPECT_EQ(modem_lines(fd.get()) & TIOCM_DTR, TIOCM_DTR);
    ch->clearDTR();
    EXPECT_EQ(modem_lines(fd.get()) & TIOCM_DTR, 0);
}

TEST_P(RealUart, WaitEndsWhenTheOtherEndSendsAndCancelEndsAWaitWithBytesQueued)
{
    open_channel(115200);
    const std::string msg = "from the far end";
    auto wait = std::async(std::launch::async, [&] {
        std::uint32_t got = 0;
        return ch->waitfordata(msg.size(), timeout().count(), &got);
    });
    ASSERT_TRUE(write_all(peer.get(), msg));
    ASSERT_EQ(wait.get(), serial_rxtx::WAIT_READY);
    std::string in(msg.size(), '\0');
    ASSERT_EQ(ch->recvdata(reinterpret_cast<unsigned char*>(&in[0]), in.size()), std::int32_t(in.size()));
    EXPECT_EQ(in, msg);

    // Fewer bytes than wanted arrive; the cancellation ends the wait early
    // and leaves them queued.
    auto starved = std::async(std::launch::async, [&] {
        std::uint32_t got = 0;
        return ch->waitfordata(64, 60000, &got);
    });
    ASSERT_TRUE(write_all(peer.get(), "abc"));
    const Deadline d = after(timeout());
    while (ch->rxqueue_count() < 3 && mono_ms() < d)
        std::this_thread::sleep_for(milliseconds(10));  // the queue offers nothing to block on
    ASSERT_EQ(ch->rxqueue_count(), 3);
    const Deadline t0 = mono_ms();
    ch->cancelOperation();
    EXPECT_EQ(starved.get(), serial_rxtx::WAIT_TIMEOUT);
    EXPECT_LT(ms_since(t0), timeout().count());
    EXPECT_EQ(ch->rxqueue_count(), 3);

    // The other way round.
    const unsigned char out[] = {'o', 'k'};
    ASSERT_EQ(ch->senddata(out, sizeof out), 2);
    EXPECT_EQ(read_until(peer.get(), 2, after(timeout())), "ok");
}

// The serial helper library's send and receive scenarios across the UART,
// for both builds.
TEST_P(RealUart, SerialLibrarySendsAndReceivesAcrossTheUart)
{
    const std::string ready = "start\nReady to start parsing!\n";
    for (const char* caller : {SERIAL_CALLER_BIN, SERIAL_MANGLED_CALLER_BIN}) {
        Fd far = open_port(kUartB);  // afresh for each build, at the port's own rate
        ASSERT_TRUE(make_raw(far.get()));
        ASSERT_EQ(::tcflush(far.get(), TCIOFLUSH), 0);

        Process send = Process::start({caller, "send", kUartA, "hello, device"});
        const std::string want("hello, device\0", 14);
        EXPECT_EQ(read_until(far.get(), want.size(), after(timeout())), want) << caller;
        EXPECT_EQ(send.wait_exit_code(timeout()), 0) << caller;

        // The library sets 9600 baud on the port; the peer follows.
        termios t{};
        ASSERT_EQ(::tcgetattr(far.get(), &t), 0);
        ::cfsetspeed(&t, B9600);
        ASSERT_EQ(::tcsetattr(far.get(), TCSANOW, &t), 0);
        Process recv = Process::start({caller, "recv", kUartA});
        ASSERT_TRUE(recv.read_until(ready, timeout())) << caller << ": " << recv.output() << recv.errors();
        ASSERT_TRUE(write_all(far.get(), "ping"));
        EXPECT_TRUE(recv.read_until("ping", timeout())) << caller << ": " << recv.output();
        EXPECT_EQ(recv.wait_exit_code(timeout()), 0) << caller << ": " << recv.errors();
    }
}

INSTANTIATE_TEST_SUITE_P(Pairs, RealUart, ::testing::ValuesIn(pairs()), pair_name);

// The cable pulled from a USB adapter while a program waits on it, and
// plugged back: board/tests/cable_pull.sh runs these cases with
// TOOLSET_PULL_PORT naming the adapter's port, pulls the adapter when a case
// prints "PULL" and plugs it back when it prints "PLUG". The installed suite
// leaves them out.
class UartCablePull : public ::testing::Test {
protected:
    const char* const port = std::getenv("TOOLSET_PULL_PORT");

    void SetUp() override
    {
        if (port == nullptr)
            GTEST_SKIP() << "board/tests/cable_pull.sh runs this case";
        ASSERT_TRUE(poll_until([&] { return ::access(port, F_OK) == 0; }, after(timeout()))) << port;
    }
    // Asks for the pull or the plug and waits until the port is gone or back
    // under its name.
    void ask(const char* what, bool back)
    {
        std::cout << what << std::endl;
        EXPECT_TRUE(poll_until([&] { return (::access(port, F_OK) == 0) == back; }, after(timeout())))
            << port << (back ? " is not back" : " is still there");
    }
};

// A wait ends at once with WAIT_FAILED, a second one too (not a time-out);
// reads and writes give their failure values, no byte is reported, nothing
// spins; the channel closes, and opens again on the path once it is back.
TEST_F(UartCablePull, AWaitingChannelFailsAtOnceAndOpensAgainOnceTheAdapterIsBack)
{
    serial_rxtx* ch = serial_rxtx::CreateRxTx();
    ASSERT_EQ(ch->bind(port, 115200, 0), 1);
    ASSERT_EQ(ch->open(), 1);
    const long ticks = cpu_ticks(::getpid());
    auto waiting = std::async(std::launch::async, [&] {
        std::uint32_t got = 99;
        const std::int32_t r = ch->waitfordata(1, 60000, &got);
        return std::make_pair(r, got);
    });
    ask("PULL", false);
    ASSERT_EQ(waiting.wait_for(timeout()), std::future_status::ready) << "the wait did not end with the cable";
    EXPECT_EQ(waiting.get(), std::make_pair(serial_rxtx::WAIT_FAILED, 0u));
    std::uint32_t got = 99;
    EXPECT_EQ(ch->waitfordata(1, 2000, &got), serial_rxtx::WAIT_FAILED);
    unsigned char bytes[8] = {};
    EXPECT_EQ(ch->recvdata(bytes, sizeof bytes), 0);
    EXPECT_EQ(ch->senddata(bytes, sizeof bytes), 0);
    EXPECT_EQ(ch->rxqueue_count(), 0);
    EXPECT_LT(cpu_ticks(::getpid()) - ticks, 50) << "clock ticks while the cable was out";
    ch->close();
    ask("PLUG", true);
    EXPECT_EQ(ch->open(), 1);
    serial_rxtx::ReleaseRxTx(ch);
}

// The library's wait returns as soon as the cable is out, well before its
// one second without input, and its send and close after that do not hang.
TEST_F(UartCablePull, TheLibrarysWaitEndsAtOnceAndItsSendAndCloseDoNotHang)
{
    Process recv = Process::start({SERIAL_CALLER_BIN, "recv", port, "after the pull"});
    ASSERT_TRUE(recv.read_until("Ready to start parsing!\n", timeout())) << recv.output() << recv.errors();
    ask("PULL", false);
    EXPECT_EQ(recv.wait_exit_code(timeout()), 0) << recv.errors();
    long ms = -1, cpu_ms = -1;
    const size_t end = recv.output().find("|end ");
    ASSERT_NE(end, std::string::npos) << recv.output();
    ASSERT_EQ(std::sscanf(recv.output().c_str() + end, "|end ms=%ld cpu_ms=%ld", &ms, &cpu_ms), 2);
    EXPECT_LT(ms, 1000) << "the wait ran out its time instead of ending with the cable";
    EXPECT_LT(cpu_ms, 500);
    ask("PLUG", true);
}

}  // namespace
