// What only a real UART shows: the serial channel and the serial helper
// library on the board's 16550A ports, through the kernel's 8250 driver.
// UART_A and UART_B are two ports joined to each other outside the board, so
// what one sends the other receives; TOOLSET_UART_A and TOOLSET_UART_B name
// another such pair on a real board. Built for the board preset only.
#include "portwire/serial_rxtx.h"
#include "sockets.h"
#include "terminals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>

using namespace testsupport;
using orv::hal::serial_rxtx;

namespace {

const char* port_path(const char* variable, const char* built_in)
{
    const char* path = std::getenv(variable);
    return path && *path ? path : built_in;
}
const char* const kUartA = port_path("TOOLSET_UART_A", UART_A);
const char* const kUartB = port_path("TOOLSET_UART_B", UART_B);

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

class RealUart : public ::testing::Test {
protected:
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
TEST_F(RealUart, ChannelSettingsReadBackFromTheDriverAtStandardAndNonStandardRates)
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

TEST_F(RealUart, DtrIsClearAfterOpenAndFollowsSetAndClearOnTheDriver)
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

TEST_F(RealUart, WaitEndsWhenTheOtherEndSendsAndCancelEndsAWaitWithBytesQueued)
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
    EXPECT_EQ(read_exact(peer.get(), 2, after(timeout())), "ok");
}

// The serial helper library's send and receive scenarios across the UART,
// for both builds.
TEST(RealUartSerialLib, SendAndReceiveCrossTheUart)
{
    const std::string ready = "start\nReady to start parsing!\n";
    for (const char* caller : {SERIAL_CALLER_BIN, SERIAL_MANGLED_CALLER_BIN}) {
        Fd peer = open_port(kUartB);
        ASSERT_TRUE(make_raw(peer.get()));
        ASSERT_EQ(::tcflush(peer.get(), TCIOFLUSH), 0);

        Process send = Process::start({caller, "send", kUartA, "hello, device"});
        const std::string want("hello, device\0", 14);
        EXPECT_EQ(read_exact(peer.get(), want.size(), after(timeout())), want) << caller;
        EXPECT_EQ(send.wait_exit_code(timeout()), 0) << caller;

        // The library sets 9600 baud on the port; the peer follows.
        termios t{};
        ASSERT_EQ(::tcgetattr(peer.get(), &t), 0);
        ::cfsetspeed(&t, B9600);
        ASSERT_EQ(::tcsetattr(peer.get(), TCSANOW, &t), 0);
        Process recv = Process::start({caller, "recv", kUartA});
        ASSERT_TRUE(recv.wait_output(ready, timeout())) << caller << ": " << recv.output() << recv.errors();
        ASSERT_TRUE(write_all(peer.get(), "ping"));
        EXPECT_TRUE(recv.wait_output("ping", timeout())) << caller << ": " << recv.output();
        EXPECT_EQ(recv.wait_exit_code(timeout()), 0) << caller << ": " << recv.errors();
    }
}

}  // namespace
