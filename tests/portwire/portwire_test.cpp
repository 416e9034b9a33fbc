// The channel on a pseudo-terminal's slave, the test at its master; system calls fail through kernel_seam.h.
#include "kernel_seam.h"
#include "portwire/raw_serial.h"
#include "portwire/serial_rxtx.h"
#include "sockets.h"
#include "terminals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
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

// A wait this long that ends before its own time-out was ended by something else.
constexpr std::uint32_t kLongWaitMs = 30000;

using Outcome = std::pair<std::int32_t, std::uint32_t>;
struct Wait {
    std::int32_t result;
    std::uint32_t got;
    std::int64_t ms;
    Outcome outcome() const { return {result, got}; }
};

void expect_cancelled(const Wait& w)
{
    EXPECT_EQ(w.outcome(), Outcome(TIMED_OUT, 0u));
    EXPECT_LT(w.ms, kLongWaitMs) << "the wait ran out its time: the cancellation did not end it";
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

    // Where the termios2 requests fail (the emulator) the test makes the line raw itself.
    void open_on(const Pty& p, std::uint32_t baud = 115200)
    {
        ASSERT_EQ(ch->bind(p.slave_path.c_str(), baud, 0), 1);
        ASSERT_EQ(ch->open(), 1);
        ASSERT_TRUE(termios2 || make_raw(p.slave.get()));
    }

    // The last settings request: its descriptor is the open port's.
    IoctlCall last_set()
    {
        IoctlCall set{-1, 0, 0, 0, std::nullopt};
        for (const auto& c : ioctl_calls())
            if (c.request == kTCSETS2)
                set = c;
        return set;
    }

    void feed(const std::string& bytes) { ASSERT_TRUE(write_all(pty.master.get(), bytes)); }

    std::int32_t send(const std::string& bytes)
    {
        return ch->senddata(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    }

    void expect_queued(std::uint32_t n)
    {
        std::uint32_t got = 0;
        ASSERT_EQ(ch->waitfordata(n, timeout().count(), &got), READY);
        ASSERT_EQ(got, n);
    }

    std::uint32_t last_sent() { std::uint32_t n = 99; EXPECT_EQ(ch->waitforsent(0, &n), 0); return n; }
    std::uint32_t last_received() { std::uint32_t n = 99; EXPECT_EQ(ch->waitforrecv(0, &n), 0); return n; }

    std::string receive(std::uint32_t max)
    {
        std::string buf(max, '\0');
        const int n = ch->recvdata(reinterpret_cast<unsigned char*>(&buf[0]), max);
        buf.resize(n > 0 ? n : 0);
        return buf;
    }

    Wait wait(std::uint32_t want, std::uint32_t ms)
    {
        std::uint32_t got = 12345;
        const Deadline t0 = mono_ms();
        const std::int32_t r = ch->waitfordata(want, ms, &got);
        return {r, got, ms_since(t0)};
    }

    // After cancellations this shows that none is pending any more.
    void expect_whole_timeout(std::uint32_t want = 1, std::uint32_t ms = 200)
    {
        const Wait w = wait(want, ms);
        EXPECT_EQ(w.outcome(), Outcome(TIMED_OUT, 0u));
        EXPECT_GE(w.ms, ms) << "returned before its time-out (a cancellation still pending?)";
    }

    Pty pty;
    bool termios2 = false;
    serial_rxtx* ch = nullptr;
};

using PortFaults = Port;  // failing system calls, through the seam

TEST(PortwireRates, StandardRatesMapToSpeedCodesOthersToMinusOne)
{
    raw_serial port;
    const struct { std::uint32_t rate; std::int32_t code; } cases[] = {
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

// A regular file must keep its bytes: nothing is written to or flushed on what is not a terminal.
TEST_F(Port, AFreshChannelOrOneWhoseOpenWasRefusedIsClosedAndRefusesDeviceOperations)
{
    const TempDir dir;
    const std::string path = dir.file("notatty");
    ASSERT_TRUE(write_all(Fd(::open(path.c_str(), O_WRONLY | O_CREAT, 0600)).get(), "hostname\n"));
    ASSERT_EQ(::flock(pty.slave.get(), LOCK_EX | LOCK_NB), 0);
    const int fds = open_fd_count();
    const std::pair<std::string, int> cases[] = {{"", 0},
                                                 {path, ENOTTY},
                                                 {"/dev/null", ENOTTY},
                                                 {"/nonexistent/portwire-tty", ENOENT},
                                                 {pty.slave_path, EBUSY}};
    for (const auto& [target, err] : cases) {
        SCOPED_TRACE(target.empty() ? "fresh channel" : target);
        if (!target.empty()) {
            ASSERT_EQ(ch->bind(target.c_str(), 115200, 0), 1);
            EXPECT_EQ(ch->open(), 0);
            EXPECT_EQ(errno, err);
        }
        EXPECT_FALSE(ch->isOpened());
        EXPECT_EQ(send(std::string("\xE7\x7E\x04\x00\x1C", 5)), 0);
        EXPECT_EQ(receive(8), "");
        EXPECT_EQ(ch->rxqueue_count(), 0);
        std::uint32_t got = 77;
        EXPECT_EQ(ch->waitforrecv(0, &got), -1);
        EXPECT_EQ(ch->waitforsent(0, &got), 0);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(wait(1, 0).outcome(), Outcome(FAILED, 0u));
        for (std::uint32_t want : {0u, 1u})
            EXPECT_EQ(ch->waitfordata(want, 0, nullptr), FAILED);
        ch->flush(0);
        ch->setDTR();
        ch->clearDTR();
        ch->cancelOperation();
        ch->close();
        ch->close();
        EXPECT_FALSE(ch->isOpened());
        EXPECT_EQ(open_fd_count(), fds) << "a descriptor stayed open";
    }
    EXPECT_TRUE(ioctl_calls().empty()) << "a closed channel must not touch a device";
    EXPECT_EQ(read_until(Fd(::open(path.c_str(), O_RDONLY)).get(), kEnd, after(timeout())), "hostname\n");
    serial_rxtx::ReleaseRxTx(nullptr);  // ignored
}

// 256000 has no speed code: the explicit-rate path.
TEST_F(Port, OpenSetsARawExplicitRateLineAndClearsDtrAndTheLineRequestsReachThePort)
{
    struct stat slave;
    ASSERT_EQ(::fstat(pty.slave.get(), &slave), 0);
    open_on(pty, 256000);

    // BOTHER | CLOCAL | CREAD | CS8, and no other of the rate, size, stop, parity, hang-up and flow bits.
    auto expect_raw_at_256000 = [](const LineRecord& r, std::uint32_t cflag_mask) {
        EXPECT_EQ(r.cflag & cflag_mask, 0x18B0u);
        EXPECT_EQ(std::make_tuple(r.iflag, r.oflag, r.lflag, r.line, r.ispeed, r.ospeed),
                  std::make_tuple(0u, 0u, 0u, 0, 256000u, 256000u));
        EXPECT_TRUE(r.cc_all_zero) << "VMIN and VTIME must be 0";
    };
    // As handed to the kernel (seen under the emulator too), and as the port holds it at the end.
    const std::optional<LineRecord> sent = last_set().line;
    ASSERT_TRUE(sent);
    expect_raw_at_256000(*sent, ~0u);

    using Request = std::tuple<unsigned long, int, int, dev_t>;
    auto modem_requests = [&] {
        std::vector<Request> out;
        for (const auto& c : ioctl_calls())
            if (c.request == TIOCMBIS || c.request == TIOCMBIC)
                out.emplace_back(c.request, c.int_arg, c.fd, c.rdev);
        return out;
    };
    const Request clear{TIOCMBIC, TIOCM_DTR, last_set().fd, slave.st_rdev};
    const Request set{TIOCMBIS, TIOCM_DTR, last_set().fd, slave.st_rdev};
    EXPECT_EQ(modem_requests(), std::vector<Request>{clear}) << "open must clear DTR, once";

    ch->setDTR();
    ch->clearDTR();
    EXPECT_EQ(modem_requests(), (std::vector<Request>{clear, set, clear}));

    ch->close();
    ASSERT_EQ(ch->open(), 1);
    const Request reopened{TIOCMBIC, TIOCM_DTR, last_set().fd, slave.st_rdev};
    EXPECT_EQ(modem_requests(), (std::vector<Request>{clear, set, clear, reopened})) << "every open clears DTR";

    if (!termios2)
        GTEST_SKIP() << "the termios2 requests (TCGETS2/TCSETS2) fail under the emulator: "
                        "the settings the port holds cannot be read back";
    const auto held = read_line_settings(pty.slave.get());
    ASSERT_TRUE(held);
    expect_raw_at_256000(*held, 0x800019FFu);
}

TEST_F(Port, BindRefusesPathsThatDoNotFitAndOnAnOpenChannelNamesOnlyTheNextOpen)
{
    Pty other = open_pty(false);
    ASSERT_TRUE(other.master);
    const int base = open_fd_count();
    EXPECT_EQ(ch->bind(("/nonexistent/" + std::string(186, 'b')).c_str(), 9600, 0), 1) << "199 characters fit";
    ASSERT_EQ(ch->bind(pty.slave_path.c_str(), 9600, 0), 1);
    EXPECT_EQ(ch->bind(std::string(200, 'a').c_str(), 1200, 0), 0);
    EXPECT_EQ(ch->bind(nullptr, 1200, 0), 0);
    ASSERT_EQ(ch->open(), 1) << "the refused binds must not replace the bound path";
    ASSERT_TRUE(termios2 || make_raw(pty.slave.get()));
    const int opened = open_fd_count();
    EXPECT_EQ(opened, base + 3) << "the port and the two pipe ends";
    ASSERT_EQ(ch->open(), 1) << "re-open of the same path";
    EXPECT_EQ(open_fd_count(), opened) << "re-open must close the old port and pipe first";

    ASSERT_EQ(ch->bind(other.slave_path.c_str(), 9600, 0), 1);
    EXPECT_TRUE(ch->isOpened());
    EXPECT_EQ(send("one"), 3);
    EXPECT_EQ(read_until(pty.master.get(), 3, after(timeout())), "one");
    ASSERT_EQ(ch->open(), 1);
    ASSERT_TRUE(termios2 || make_raw(other.slave.get()));
    EXPECT_EQ(open_fd_count(), opened);
    EXPECT_EQ(send("two"), 3);
    EXPECT_EQ(read_until(other.master.get(), 3, after(timeout())), "two");
    EXPECT_FALSE(read_until(pty.master.get(), 1, after(milliseconds(100)))) << "old port still written";
    serial_rxtx::ReleaseRxTx(ch);
    ch = nullptr;
    EXPECT_EQ(open_fd_count(), base) << "a channel released while open";
}

TEST_F(Port, BytesPassUnchangedBothWaysShortWritesAreContinuedAndAFullQueueOrAWriteOfNothingEndsASend)
{
    open_on(pty);
    const std::string bytes("raw\r\n\x03\x04\x11\x13\x7f\0end", 14);

    EXPECT_EQ(send(bytes), 14);
    EXPECT_EQ(read_until(pty.master.get(), bytes.size(), after(timeout())), bytes);
    EXPECT_EQ(last_sent(), 14u);

    feed(bytes);
    expect_queued(14);
    EXPECT_EQ(receive(64), bytes);
    EXPECT_EQ(last_received(), 14u);
    EXPECT_FALSE(read_until(pty.master.get(), 1, after(milliseconds(100)))) << "input was echoed";

    EXPECT_EQ(ch->senddata(nullptr, 5), 0);
    EXPECT_EQ(ch->senddata(reinterpret_cast<const unsigned char*>("x"), 0), 0);
    EXPECT_EQ(last_sent(), 14u);
    inject("read", 1, 1, EIO);
    EXPECT_EQ(receive(64), "");
    EXPECT_EQ(last_received(), 0u);

    const std::string big(1 << 20, 'z');
    const int sent = send(big);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_EQ(last_sent(), static_cast<std::uint32_t>(sent));
    ASSERT_TRUE(read_until(pty.master.get(), sent, after(timeout())));

    const std::string text = "0123456789abcdefghij";
    inject("write", 1, 0, EIO, 3);
    EXPECT_EQ(send(text), 20);
    EXPECT_EQ(injected_hits(), 7);
    EXPECT_EQ(read_until(pty.master.get(), text.size(), after(timeout())), text);
    inject("write", 1, 1, EIO, 0);
    EXPECT_EQ(send(text), 0);
    EXPECT_EQ(last_sent(), 0u);
    EXPECT_EQ(injected_hits(), 1);
}

TEST_F(Port, WaitReturnsAtOnceWithEnoughQueuedOrNoTimeLeft)
{
    open_on(pty);
    for (const std::string queued : {"", "four"}) {
        feed(queued);
        expect_queued(queued.size());
        for (std::uint32_t want : {0u, 1u, 3u, 4u, 5u}) {
            SCOPED_TRACE(std::to_string(want) + " wanted, " + std::to_string(queued.size()) + " queued");
            const bool enough = want <= queued.size();
            const Wait w = wait(want, 0);
            EXPECT_EQ(w.outcome(), Outcome(enough ? READY : TIMED_OUT, enough ? queued.size() : 0u));
            EXPECT_EQ(ch->waitfordata(want, 0, nullptr), w.result);
        }
        EXPECT_EQ(ch->rxqueue_count(), static_cast<int>(queued.size()));
    }
    EXPECT_EQ(receive(16), "four");
    feed("stale");
    expect_queued(5);
    ch->flush(0);
    EXPECT_EQ(receive(16), "");
}

// At 50 baud the wait pauses between passes; a quiet line must be polled with back-off, not every 1 ms.
TEST_F(PortFaults, AWaitEndsWithTheBytesThatArriveOrAtOnceOnACancellationOrAFailedPollNotOnAFailedPauseOrAQuietLine)
{
    const struct {
        std::uint32_t baud;
        std::string queued;
        std::uint32_t want, ms;
        int look;             // at the port's queue by the wait, after which the far end acts (0: never)
        std::string arrives;  // what the far end then writes; nothing: it cancels the wait
        int failing_poll;     // of the wait (0: none)
        std::int32_t result;
        int max_looks;  // at the port's queue during the wait (0: not counted)
    } cases[] = {
        {115200, "", 1, kLongWaitMs, 1, "", 0, TIMED_OUT, 0},
        {50, "1", 1000, kLongWaitMs, 2, "", 0, TIMED_OUT, 0},
        {115200, "", 1, kLongWaitMs, 0, "", 1, FAILED, 0},
        {115200, "a", 3, 1000, 0, "", 2, TIMED_OUT, 0},
        {115200, "abc", 10, 300, 0, "", 0, TIMED_OUT, 60},
        {115200, "12345", 10, kLongWaitMs, 2, "67890", 0, READY, 0},
        {0, "12345", 10, kLongWaitMs, 2, "67890", 0, READY, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("rate " + std::to_string(c.baud) + ", " + std::to_string(c.want) + " wanted, far end after look " +
                     std::to_string(c.look) + ", failing poll " + std::to_string(c.failing_poll));
        open_on(pty, c.baud);
        feed(c.queued);
        expect_queued(c.queued.size());
        const int fd = last_set().fd;
        const int seen = fionread_count(fd);
        inject("ppoll", c.failing_poll, 1, EINTR);
        std::thread far_end([&] {
            if (c.look == 0)
                return;
            EXPECT_TRUE(wait_fionread(fd, seen + c.look, after(timeout())));
            if (c.arrives.empty())
                ch->cancelOperation();
            else
                EXPECT_TRUE(write_all(pty.master.get(), c.arrives));
        });
        const Wait w = wait(c.want, c.ms);
        far_end.join();
        EXPECT_EQ(w.outcome(), Outcome(c.result, c.result == READY ? c.want : 0u));
        EXPECT_EQ(w.ms < c.ms, c.ms == kLongWaitMs) << w.ms << " ms";
        EXPECT_EQ(injected_hits(), c.failing_poll > 0 ? 1 : 0);
        if (c.max_looks > 0) {
            EXPECT_LT(fionread_count(fd) - seen, c.max_looks) << "the quiet line was polled without backing off";
        }
        EXPECT_EQ(receive(16), c.queued + c.arrives) << "the queued bytes stay";
        expect_whole_timeout();
    }
}

// Above descriptor 1024 select could not watch the port and pipe.
TEST_F(Port, PendingCancelsEndTheNextBlockedWaitOnlyAndCloseDropsThemAlsoAboveDescriptor1024)
{
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit raised = saved;
    raised.rlim_cur = std::max<rlim_t>(saved.rlim_cur, FD_SETSIZE + 16);
    const bool high = raised.rlim_cur <= raised.rlim_max && ::setrlimit(RLIMIT_NOFILE, &raised) == 0;
    std::vector<Fd> fillers;
    for (Fd f(::dup(pty.master.get())); high && f && f.get() < FD_SETSIZE; f = Fd(::dup(pty.master.get())))
        fillers.push_back(std::move(f));
    open_on(pty);
    EXPECT_GE(last_pipe_read_end(), high ? FD_SETSIZE : 0) << "could not take every lower descriptor";
    fillers.clear();

    expect_whole_timeout(1, 50);
    feed("ok");
    expect_queued(2);
    for (int i = 0; i < 3; i++)
        ch->cancelOperation();
    EXPECT_EQ(queued(last_pipe_read_end()), 3);
    expect_queued(2);
    EXPECT_EQ(receive(4), "ok");
    EXPECT_EQ(queued(last_pipe_read_end()), 3) << "the wait that had enough took a cancellation";

    expect_cancelled(wait(1, kLongWaitMs));
    EXPECT_EQ(queued(last_pipe_read_end()), 0) << "all three bytes drained";
    expect_whole_timeout();

    ch->cancelOperation();
    ch->close();
    ch->cancelOperation();  // closed: nothing to write to
    ASSERT_EQ(ch->open(), 1);
    expect_whole_timeout();
    ch->close();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    if (!high)
        GTEST_SKIP() << "cannot raise the descriptor limit above " << FD_SETSIZE << ": checked below it only";
}

// fcntl 2-3 set the pipe's read end (blocking, it still serves), 4-5 its write end (blocking: pipe dropped).
TEST_F(PortFaults, AFailingCallOfOpen)
{
    const struct {
        const char* call;
        int nth, err;
        bool reopen;           // the channel is open when the failing open begins
        int fds;               // held after it: none (the open fails), the port alone (1), or with the pipe (3)
        bool read_end_blocks;  // of the pipe
    } cases[] = {
        {"none", 0, 0, false, 3, false},
        {"open", 1, EBUSY, true, 0, false},
        {"fcntl", 1, EIO, false, 0, false},
        {"fcntl", 2, EBADF, false, 3, true},
        {"fcntl", 3, EBADF, false, 3, true},
        {"fcntl", 4, EBADF, false, 1, false},
        {"fcntl", 5, EBADF, false, 1, false},
        {"pipe", 1, EMFILE, false, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " call " + std::to_string(c.nth));
        const int base = open_fd_count();
        const std::string found = terminal_settings(pty.slave.get());
        ASSERT_EQ(ch->bind(pty.slave_path.c_str(), 115200, 0), 1);
        if (c.reopen) {
            ASSERT_EQ(ch->open(), 1);
        }
        inject(c.call, c.nth, 1, c.err);
        EXPECT_EQ(ch->open(), c.fds > 0 ? 1 : 0);
        EXPECT_EQ(ch->isOpened(), c.fds > 0);
        EXPECT_EQ(open_fd_count(), base + c.fds);
        EXPECT_EQ(injected_hits(), c.nth > 0 ? 1 : 0);
        if (c.fds == 0) {
            ch->cancelOperation();
            EXPECT_EQ(wait(1, 200).outcome(), Outcome(FAILED, 0u));
            EXPECT_EQ(terminal_settings(pty.slave.get()), found);
            continue;
        }
        ASSERT_TRUE(termios2 || make_raw(pty.slave.get()));
        const int rd = last_pipe_read_end();
        if (c.fds == 3) {
            EXPECT_EQ(::fcntl(rd, F_GETFL) & O_NONBLOCK, c.read_end_blocks ? 0 : O_NONBLOCK);
        }
        for (int cancels : {2, 70000}) {  // the pipe holds 65536 bytes
            for (int i = 0; i < cancels; i++)
                ch->cancelOperation();
            if (c.fds == 3) {
                expect_cancelled(wait(1, kLongWaitMs));
                EXPECT_EQ(queued(rd), 0);
            }
            expect_whole_timeout();
        }
        feed("data");
        expect_queued(4);
        EXPECT_EQ(receive(8), "data");
        ch->close();
        EXPECT_EQ(open_fd_count(), base);
        EXPECT_EQ(terminal_settings(pty.slave.get()), found);
    }
}

using PortwireStress = Port;

// An unpaced canceller must not keep the waiter draining the pipe past its time-out.
TEST_F(PortwireStress, HammeredWaiterAlwaysEndsWithAValidResultInTime)
{
    const std::uint32_t wait_ms = 100;
    const std::int64_t slack_ms = timeout(milliseconds(1000)).count();
    const struct { int waits; bool paced; } runs[] = {{2000, true}, {500, false}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.paced ? "paced canceller" : "unpaced canceller");
        open_on(pty);
        const Deadline stop = after(timeout(milliseconds(20000)));
        std::atomic<bool> done{false};
        std::atomic<long> cancels{0};
        std::thread canceller([&] {
            std::minstd_rand rng(7);
            while (!done && mono_ms() < stop) {
                const int burst = run.paced ? 1 + static_cast<int>(rng() % 50) : 1000;
                for (int k = 0; k < burst; k++)
                    ch->cancelOperation();
                cancels += burst;
                if (run.paced)
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
            }
        });
        std::thread feeder([&] {
            while (!done && mono_ms() < stop) {
                write_all(pty.master.get(), "f", 1);
                std::this_thread::sleep_for(milliseconds(3));
            }
        });
        int waited = 0;
        for (; waited < run.waits && mono_ms() < stop; waited++) {
            const std::uint32_t want = 1 + static_cast<std::uint32_t>(waited % 4);
            const Wait w = wait(want, wait_ms);
            if (w.result == READY)
                receive(64);
            const bool valid = (w.result == READY && w.got >= want) || (w.result == TIMED_OUT && w.got == 0);
            if (!valid || w.ms > wait_ms + slack_ms) {
                ADD_FAILURE() << "wait " << waited << ": result " << w.result << ", count " << w.got << ", " << w.ms
                              << " ms";
                break;
            }
        }
        done = true;
        canceller.join();
        feeder.join();
        EXPECT_EQ(waited, run.waits) << "the run stopped early";
        EXPECT_GT(cancels, 0);
    }
}

}  // namespace
