// portwire_probe: drives the serial port through one scenario and prints what
// it saw, one "key=value ..." line per step, for the fault-injection tests,
// which run it with a failing platform call and play the far end of the
// device on a pseudo-terminal.
//
// Usage: portwire_probe <scenario> <device> [arguments]
//   open                 open, cancel a wait (when there is a pipe), wait
//                        again, close
//   reopen               open, then open the open channel again
//   flood <n>            open, cancel n times with no wait, then wait (when
//                        there is a pipe)
//   wait <have> <want> <ms>
//                        open, print "ready", wait until <have> bytes are
//                        queued, then wait for <want> bytes for <ms> ms, and
//                        once more for 200 ms
//   send <text>          open, send the text, report the count
#include "portwire/raw_serial.h"
#include "portwire/serial_rxtx.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using orv::hal::serial_rxtx;

namespace {

using Clock = std::chrono::steady_clock;

// Long enough that only a cancellation ends such a wait early.
constexpr std::uint32_t kCancelWaitMs = 20000;

// Open descriptors of this process, from /proc (the C library lists the
// directory without the calls that the fault library intercepts).
int fd_count()
{
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    int n = 0;
    while (const dirent* e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

long long ms_since(Clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// One wait, reported as "<label>=<result> got=<count> ms=<elapsed>".
void timed_wait(serial_rxtx* ch, const char* label, std::uint32_t want, std::uint32_t ms)
{
    std::uint32_t got = 12345;
    const auto t0 = Clock::now();
    const int r = ch->waitfordata(want, ms, &got);
    std::printf("%s=%d got=%u ms=%lld\n", label, r, got, ms_since(t0));
}

// Opens the channel and reports it; "pipe" tells whether the open made the
// cancellation pipe (the port and two more descriptors).
bool open_on(serial_rxtx* ch, const char* dev, int base, bool* pipe = nullptr)
{
    ch->bind(dev, 115200, 0);
    const int r = ch->open();
    const int fds = fd_count() - base;
    std::printf("open=%d opened=%d fds=%d pipe=%d\n", r, ch->isOpened() ? 1 : 0, fds, fds == 3 ? 1 : 0);
    if (pipe != nullptr)
        *pipe = fds == 3;
    return r == 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s open|reopen|flood|wait|send <device> [arguments]\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string scenario = argv[1];
    const char* dev = argv[2];
    const int base = fd_count();
    serial_rxtx* ch = serial_rxtx::CreateRxTx();

    bool pipe = false;
    if (scenario == "open") {
        // Without the pipe a wait cannot be cancelled: nothing to try.
        if (open_on(ch, dev, base, &pipe) && pipe) {
            ch->cancelOperation();
            timed_wait(ch, "cancelled", 1, kCancelWaitMs);
            timed_wait(ch, "after", 1, 200);
        }
    } else if (scenario == "reopen") {
        open_on(ch, dev, base);
        open_on(ch, dev, base);
        ch->cancelOperation();
        timed_wait(ch, "closed", 1, 200);
    } else if (scenario == "flood" && argc > 3) {
        const long n = std::atol(argv[3]);
        if (open_on(ch, dev, base, &pipe)) {
            for (long i = 0; i < n; i++)
                ch->cancelOperation();
            std::printf("flooded=%ld\n", n);
            if (pipe) {
                timed_wait(ch, "cancelled", 1, kCancelWaitMs);
                timed_wait(ch, "after", 1, 200);
            }
        }
    } else if (scenario == "wait" && argc > 5) {
        const std::uint32_t have = static_cast<std::uint32_t>(std::atol(argv[3]));
        const std::uint32_t want = static_cast<std::uint32_t>(std::atol(argv[4]));
        const std::uint32_t ms = static_cast<std::uint32_t>(std::atol(argv[5]));
        if (open_on(ch, dev, base)) {
            std::printf("ready\n");
            // Watched through the queue count alone, so that no poll is
            // made before the wait under test.
            const auto t0 = Clock::now();
            while (static_cast<std::uint32_t>(ch->rxqueue_count()) < have && ms_since(t0) < 20000)
                usleep(1000);
            timed_wait(ch, "wait", want, ms);
            std::printf("queued=%d\n", ch->rxqueue_count());
            timed_wait(ch, "again", want, 200);
        }
    } else if (scenario == "send" && argc > 3) {
        if (open_on(ch, dev, base)) {
            const int n = ch->senddata(reinterpret_cast<const unsigned char*>(argv[3]),
                                       static_cast<std::uint32_t>(std::strlen(argv[3])));
            std::uint32_t reported = 0;
            ch->waitforsent(0, &reported);
            std::printf("sent=%d reported=%u\n", n, reported);
        }
    } else {
        std::fprintf(stderr, "unknown scenario %s\n", argv[1]);
        serial_rxtx::ReleaseRxTx(ch);
        return 2;
    }
    ch->close();
    std::printf("fds_at_end=%d\n", fd_count() - base);
    serial_rxtx::ReleaseRxTx(ch);
    return 0;
}
