// portwait: how a wait for received bytes behaves on a pseudo-terminal fed at
// the line rate. Per wait a writer thread writes --want bytes to the master,
// each no earlier than the line would deliver it (--bits a byte: 10 for 8N1
// as a UART sends it, 8 for the data bits alone); the main thread waits for
// them all on the slave with portwire's waitfordata() and takes them with
// recvdata(), or with the naive wait that wakes for every arrival and reads.
// With --quiet M the last M bytes never come and every wait times out (3 s).
//
//   portwait --csv FILE [--impl portwire|naive] [--baud B] [--want N] [--waits K]
//            [--bits 10] [--quiet M]
//
// Per wait: the waiting thread's passes (polls on the port) and pauses
// (usleep, a poll without the port), counted by link-time wrappers of the C
// library calls (-Wl,--wrap), so portwire is unchanged; its CPU time, and as
// a share of one core; how late it returned after the last byte was written.
// One CSV row of medians and maxima over the waits.

#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>

#include <thread>

#include "benchlib.h"
#include "portwire/serial_rxtx.h"

using namespace bench;

// Counters of the waiting thread: the wrappers count only while its own flag
// is on, so that the writer's pacing stays out.
static thread_local bool counting = false;
static unsigned n_pass = 0, n_pause = 0;
static int port_fd = -1;

extern "C" {
int __real_ppoll(pollfd*, nfds_t, const timespec*, const sigset_t*);
int __real_usleep(useconds_t);

int __wrap_ppoll(pollfd* f, nfds_t n, const timespec* t, const sigset_t* m)
{
    bool port = false;
    for (nfds_t i = 0; i < n; i++)
        port = port || f[i].fd == port_fd;
    (port ? n_pass : n_pause) += counting;
    return __real_ppoll(f, n, t, m);
}
int __wrap_usleep(useconds_t us)
{
    n_pause += counting;
    return __real_usleep(us);
}
}

namespace {

// Writes n bytes to the master at the line rate, starting 1 ms from now so
// that the waiter is inside its wait; returns when the last was written.
uint64_t write_burst(int master, unsigned n, double byte_us)
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    static const uint8_t zeros[4096] = {0};
    const uint64_t begin = mono_us() + 1000;
    uint64_t last = 0;
    for (unsigned written = 0; written < n;) {
        uint64_t now = mono_us();
        unsigned due = now < begin ? 0 : (unsigned)std::min<double>(n, (double)(now - begin) / byte_us);
        if (due > written) {
            ssize_t w = write(master, zeros, std::min<size_t>(due - written, sizeof(zeros)));
            if (w < 0 && errno != EAGAIN && errno != EINTR)
                die("write to the pty master: %s", strerror(errno));
            written += w > 0 ? (unsigned)w : 0;
            last = mono_us();
            continue;
        }
        // Until the next byte is due, but 100 us at least: at high rates the
        // bytes go out in small paced chunks.
        uint64_t next = std::max(begin + (uint64_t)((written + 1) * byte_us), now + 100);
        timespec ts = {(time_t)(next / 1000000), (long)(next % 1000000) * 1000};  // mono_us's clock
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    return last;
}

// The descriptor this process holds open on path (the channel keeps its own).
int find_fd(const std::string& path)
{
    for (int fd = 0; fd < 1024; fd++) {
        char link[64], target[256];
        snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof(target) - 1);
        if (n > 0 && path == std::string(target, (size_t)n))
            return fd;
    }
    die("no descriptor open on %s", path.c_str());
}

// The naive wait: wake on every arrival and read it. 0, or -1 at the time-out.
int naive_wait(int fd, unsigned want, unsigned timeout_ms, uint8_t* buf)
{
    const uint64_t deadline = mono_us() + (uint64_t)timeout_ms * 1000;
    for (unsigned have = 0; have < want;) {
        uint64_t now = mono_us();
        if (now >= deadline)
            return -1;
        pollfd p = {fd, POLLIN, 0};
        timespec ts = {(time_t)((deadline - now) / 1000000), (long)((deadline - now) % 1000000) * 1000};
        if (ppoll(&p, 1, &ts, nullptr) > 0) {
            ssize_t n = read(fd, buf + have, want - have);
            have += n > 0 ? (unsigned)n : 0;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Args a(argc, argv);
    std::string file = a.str("csv", "/dev/null"), impl = a.str("impl", "portwire");
    unsigned baud = (unsigned)a.num("baud", 115200), want = (unsigned)a.num("want", 100);
    int waits = (int)a.num("waits", 20);
    unsigned bits = (unsigned)a.num("bits", 10), quiet = (unsigned)a.num("quiet", 0);
    const unsigned timeout_ms = quiet ? 3000 : 5000;
    a.done();
    if (!a.rest.empty())
        die("unexpected argument %s (options are --name value)", a.rest[0].c_str());
    if (impl != "portwire" && impl != "naive")
        die("--impl is portwire or naive");
    // The terminal's input queue holds 4095 bytes in raw mode.
    if (want < 1 || want > 4000 || quiet >= want || baud < 1 || waits < 1 || bits < 1)
        die("need --want 1..4000, --quiet below it, and --baud, --waits and --bits of 1 or more");

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master))
        die("pseudo-terminal: %s", strerror(errno));
    std::string slave = ptsname(master);
    termios t;
    tcgetattr(master, &t);
    cfmakeraw(&t);  // the master passes what it is given unchanged
    tcsetattr(master, TCSANOW, &t);

    orv::hal::serial_rxtx* port = nullptr;
    if (impl == "portwire") {
        port = orv::hal::serial_rxtx::CreateRxTx();
        port->bind(slave.c_str(), baud, 0);
        if (port->open() != 1)
            die("portwire could not open %s", slave.c_str());
        port_fd = find_fd(slave);
    } else {
        port_fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (port_fd < 0)
            die("open %s: %s", slave.c_str(), strerror(errno));
        tcgetattr(port_fd, &t);
        cfmakeraw(&t);  // reads return at once: the descriptor does not block
        tcsetattr(port_fd, TCSANOW, &t);
    }

    static uint8_t buf[8192];
    std::vector<double> passes, pauses, cpu, late_ms, cpu_percent;
    for (int k = 0; k < waits; k++) {
        // From an empty queue.
        while (port ? port->recvdata(buf, sizeof(buf)) > 0 : read(port_fd, buf, sizeof(buf)) > 0) {
        }
        if (port && port->rxqueue_count() != 0)
            die("the queue did not empty");
        uint64_t last_us = 0;
        std::thread writer([&] { last_us = write_burst(master, want - quiet, (double)bits * 1e6 / baud); });
        n_pass = n_pause = 0;
        counting = true;
        const uint64_t wall0 = mono_us();
        const double cpu0 = cpu_us(CLOCK_THREAD_CPUTIME_ID);
        uint64_t ret_us;
        bool timed_out;
        if (port) {
            uint32_t got = 0;
            int r = port->waitfordata(want, timeout_ms, &got);
            ret_us = mono_us();
            int n = port->recvdata(buf, want);  // taking the bytes is part of the wait's CPU
            timed_out = r == orv::hal::serial_rxtx::WAIT_TIMEOUT;
            if (r == orv::hal::serial_rxtx::WAIT_READY ? got < want || n != (int)want : !timed_out)
                die("waitfordata ended with %d and %u bytes, recvdata gave %d of %u", r, got, n, want);
        } else {
            timed_out = naive_wait(port_fd, want, timeout_ms, buf) != 0;
            ret_us = mono_us();
        }
        const double cpu1 = cpu_us(CLOCK_THREAD_CPUTIME_ID);
        counting = false;
        writer.join();
        if (timed_out != (quiet > 0))
            die("wait %d of %u bytes at %u baud %s", k, want, baud, quiet ? "did not time out" : "timed out");
        passes.push_back(n_pass);
        pauses.push_back(n_pause);
        cpu.push_back(cpu1 - cpu0);
        // Below 0 when the wait returned before the writer read the clock.
        late_ms.push_back(((double)ret_us - (double)last_us) / 1e3);
        cpu_percent.push_back(100.0 * (cpu1 - cpu0) / (double)(ret_us - wall0));
    }
    if (port)
        orv::hal::serial_rxtx::ReleaseRxTx(port);
    close(port_fd);
    close(master);

    std::vector<std::string> row = {impl, fmt(bits), fmt(baud), fmt(want)};
    auto stats = [&](std::vector<std::vector<double>*> list) {
        for (std::vector<double>* v : list)
            row.insert(row.end(), {fmt(quantile(*v, 0.5)), fmt(quantile(*v, 1))});
    };
    if (quiet) {
        row.insert(row.end(), {fmt(quiet), fmt(timeout_ms), fmt(waits)});
        stats({&passes, &cpu, &cpu_percent});
        csv(file, "impl,bits,baud,want,quiet,timeout_ms,waits,passes_median,passes_max,cpu_us_median,cpu_us_max,"
                  "cpu_percent_median,cpu_percent_max", row);
        return 0;
    }
    // The wait's own estimate of the whole burst: 8 bits a byte.
    row.insert(row.end(), {fmt(waits), fmt(want * 8000.0 / baud)});
    stats({&passes, &pauses, &cpu});
    row.insert(row.end(), {fmt(quantile(late_ms, 0.5)), fmt(quantile(late_ms, 0.9)), fmt(quantile(late_ms, 1))});
    csv(file, "impl,bits,baud,want,waits,estimate_ms,passes_median,passes_max,sleeps_median,sleeps_max,"
              "cpu_us_median,cpu_us_max,late_ms_median,late_ms_p90,late_ms_max", row);
    return 0;
}
