// The serial channel against pseudo-terminals: the channel opens the slave
// side, the test plays the far end on the master side.
#include "kernel_seam.h"
#include "portwire/raw_serial.h"
#include "portwire/serial_rxtx.h"
#include "testsupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace testsupport;
using orv::arch::net::raw_serial;
using orv::hal::serial_rxtx;

namespace {

constexpr std::int32_t READY = serial_rxtx::WAIT_READY;
constexpr std::int32_t TIMED_OUT = serial_rxtx::WAIT_TIMEOUT;
constexpr std::int32_t FAILED = serial_rxtx::WAIT_FAILED;

// Long enough that only a cancellation can end a wait this early.
constexpr std::uint32_t kLongWaitMs = 30000;

int queued(int fd)
{
    int n = -1;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

class Port : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_seam();
        pty = open_pty(false);
        ASSERT_TRUE(pty.master) << "no pseudo-terminal";
        termios2 = read_line_settings(pty.slave.get()).has_value();
        ch = serial_rxtx::CreateRxTx();
    }

    void TearDown() override
    {
        serial_rxtx::ReleaseRxTx(ch);
        reset_seam();
    }

    // Binds and opens the channel on pty. Where the termios2 requests fail
    // (the emulator), the test makes the line raw itself so the data still
    // passes unchanged.
    void open_on(const Pty& p, std::uint32_t baud = 115200)
    {
        ASSERT_EQ(ch->bind(p.slave_path.c_str(), baud, 0), 1);
        ASSERT_EQ(ch->open(), 1);
        ASSERT_TRUE(ch->isOpened());
        if (!termios2) {
            ASSERT_TRUE(make_raw(p.slave.get()));
        }
    }

    // Descriptor of the open port: the one the settings request went to.
    int port_fd()
    {
        int fd = -1;
        for (const auto& c : ioctl_calls())
            if (c.request == kTCSETS2)
                fd = c.fd;
        return fd;
    }

    void feed(const std::string& bytes) { ASSERT_TRUE(write_all(pty.master.get(), bytes)); }

    // Waits (bounded) until n bytes are queued at the port.
    void expect_queued(std::uint32_t n)
    {
        std::uint32_t got = 0;
        ASSERT_EQ(ch->waitfordata(n, timeout().count(), &got), READY);
        ASSERT_EQ(got, n);
    }

    std::string receive(std::uint32_t max)
    {
        std::string buf(max, '\0');
        const int n = ch->recvdata(reinterpret_cast<unsigned char*>(&buf[0]), max);
        buf.resize(n > 0 ? n : 0);
        return buf;
    }

    // A wait that finds nothing must run its whole time-out: nothing is pending.
    void expect_no_pending_cancel()
    {
        const auto t0 = Clock::now();
        std::uint32_t got = 5;
        EXPECT_EQ(ch->waitfordata(1, 200, &got), TIMED_OUT);
        EXPECT_EQ(got, 0u);
        EXPECT_GE(ms_since(t0), 200) << "a cancellation was still pending";
    }

    Pty pty;
    bool termios2 = false;
    serial_rxtx* ch = nullptr;
};

TEST(PortwireRelease, NullIsIgnored)
{
    serial_rxtx::ReleaseRxTx(nullptr);
}

TEST_F(Port, FreshChannelIsClosedAndRefusesDeviceOperations)
{
    EXPECT_FALSE(ch->isOpened());
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(ch->senddata(data, 3), 0);
    unsigned char buf[8];
    EXPECT_EQ(ch->recvdata(buf, sizeof buf), 0);
    EXPECT_EQ(ch->rxqueue_count(), 0);
    std::uint32_t got = 77;
    EXPECT_EQ(ch->waitforrecv(0, &got), -1);
    EXPECT_EQ(ch->waitforsent(0, &got), 0);
    EXPECT_EQ(got, 0u);
    got = 77;
    EXPECT_EQ(ch->waitfordata(1, 0, &got), FAILED);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ch->waitfordata(0, 0, nullptr), FAILED);

    const int fds = open_fd_count();
    ch->flush(0);
    ch->setDTR();
    ch->clearDTR();
    ch->cancelOperation();
    ch->close();
    ch->close();
    EXPECT_FALSE(ch->isOpened());
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_TRUE(ioctl_calls().empty()) << "a closed channel must not touch a device";
}

TEST(PortwireRates, StandardRatesMapToSpeedCodesOthersToMinusOne)
{
    raw_serial port;
    const struct {
        std::uint32_t rate;
        std::int32_t code;
    } cases[] = {
        {1200, 0x9},       {1800, 0xA},       {2400, 0xB},       {4800, 0xC},       {9600, 0xD},
        {19200, 0xE},      {38400, 0xF},      {57600, 0x1001},   {115200, 0x1002},  {230400, 0x1003},
        {460800, 0x1004},  {500000, 0x1005},  {576000, 0x1006},  {921600, 0x1007},  {1000000, 0x1008},
        {1152000, 0x1009}, {1500000, 0x100A}, {2000000, 0x100B}, {2500000, 0x100C}, {3000000, 0x100D},
        {3500000, 0x100E}, {4000000, 0x100F}, {0, -1},           {300, -1},         {600, -1},
        {256000, -1},      {115201, -1},      {4000001, -1},     {0xFFFFFFFFu, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(port.getTermBaudBitmap(c.rate), c.code) << "rate " << c.rate;
}

TEST_F(Port, OpenOfAMissingPathFailsAndLeavesTheChannelClosed)
{
    const int fds = open_fd_count();
    ASSERT_EQ(ch->bind("/nonexistent/portwire-tty", 115200, 0), 1);
    EXPECT_EQ(ch->open(), 0);
    EXPECT_FALSE(ch->isOpened());
    EXPECT_EQ(ch->rxqueue_count(), 0);
    EXPECT_EQ(ch->waitfordata(1, 0, nullptr), FAILED);
    EXPECT_EQ(open_fd_count(), fds);
}

// Anything but a terminal device is refused at once, before anything is
// written to it or flushed: a regular file keeps its bytes, and /dev/null
// (a character device that is not a terminal) is refused the same way.
TEST_F(Port, OpenRefusesWhatIsNotATerminalAndLeavesItUntouched)
{
    std::string path = ::testing::TempDir() + "portwire-notatty-XXXXXX";
    const Fd file(::mkstemp(&path[0]));
    ASSERT_TRUE(file) << "no temporary file";
    const std::string text = "hostname\n";
    ASSERT_TRUE(write_all(file.get(), text));
    const int fds = open_fd_count();
    for (const std::string& target : {path, std::string("/dev/null")}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(ch->bind(target.c_str(), 115200, 0), 1);
        EXPECT_EQ(ch->open(), 0);
        EXPECT_EQ(errno, ENOTTY);
        EXPECT_FALSE(ch->isOpened());
        const unsigned char frame[] = {0xE7, 0x7E, 0x04, 0x00, 0x1C};
        EXPECT_EQ(ch->senddata(frame, sizeof frame), 0);
        EXPECT_EQ(open_fd_count(), fds) << "the refused file stayed open";
    }
    EXPECT_TRUE(ioctl_calls().empty()) << "a refused file must not get terminal requests";
    struct stat st;
    ASSERT_EQ(::fstat(file.get(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(text.size()));
    EXPECT_EQ(read_until_eof(Fd(::open(path.c_str(), O_RDONLY)).get(), after(timeout())), text);
    ::unlink(path.c_str());
}

TEST_F(Port, BindRefusesPathsThatDoNotFitAndKeepsTheOldOne)
{
    ASSERT_EQ(ch->bind(pty.slave_path.c_str(), 9600, 0), 1);
    EXPECT_EQ(ch->bind(std::string(200, 'a').c_str(), 1200, 0), 0);
    EXPECT_EQ(ch->bind(nullptr, 1200, 0), 0);
    ASSERT_EQ(ch->open(), 1) << "the refused binds must not replace the bound path";
    if (!termios2) {
        ASSERT_TRUE(make_raw(pty.slave.get()));
    }
    EXPECT_EQ(ch->senddata(reinterpret_cast<const unsigned char*>("pty"), 3), 3);
    EXPECT_EQ(read_exact(pty.master.get(), 3, after(timeout())), "pty");

    // 199 characters fit; this path does not exist, so the open fails.
    const std::string longest = "/nonexistent/" + std::string(199 - 13, 'b');
    ASSERT_EQ(longest.size(), 199u);
    EXPECT_EQ(ch->bind(longest.c_str(), 9600, 0), 1);
    EXPECT_TRUE(ch->isOpened()) << "bind must not touch the open device";
    EXPECT_EQ(ch->open(), 0);
    EXPECT_FALSE(ch->isOpened());
}

TEST_F(Port, OpenAtANonStandardRateSetsARawExplicitRateLine)
{
    ASSERT_EQ(ch->bind(pty.slave_path.c_str(), 256000, 0), 1);
    ASSERT_EQ(ch->open(), 1);

    // The record handed to the kernel (seen through the seam, emulator included).
    std::optional<LineRecord> sent;
    for (const auto& c : ioctl_calls())
        if (c.request == kTCSETS2)
            sent = c.line;
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->cflag, 0x18B0u);  // BOTHER | CLOCAL | CREAD | CS8
    EXPECT_EQ(sent->iflag, 0u);
    EXPECT_EQ(sent->oflag, 0u);
    EXPECT_EQ(sent->lflag, 0u);
    EXPECT_EQ(sent->line, 0);
    EXPECT_TRUE(sent->cc_all_zero) << "VMIN and VTIME must be 0";
    EXPECT_EQ(sent->ispeed, 256000u);
    EXPECT_EQ(sent->ospeed, 256000u);

    if (!termios2) {
        GTEST_SKIP() << "the termios2 requests (TCGETS2/TCSETS2) fail under the emulator: "
                        "the settings the port holds cannot be read back";
    }
    const auto held = read_line_settings(pty.slave.get());
    ASSERT_TRUE(held);
    EXPECT_EQ(held->cflag & 0x100Fu, 0x1000u) << "explicit rate (BOTHER)";
    EXPECT_EQ(held->ispeed, 256000u);
    EXPECT_EQ(held->ospeed, 256000u);
    EXPECT_EQ(held->cflag & 0x30u, 0x30u) << "8 data bits";
    EXPECT_EQ(held->cflag & 0x880u, 0x880u) << "CLOCAL and CREAD";
    EXPECT_EQ(held->cflag & 0x80000540u, 0u) << "no CRTSCTS, HUPCL, PARENB or CSTOPB";
    EXPECT_EQ(held->lflag, 0u);
    EXPECT_EQ(held->iflag, 0u);
    EXPECT_EQ(held->oflag, 0u);
    EXPECT_TRUE(held->cc_all_zero);
}

TEST_F(Port, OpenClearsDtrAndTheLineRequestsReachThePort)
{
    struct stat slave;
    ASSERT_EQ(::fstat(pty.slave.get(), &slave), 0);
    open_on(pty);
    const int fd = port_fd();

    auto modem_requests = [&] {
        std::vector<IoctlCall> out;
        for (const auto& c : ioctl_calls())
            if (c.request == kTIOCMBIS || c.request == kTIOCMBIC)
                out.push_back(c);
        return out;
    };
    auto calls = modem_requests();
    ASSERT_EQ(calls.size(), 1u) << "open must clear DTR, once";
    EXPECT_EQ(calls[0].request, kTIOCMBIC);
    EXPECT_EQ(calls[0].int_arg, kTIOCM_DTR);
    EXPECT_EQ(calls[0].fd, fd);
    EXPECT_EQ(calls[0].rdev, slave.st_rdev);

    ch->setDTR();
    ch->clearDTR();
    calls = modem_requests();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].request, kTIOCMBIS);
    EXPECT_EQ(calls[1].int_arg, kTIOCM_DTR);
    EXPECT_EQ(calls[2].request, kTIOCMBIC);
    EXPECT_EQ(calls[2].int_arg, kTIOCM_DTR);

    ch->close();
    ch->setDTR();
    ch->clearDTR();
    EXPECT_EQ(modem_requests().size(), 3u) << "no line requests on a closed channel";

    ASSERT_EQ(ch->open(), 1);
    calls = modem_requests();
    ASSERT_EQ(calls.size(), 4u) << "every open clears DTR";
    EXPECT_EQ(calls[3].request, kTIOCMBIC);
}

TEST_F(Port, ReopenAndBindOnAnOpenChannel)
{
    Pty other = open_pty(false);
    ASSERT_TRUE(other.master);
    const int base = open_fd_count();

    open_on(pty);
    const int opened = open_fd_count();
    EXPECT_EQ(opened, base + 3) << "the port and the two pipe ends";
    ASSERT_EQ(ch->open(), 1) << "re-open of the same path";
    EXPECT_EQ(open_fd_count(), opened) << "re-open must close the old port and pipe first";

    // bind changes only what the next open uses.
    ASSERT_EQ(ch->bind(other.slave_path.c_str(), 9600, 0), 1);
    EXPECT_TRUE(ch->isOpened());
    EXPECT_EQ(ch->senddata(reinterpret_cast<const unsigned char*>("one"), 3), 3);
    EXPECT_EQ(read_exact(pty.master.get(), 3, after(timeout())), "one");

    ASSERT_EQ(ch->open(), 1);
    if (!termios2) {
        ASSERT_TRUE(make_raw(other.slave.get()));
    }
    EXPECT_EQ(open_fd_count(), opened);
    EXPECT_EQ(ch->senddata(reinterpret_cast<const unsigned char*>("two"), 3), 3);
    EXPECT_EQ(read_exact(other.master.get(), 3, after(timeout())), "two");
    EXPECT_FALSE(wait_readable(pty.master.get(), after(milliseconds(100)))) << "old port still written";
}

TEST_F(Port, CloseTwiceAndReleaseOfAnOpenChannelFreeEverything)
{
    const int base = open_fd_count();
    open_on(pty);
    ch->close();
    ch->close();
    EXPECT_FALSE(ch->isOpened());
    EXPECT_EQ(open_fd_count(), base);

    ASSERT_EQ(ch->open(), 1);
    serial_rxtx::ReleaseRxTx(ch);
    ch = nullptr;
    EXPECT_EQ(open_fd_count(), base);
}

TEST_F(Port, BytesPassUnchangedBothWays)
{
    open_on(pty);
    const std::string bytes("raw\r\n\x03\x04\x11\x13\x7f\0end", 14);

    EXPECT_EQ(ch->senddata(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), 14);
    EXPECT_EQ(read_exact(pty.master.get(), bytes.size(), after(timeout())), bytes);
    std::uint32_t count = 0;
    EXPECT_EQ(ch->waitforsent(0, &count), 0);
    EXPECT_EQ(count, 14u);

    feed(bytes);
    expect_queued(14);
    EXPECT_EQ(receive(64), bytes);
    EXPECT_EQ(ch->waitforrecv(0, &count), 0);
    EXPECT_EQ(count, 14u);
    EXPECT_FALSE(wait_readable(pty.master.get(), after(milliseconds(100)))) << "input was echoed";

    // Nothing to send keeps the last count; nothing received reports 0.
    EXPECT_EQ(ch->senddata(nullptr, 5), 0);
    EXPECT_EQ(ch->senddata(reinterpret_cast<const unsigned char*>("x"), 0), 0);
    EXPECT_EQ(ch->waitforsent(0, &count), 0);
    EXPECT_EQ(count, 14u);
    EXPECT_EQ(receive(64), "");
    EXPECT_EQ(ch->waitforrecv(0, &count), 0);
    EXPECT_EQ(count, 0u);
}

TEST_F(Port, SendStopsAtAFullOutputQueueWithAShortCount)
{
    open_on(pty);
    const std::string big(1 << 20, 'z');
    const int sent = ch->senddata(reinterpret_cast<const unsigned char*>(big.data()), big.size());
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    std::uint32_t count = 0;
    ch->waitforsent(0, &count);
    EXPECT_EQ(count, static_cast<std::uint32_t>(sent));
}

TEST_F(Port, FlushDiscardsQueuedInput)
{
    open_on(pty);
    feed("stale");
    expect_queued(5);
    ch->flush(0);
    EXPECT_EQ(ch->rxqueue_count(), 0);
    EXPECT_EQ(receive(16), "");
}

TEST_F(Port, WaitReturnsAtOnceWhenEnoughIsQueuedAndConsumesNothing)
{
    open_on(pty);
    std::uint32_t got = 9;
    EXPECT_EQ(ch->waitfordata(0, 0, &got), READY) << "wanted 0";
    EXPECT_EQ(got, 0u);

    feed("four");
    expect_queued(4);
    EXPECT_EQ(ch->waitfordata(0, 0, &got), READY);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(ch->waitfordata(3, 0, &got), READY);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(ch->waitfordata(4, 0, nullptr), READY);
    EXPECT_EQ(ch->rxqueue_count(), 4);
    EXPECT_EQ(receive(16), "four");
}

TEST_F(Port, WaitTimesOutWithZeroAndLeavesTooFewBytesQueued)
{
    open_on(pty);
    std::uint32_t got = 9;
    EXPECT_EQ(ch->waitfordata(1, 0, &got), TIMED_OUT) << "time-out 0, nothing queued";
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(ch->waitfordata(1, 0, nullptr), TIMED_OUT);

    // The line goes quiet part-way: the passes back off instead of looking
    // at the port every time the 7 missing bytes would need (under 1 ms).
    feed("abc");
    expect_queued(3);
    const int looks = fionread_count(port_fd());
    const auto t0 = Clock::now();
    got = 9;
    EXPECT_EQ(ch->waitfordata(10, 300, &got), TIMED_OUT);
    EXPECT_GE(ms_since(t0), 300) << "returned before its time-out";
    EXPECT_EQ(got, 0u);
    EXPECT_LT(fionread_count(port_fd()) - looks, 60) << "the quiet line was polled without backing off";
    EXPECT_EQ(ch->rxqueue_count(), 3);
    EXPECT_EQ(receive(16), "abc");
}

// Bytes arriving in two parts while the wait runs, at a bound rate and with
// no rate (0) bound. The far end writes each part once the waiter has looked
// at the queue, seen through the seam: no sleeps.
TEST_F(Port, WaitSeesBytesThatArriveDuringIt)
{
    for (std::uint32_t baud : {115200u, 0u}) {
        SCOPED_TRACE("rate " + std::to_string(baud));
        reset_seam();
        open_on(pty, baud);
        const int fd = port_fd();
        const int seen = fionread_count(fd);
        std::thread far_end([&] {
            EXPECT_TRUE(wait_fionread(fd, seen + 1, after(timeout())));
            EXPECT_TRUE(write_all(pty.master.get(), "12345"));
            EXPECT_TRUE(wait_fionread(fd, seen + 2, after(timeout())));
            EXPECT_TRUE(write_all(pty.master.get(), "67890"));
        });
        std::uint32_t got = 0;
        const std::int32_t r = ch->waitfordata(10, timeout().count(), &got);
        far_end.join();
        EXPECT_EQ(r, READY);
        EXPECT_EQ(got, 10u);
        EXPECT_EQ(receive(16), "1234567890");
        ch->close();
    }
}

// ---- cancellation ----

TEST_F(Port, CancelFromAnotherThreadEndsABlockedWait)
{
    open_on(pty);
    const int fd = port_fd();
    const int seen = fionread_count(fd);
    std::thread canceller([&] {
        EXPECT_TRUE(wait_fionread(fd, seen + 1, after(timeout())));
        ch->cancelOperation();
    });
    const auto t0 = Clock::now();
    std::uint32_t got = 9;
    const std::int32_t r = ch->waitfordata(1, kLongWaitMs, &got);
    const auto took = ms_since(t0);
    canceller.join();
    EXPECT_EQ(r, TIMED_OUT);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(took, timeout().count()) << "the wait ran on after the cancellation";
    EXPECT_EQ(queued(last_pipe_read_end()), 0) << "the pipe must be emptied";
    expect_no_pending_cancel();
}

// At 50 baud the 999 missing bytes need far longer than the time-out, so the
// wait pauses between passes; a cancellation must still end it.
TEST_F(Port, CancelEndsAWaitThatPausesForMissingBytes)
{
    open_on(pty, 50);
    feed("1");
    expect_queued(1);
    const int fd = port_fd();
    const int seen = fionread_count(fd);
    std::thread canceller([&] {
        EXPECT_TRUE(wait_fionread(fd, seen + 2, after(timeout())));
        ch->cancelOperation();
    });
    const auto t0 = Clock::now();
    std::uint32_t got = 9;
    const std::int32_t r = ch->waitfordata(1000, kLongWaitMs, &got);
    const auto took = ms_since(t0);
    canceller.join();
    EXPECT_EQ(r, TIMED_OUT);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(took, timeout().count()) << "the pause ignored the cancellation";
    EXPECT_EQ(ch->rxqueue_count(), 1) << "the queued byte stays";
}

TEST_F(Port, SeveralCancelsEndOneWaitOnly)
{
    open_on(pty);
    std::thread canceller([&] {
        for (int i = 0; i < 3; i++)
            ch->cancelOperation();
    });
    canceller.join();
    EXPECT_EQ(queued(last_pipe_read_end()), 3);
    const auto t0 = Clock::now();
    EXPECT_EQ(ch->waitfordata(1, kLongWaitMs, nullptr), TIMED_OUT);
    EXPECT_LT(ms_since(t0), timeout().count());
    EXPECT_EQ(queued(last_pipe_read_end()), 0) << "all three bytes drained";
    expect_no_pending_cancel();
}

TEST_F(Port, PendingCancelSurvivesAWaitThatAlreadyHadEnough)
{
    open_on(pty);
    feed("ok");
    expect_queued(2);
    ch->cancelOperation();
    std::uint32_t got = 0;
    EXPECT_EQ(ch->waitfordata(2, kLongWaitMs, &got), READY);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(receive(4), "ok");

    const auto t0 = Clock::now();
    EXPECT_EQ(ch->waitfordata(1, kLongWaitMs, &got), TIMED_OUT) << "the cancellation was lost";
    EXPECT_LT(ms_since(t0), timeout().count());
    expect_no_pending_cancel();
}

TEST_F(Port, NoCancelIsPendingAfterCloseAndANewOpen)
{
    open_on(pty);
    ch->cancelOperation();
    ch->close();
    ch->cancelOperation();  // closed: nothing to write to
    ASSERT_EQ(ch->open(), 1);
    expect_no_pending_cancel();
}

TEST_F(Port, WithoutThePipeWaitsWatchThePortAloneAndCannotBeCancelled)
{
    inject("pipe", 1, 1, EMFILE);
    const int base = open_fd_count();
    open_on(pty);
    EXPECT_EQ(open_fd_count(), base + 1) << "the port only";
    ch->cancelOperation();
    expect_no_pending_cancel();
    feed("data");
    expect_queued(4);
    EXPECT_EQ(receive(8), "data");
}

TEST_F(Port, DrainStopsOnAnEmptyPipeWhoseReadEndStayedBlocking)
{
    inject("fcntl", 2, 1, EBADF);  // the read end's flags: it stays blocking
    open_on(pty);
    const int rd = last_pipe_read_end();
    ASSERT_GE(rd, 0);
    ASSERT_EQ(::fcntl(rd, F_GETFL) & O_NONBLOCK, 0) << "the seam did not keep the read end blocking";
    ch->cancelOperation();
    ch->cancelOperation();
    EXPECT_EQ(ch->waitfordata(1, kLongWaitMs, nullptr), TIMED_OUT);
    EXPECT_EQ(queued(rd), 0);
    expect_no_pending_cancel();
}

// Descriptors at 1024 and above (beyond what select can watch) serve like
// any other: the port and both pipe ends are placed there by taking every
// lower descriptor first.
TEST_F(Port, WaitsWorkWithThePortAndThePipeAboveDescriptor1024)
{
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit raised = saved;
    if (raised.rlim_cur < FD_SETSIZE + 16) {
        raised.rlim_cur = FD_SETSIZE + 16;
        if (raised.rlim_max < raised.rlim_cur || ::setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot raise the descriptor limit above " << FD_SETSIZE;
    }
    std::vector<Fd> fillers;
    for (;;) {
        Fd f(::dup(pty.master.get()));
        if (!f || f.get() >= FD_SETSIZE)
            break;
        fillers.push_back(std::move(f));
    }
    ASSERT_NE(::fcntl(FD_SETSIZE - 1, F_GETFD), -1) << "could not take every lower descriptor";
    open_on(pty);
    const int rd = last_pipe_read_end();
    EXPECT_GE(rd, FD_SETSIZE);
    fillers.clear();

    std::uint32_t got = 9;
    EXPECT_EQ(ch->waitfordata(1, 50, &got), TIMED_OUT);
    EXPECT_EQ(got, 0u);
    feed("hi");
    expect_queued(2);
    EXPECT_EQ(receive(4), "hi");
    ch->cancelOperation();
    const auto t0 = Clock::now();
    EXPECT_EQ(ch->waitfordata(1, kLongWaitMs, &got), TIMED_OUT);
    EXPECT_LT(ms_since(t0), timeout().count()) << "the cancellation was not seen";
    ch->close();
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

// ---- failing system calls, through the seam ----

// A wait reported by what it returned, what it counted and how long it took.
struct Wait {
    std::int32_t result;
    std::uint32_t got;
    std::int64_t ms;
};

class PortFaults : public Port {
protected:
    Wait wait(std::uint32_t want, std::uint32_t ms)
    {
        std::uint32_t got = 12345;
        const auto t0 = Clock::now();
        const std::int32_t r = ch->waitfordata(want, ms, &got);
        return {r, got, ms_since(t0)};
    }

    // A cancellation ends a long wait early and is then gone.
    void expect_cancel_works()
    {
        ch->cancelOperation();
        const Wait w = wait(1, kLongWaitMs);
        EXPECT_EQ(w.result, TIMED_OUT);
        EXPECT_EQ(w.got, 0u);
        EXPECT_LT(w.ms, timeout().count()) << "the cancellation did not end the wait";
        expect_no_pending_cancel();
    }
};

// The port's status flags cannot be set: the device is closed again, open
// reports failure and nothing is left open.
TEST_F(PortFaults, PortFlagsFailureClosesTheDeviceAndOpenFails)
{
    const int base = open_fd_count();
    ASSERT_EQ(ch->bind(pty.slave_path.c_str(), 115200, 0), 1);
    inject("fcntl", 1, 1, EIO);
    EXPECT_EQ(ch->open(), 0);
    EXPECT_FALSE(ch->isOpened());
    EXPECT_EQ(open_fd_count(), base);
    EXPECT_EQ(injected_hits(), 1);
}

// The third to fifth fcntl calls of an open make the pipe ends non-blocking
// (read end: set; write end: get, set). When one fails the channel is open
// all the same and close releases everything. A channel that kept its pipe
// still has its wait ended by a cancellation; one that dropped the pipe (a
// write end that could block is no use) holds the port alone. Also a flood
// of cancellations, far more than the pipe holds, with no wait in between:
// cancelOperation never blocks and one wait takes them all.
class PipeFlagsFail : public PortFaults, public ::testing::WithParamInterface<int> {};

TEST_P(PipeFlagsFail, TheChannelOpensAndCancellationNeverBlocks)
{
    const int base = open_fd_count();
    if (GetParam() > 0)
        inject("fcntl", GetParam(), 1, EBADF);
    open_on(pty);
    const bool pipe = open_fd_count() == base + 3;
    EXPECT_EQ(open_fd_count(), GetParam() == 4 || GetParam() == 5 ? base + 1 : base + 3);
    if (pipe)
        expect_cancel_works();
    for (int i = 0; i < 70000; i++)  // the pipe holds 65536 bytes
        ch->cancelOperation();
    if (pipe) {
        EXPECT_EQ(wait(1, kLongWaitMs).result, TIMED_OUT);
        expect_no_pending_cancel();
    }
    ch->close();
    EXPECT_EQ(open_fd_count(), base);
    EXPECT_EQ(injected_hits(), GetParam() > 0 ? 1 : 0);
}

std::string pipe_call_name(const ::testing::TestParamInfo<int>& i)
{
    const char* names[] = {"NoFault", "", "", "ReadEndSet", "WriteEndGet", "WriteEndSet"};
    return names[i.param];
}

INSTANTIATE_TEST_SUITE_P(Calls, PipeFlagsFail, ::testing::Values(0, 3, 4, 5), pipe_call_name);

// Opening an open channel closes it first; when the new open fails the
// channel is closed, holds nothing and a cancellation on it does nothing.
TEST_F(PortFaults, ReopenThatFailsLeavesTheChannelClosedAndEmpty)
{
    const int base = open_fd_count();
    open_on(pty);
    inject("open", 1, 1, EBUSY);
    EXPECT_EQ(ch->open(), 0);
    EXPECT_FALSE(ch->isOpened());
    EXPECT_EQ(open_fd_count(), base) << "the old device or pipe stayed open";
    ch->cancelOperation();
    const Wait w = wait(1, 200);
    EXPECT_EQ(w.result, FAILED);
    EXPECT_EQ(w.got, 0u);
    EXPECT_EQ(injected_hits(), 1);
}

// An interrupted poll ends the wait as failed with a count of 0, at once;
// the channel is unharmed and the next wait runs normally.
TEST_F(PortFaults, AFailedPollFailsTheWaitWithZeroAndTheNextOneWorks)
{
    open_on(pty);
    inject("ppoll", 1, 1, EINTR);
    const Wait w = wait(1, kLongWaitMs);
    EXPECT_EQ(w.result, FAILED);
    EXPECT_EQ(w.got, 0u);
    EXPECT_LT(w.ms, timeout().count());
    EXPECT_EQ(wait(1, 200).result, TIMED_OUT);
    EXPECT_EQ(injected_hits(), 1);
}

// One byte is queued and three are wanted: the wait's second poll is the
// pause between passes. Its failure only cuts that pause short; the wait
// runs to its time-out as usual and the byte stays queued.
TEST_F(PortFaults, AFailedPauseDoesNotFailTheWait)
{
    open_on(pty);
    feed("a");
    const Deadline d = after(timeout());
    while (ch->rxqueue_count() < 1 && Clock::now() < d)
        std::this_thread::sleep_for(milliseconds(1));  // no poll before the wait under test
    inject("ppoll", 2, 1, EINTR);
    const Wait w = wait(3, 1000);
    EXPECT_EQ(w.result, TIMED_OUT);
    EXPECT_EQ(w.got, 0u);
    EXPECT_GE(w.ms, 1000);
    EXPECT_EQ(ch->rxqueue_count(), 1);
    EXPECT_EQ(injected_hits(), 1);
}

// Writes that pass three bytes at a time: senddata goes on until all are
// written and reports them all, and the far end gets every byte once, in
// order. A write that passes nothing ends the send at once with the count so
// far, rather than trying again for ever.
TEST_F(PortFaults, ShortWritesAreContinuedAndAWriteOfNothingEndsTheSend)
{
    const std::string text = "0123456789abcdefghij";
    for (const auto& [short_len, sent, writes] : {std::tuple<int, std::size_t, int>{3, text.size(), 7},
                                                  std::tuple<int, std::size_t, int>{0, 0, 1}}) {
        SCOPED_TRACE(short_len);
        open_on(pty);
        inject("write", 1, 0, EIO, short_len);
        EXPECT_EQ(ch->senddata(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
                  static_cast<std::int32_t>(sent));
        std::uint32_t reported = 99;
        ch->waitforsent(0, &reported);
        EXPECT_EQ(reported, sent);
        EXPECT_EQ(injected_hits(), writes);
        reset_seam();
        EXPECT_EQ(read_exact(pty.master.get(), sent, after(timeout())), text.substr(0, sent));
    }
}

}  // namespace
