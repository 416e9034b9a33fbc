// Hardening of the serial port: a canceller thread hammering a waiting
// thread, and thousands of open/close cycles counted against the process's
// open descriptors. Meant to run under the thread sanitizer as well.
#include "portwire/raw_serial.h"
#include "portwire/serial_rxtx.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

using namespace testsupport;
using orv::hal::serial_rxtx;

namespace {

constexpr std::int32_t READY = serial_rxtx::WAIT_READY;
constexpr std::int32_t TIMED_OUT = serial_rxtx::WAIT_TIMEOUT;

// A channel on a raw pseudo-terminal whose master end the test plays.
struct Line {
    Pty pty = open_pty(true);
    serial_rxtx* ch = serial_rxtx::CreateRxTx();

    Line()
    {
        EXPECT_TRUE(pty.master) << "no pseudo-terminal";
        EXPECT_EQ(ch->bind(pty.slave_path.c_str(), 115200, 0), 1);
    }
    ~Line() { serial_rxtx::ReleaseRxTx(ch); }
};

// What the waiting thread saw.
struct WaitStats {
    int waits = 0, ready = 0, timed_out = 0, bad = 0;
    long cancels = 0;
    std::int64_t longest_ms = 0;
    std::string first_bad;
};

// The waiter loops on `waits` waits of 100 ms for one to four bytes while a
// feeder sends a byte now and then and a canceller calls cancelOperation:
// in bursts of up to 50 calls with pauses of up to half a millisecond when
// `paced`, else as fast as it can. A wait counts as bad unless it ends
// ready with at least the wanted count or timed out with a count of 0 (the
// channel stays open, so never failed), within its time-out and some slack.
// The whole run is bounded by a deadline, which ends the waiter early.
WaitStats hammer(Line& line, int waits, bool paced)
{
    const std::uint32_t wait_ms = 100;
    const std::int64_t slack_ms = timeout(milliseconds(1000)).count();
    const Deadline stop = after(timeout(milliseconds(20000)));
    std::atomic<bool> done{false};
    std::atomic<long> cancels{0};
    WaitStats stats;

    std::thread waiter([&] {
        unsigned char buf[64];
        for (int i = 0; i < waits && Clock::now() < stop; i++) {
            const std::uint32_t want = 1 + static_cast<std::uint32_t>(i % 4);
            std::uint32_t got = 12345;
            const auto t0 = Clock::now();
            const std::int32_t r = line.ch->waitfordata(want, wait_ms, &got);
            const std::int64_t took = ms_since(t0);
            stats.waits++;
            stats.longest_ms = std::max(stats.longest_ms, took);
            const bool valid = (r == READY && got >= want) || (r == TIMED_OUT && got == 0);
            if (r == READY) {
                stats.ready++;
                line.ch->recvdata(buf, sizeof(buf));
            } else if (r == TIMED_OUT) {
                stats.timed_out++;
            }
            if (!valid || took > static_cast<std::int64_t>(wait_ms) + slack_ms) {
                if (stats.bad++ == 0)
                    stats.first_bad = "wait " + std::to_string(i) + ": result " + std::to_string(r) + ", count " +
                                      std::to_string(got) + ", " + std::to_string(took) + " ms";
            }
        }
        done = true;
    });
    std::thread canceller([&] {
        std::minstd_rand rng(7);
        while (!done && Clock::now() < stop) {
            const int burst = paced ? 1 + static_cast<int>(rng() % 50) : 1000;
            for (int k = 0; k < burst; k++)
                line.ch->cancelOperation();
            cancels += burst;
            if (paced)
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
        }
    });
    std::thread feeder([&] {
        while (!done && Clock::now() < stop) {
            write_all(line.pty.master.get(), "f", 1);
            std::this_thread::sleep_for(milliseconds(3));
        }
    });
    waiter.join();
    canceller.join();
    feeder.join();
    stats.cancels = cancels;
    return stats;
}

// After the hammering the channel still works as before: pending
// cancellations (whatever the hammering left, and three more) end one wait
// at once, and then nothing is pending any more.
void expect_pipe_settles(Line& line)
{
    unsigned char buf[256];
    while (line.ch->recvdata(buf, sizeof(buf)) > 0) {
    }
    for (int i = 0; i < 3; i++)
        line.ch->cancelOperation();
    std::uint32_t got = 9;
    auto t0 = Clock::now();
    EXPECT_EQ(line.ch->waitfordata(1000, 30000, &got), TIMED_OUT);
    EXPECT_LT(ms_since(t0), timeout().count()) << "the cancellations were lost";
    t0 = Clock::now();
    EXPECT_EQ(line.ch->waitfordata(1000, 200, &got), TIMED_OUT);
    EXPECT_GE(ms_since(t0), 200) << "a cancellation was still pending";
}

}  // namespace

// A canceller that pauses between cancellations, and one that never pauses
// (which must not keep the waiter draining the pipe past its time-out).
TEST(PortwireStress, HammeredWaiterAlwaysEndsWithAValidResultInTime)
{
    for (const auto& [waits, paced] : {std::pair<int, bool>{2000, true}, std::pair<int, bool>{500, false}}) {
        SCOPED_TRACE(paced ? "paced canceller" : "unpaced canceller");
        Line line;
        ASSERT_EQ(line.ch->open(), 1);
        const WaitStats stats = hammer(line, waits, paced);
        EXPECT_EQ(stats.waits, waits) << "the run passed its deadline";
        EXPECT_EQ(stats.bad, 0) << stats.first_bad << " (longest " << stats.longest_ms << " ms)";
        if (paced) {
            EXPECT_GT(stats.cancels, 0);
            RecordProperty("cancels", std::to_string(stats.cancels));
            RecordProperty("ready", stats.ready);
            RecordProperty("timed_out", stats.timed_out);
            RecordProperty("longest_ms", std::to_string(stats.longest_ms));
        }
        expect_pipe_settles(line);
    }
}

// Thousands of cycles of open and close, of open on an open channel, of a
// failed open, and of a channel released while open: afterwards the process
// holds exactly the descriptors it held before.
TEST(PortwireStress, OpenCloseCyclesLeakNoDescriptor)
{
    const int cycles = 3000;
    Line line;
    const int base = open_fd_count();
    ASSERT_GT(base, 0);

    for (int i = 0; i < cycles; i++) {
        ASSERT_EQ(line.ch->open(), 1) << "cycle " << i;
        if (i % 100 == 0) {
            ASSERT_EQ(open_fd_count(), base + 3) << "the port and the two pipe ends, cycle " << i;
        }
        line.ch->cancelOperation();
        ASSERT_EQ(line.ch->open(), 1) << "reopen, cycle " << i;  // on the open channel
        line.ch->close();
    }
    EXPECT_EQ(open_fd_count(), base) << "after open, reopen and close";

    const std::string missing = line.pty.slave_path + "-missing";
    for (int i = 0; i < cycles; i++) {
        ASSERT_EQ(line.ch->bind(line.pty.slave_path.c_str(), 9600, 0), 1);
        ASSERT_EQ(line.ch->open(), 1);
        ASSERT_EQ(line.ch->bind(missing.c_str(), 9600, 0), 1);
        ASSERT_EQ(line.ch->open(), 0) << "cycle " << i;
        ASSERT_FALSE(line.ch->isOpened());
    }
    EXPECT_EQ(open_fd_count(), base) << "after opens that failed on an open channel";

    for (int i = 0; i < cycles; i++) {
        serial_rxtx* ch = serial_rxtx::CreateRxTx();
        ASSERT_EQ(ch->bind(line.pty.slave_path.c_str(), 57600, 0), 1);
        ASSERT_EQ(ch->open(), 1);
        serial_rxtx::ReleaseRxTx(ch);
    }
    EXPECT_EQ(open_fd_count(), base) << "after channels released while open";
    RecordProperty("cycles", std::to_string(3 * cycles));
}
