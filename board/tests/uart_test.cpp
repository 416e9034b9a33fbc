// Ports joined by a cable (TOOLSET_UART_PAIRS "A,B ...", TOOLSET_UART_A and _B, or UART_A and _B); a pulled one.
#include "portwire/serial_rxtx.h"
#include "sockets.h"
#include "terminals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
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
#include <vector>

using namespace testsupport;
using orv::hal::serial_rxtx;

namespace {

const char* port_path(const char* variable, const char* built_in)
{
    const char* path = std::getenv(variable);
    return path && *path ? path : built_in;
}

using Pair = std::pair<std::string, std::string>;

std::vector<Pair> pairs()
{
    std::vector<Pair> all;
    std::istringstream list(port_path("TOOLSET_UART_PAIRS", ""));
    for (std::string item; list >> item;)
        if (const size_t comma = item.find(','); comma != std::string::npos)
            all.emplace_back(item.substr(0, comma), item.substr(comma + 1));
    if (all.empty())
        all.emplace_back(port_path("TOOLSET_UART_A", UART_A), port_path("TOOLSET_UART_B", UART_B));
    return all;
}

// Its devices' own names, as ttyUSB1_ttyUSB2 for two by-path links.
std::string pair_name(const ::testing::TestParamInfo<Pair>& info)
{
    std::string name;
    for (const std::string& path : {info.param.first, info.param.second}) {
        char real[PATH_MAX];
        const std::string dev = ::realpath(path.c_str(), real) ? real : path;
        name += (name.empty() ? "" : "_") + dev.substr(dev.rfind('/') + 1);
    }
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

// The kernel's termios2 record: asm/termbits.h cannot be included next to termios.h.
struct LineSettings {
    tcflag_t iflag, oflag, cflag, lflag;
    cc_t line;
    cc_t cc[19];
    speed_t ispeed, ospeed;
};
const unsigned long kTCGETS2 = _IOR('T', 0x2A, LineSettings);
constexpr tcflag_t kBOTHER = 0010000;

// A second descriptor, to read the port's settings and modem lines beside the channel.
Fd open_port(const char* path)
{
    Fd fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK));
    EXPECT_TRUE(fd) << path;
    return fd;
}

class RealUart : public ::testing::TestWithParam<Pair> {
protected:
    const char* const kUartA = GetParam().first.c_str();
    const char* const kUartB = GetParam().second.c_str();

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

// 31250 has no Bxxx constant (the explicit-rate path); the 16550A's clock allows 115200 at most.
TEST_P(RealUart, ChannelSettingsReadBackFromTheDriverAtStandardAndNonStandardRates)
{
    for (std::uint32_t baud : {115200u, 31250u}) {
        open_channel(baud);
        Fd fd = open_port(kUartA);
        LineSettings held{};
        ASSERT_EQ(::ioctl(fd.get(), kTCGETS2, &held), 0);
        EXPECT_EQ(std::make_pair(held.ispeed, held.ospeed), std::make_pair(baud, baud));
        if (baud == 31250u) {
            EXPECT_EQ(held.cflag & CBAUD, kBOTHER);
        }
        EXPECT_EQ(held.cflag & (CSIZE | CLOCAL | CREAD | CRTSCTS | PARENB | CSTOPB), tcflag_t(CS8 | CLOCAL | CREAD));
        EXPECT_EQ(held.lflag, 0u);
        ch->close();
    }
}

TEST_P(RealUart, DtrIsClearAfterOpenAndFollowsSetAndClearOnTheDriver)
{
    // Every open of a real port raises DTR, so the channel's open, coming second, must clear it.
    Fd fd = open_port(kUartA);
    auto dtr = [&] {
        int bits = 0;
        EXPECT_EQ(::ioctl(fd.get(), TIOCMGET, &bits), 0);
        return bits & TIOCM_DTR;
    };
    EXPECT_EQ(dtr(), TIOCM_DTR);
    open_channel(115200);
    EXPECT_EQ(dtr(), 0);
    ch->setDTR();
    EXPECT_EQ(dtr(), TIOCM_DTR);
    ch->clearDTR();
    EXPECT_EQ(dtr(), 0);
}

TEST_P(RealUart, WaitEndsWhenTheOtherEndSendsAndCancelEndsAWaitWithBytesQueued)
{
    open_channel(115200);
    const std::string msg = "from the far end";
    auto wait = std::async(std::launch::async, [&] { return ch->waitfordata(msg.size(), timeout().count(), nullptr); });
    ASSERT_TRUE(write_all(peer.get(), msg));
    ASSERT_EQ(wait.get(), serial_rxtx::WAIT_READY);
    std::string in(msg.size(), '\0');
    ASSERT_EQ(ch->recvdata(reinterpret_cast<unsigned char*>(&in[0]), in.size()), std::int32_t(in.size()));
    EXPECT_EQ(in, msg);

    const Deadline own_deadline = after(milliseconds(60000));
    auto starved = std::async(std::launch::async, [&] { return ch->waitfordata(64, 60000, nullptr); });
    ASSERT_TRUE(write_all(peer.get(), "abc"));
    ASSERT_TRUE(poll_until([&] { return ch->rxqueue_count() == 3; }, after(timeout())));
    ch->cancelOperation();
    EXPECT_EQ(starved.get(), serial_rxtx::WAIT_TIMEOUT);
    EXPECT_LT(mono_ms(), own_deadline) << "the wait ran out its time instead of ending with the cancellation";
    EXPECT_EQ(ch->rxqueue_count(), 3);

    const unsigned char out[] = {'o', 'k'};
    ASSERT_EQ(ch->senddata(out, sizeof out), 2);
    EXPECT_EQ(read_until(peer.get(), 2, after(timeout())), "ok");
}

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

// board/tests/cable_pull.sh runs these with TOOLSET_PULL_PORT, pulls the adapter at "PULL", plugs it at "PLUG".
class UartCablePull : public ::testing::Test {
protected:
    const char* const port = std::getenv("TOOLSET_PULL_PORT");

    void SetUp() override
    {
        if (port == nullptr)
            GTEST_SKIP() << "board/tests/cable_pull.sh runs this case";
        ASSERT_TRUE(poll_until([&] { return ::access(port, F_OK) == 0; }, after(timeout()))) << port;
    }
    void ask(const char* what, bool back)
    {
        std::cout << what << std::endl;
        EXPECT_TRUE(poll_until([&] { return (::access(port, F_OK) == 0) == back; }, after(timeout())))
            << port << (back ? " is not back" : " is still there");
    }
};

TEST_F(UartCablePull, AWaitingChannelFailsAtOnceAndOpensAgainOnceTheAdapterIsBack)
{
    serial_rxtx* ch = serial_rxtx::CreateRxTx();
    ASSERT_EQ(ch->bind(port, 115200, 0), 1);
    ASSERT_EQ(ch->open(), 1);
    const Deadline own_deadline = after(milliseconds(60000));
    auto waiting = std::async(std::launch::async, [&] {
        std::uint32_t got = 99;
        const std::int32_t r = ch->waitfordata(1, 60000, &got);
        return std::make_pair(r, got);
    });
    ask("PULL", false);
    EXPECT_EQ(waiting.get(), std::make_pair(serial_rxtx::WAIT_FAILED, 0u));
    EXPECT_LT(mono_ms(), own_deadline) << "the wait ran out its time instead of ending with the cable";
    std::uint32_t got = 99;
    EXPECT_EQ(ch->waitfordata(1, 2000, &got), serial_rxtx::WAIT_FAILED);
    unsigned char bytes[8] = {};
    EXPECT_EQ(ch->recvdata(bytes, sizeof bytes), 0);
    EXPECT_EQ(ch->senddata(bytes, sizeof bytes), 0);
    EXPECT_EQ(ch->rxqueue_count(), 0);
    ch->close();
    ask("PLUG", true);
    EXPECT_EQ(ch->open(), 1);
    serial_rxtx::ReleaseRxTx(ch);
}

TEST_F(UartCablePull, TheLibrarysWaitEndsAtOnceAndItsSendAndCloseDoNotHang)
{
    Process recv = Process::start({SERIAL_CALLER_BIN, "recv", port, "after the pull"});
    ASSERT_TRUE(recv.read_until("Ready to start parsing!\n", timeout())) << recv.output() << recv.errors();
    ask("PULL", false);
    EXPECT_EQ(recv.wait_exit_code(timeout()), 0) << recv.errors();
    unsigned revents = 0;
    const size_t end = recv.output().find("|end ");
    ASSERT_NE(end, std::string::npos) << recv.output();
    ASSERT_EQ(std::sscanf(recv.output().c_str() + end, "|end ms=%*d revents=%x", &revents), 1);
    EXPECT_NE(revents & (POLLHUP | POLLERR | POLLNVAL), 0u) << "the wait ran out its time, not ended by the cable";
    ask("PLUG", true);
}

}  // namespace
