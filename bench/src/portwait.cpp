// portwait: how a wait for bytes behaves on a pseudo-terminal fed at the line rate (--bits a byte) by a writer thread:
// portwire's waitfordata() and recvdata(), or the naive wait that wakes for every arrival. With --quiet M the last M
// of the --want bytes never come and every wait times out (3 s). One CSV row of medians and maxima over the waits.
//   portwait --csv FILE [--impl portwire|naive] [--baud B] [--want N] [--waits K] [--bits 10] [--quiet M]

#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>

#include <thread>

#include "benchlib.h"
#include "portwire/serial_rxtx.h"

// Passes (polls on the port) and pauses (usleep, a poll without the port) of the waiting thread: link-time wrappers
// (-Wl,--wrap) count them while its flag is on, so that portwire is unchanged and the writer's pacing stays out.
static thread_local bool counting = false;
static unsigned n_pass = 0, n_pause = 0;
static int port_fd = -1;

extern "C" {
int __real_ppoll(pollfd*, nfds_t, const timespec*, const sigset_t*);
int __real_usleep(useconds_t);
int __wrap_ppoll(pollfd* f, nfds_t n, const timespec* t, const sigset_t* m)
{
    (std::any_of(f, f + n, [](const pollfd& p) { return p.fd == port_fd; }) ? n_pass : n_pause) += counting;
    return __real_ppoll(f, n, t, m);
}
int __wrap_usleep(useconds_t us)
{
    n_pause += counting;
    return __real_usleep(us);
}
}

// Writes n bytes to the master at the line rate from 1 ms on (the waiter in its wait); returns the last write's time.
static uint64_t write_burst(int master, unsigned n, double byte_us)
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
        // Until the next byte is due, but 100 us at least: small paced chunks at high rates.
        uint64_t next = std::max(begin + (uint64_t)((written + 1) * byte_us), now + 100);
        timespec ts = {(time_t)(next / 1000000), (long)(next % 1000000) * 1000};  // mono_us's clock
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    return last;
}

// The descriptor this process holds open on the terminal path (the channel keeps its own).
static int find_fd(const std::string& path)
{
    for (int fd = 0; fd < 1024; fd++)
        if (ttyname(fd) && path == ttyname(fd))
            return fd;
    die("no descriptor open on %s", path.c_str());
}

// The naive wait: wake on every arrival and read it. false at the time-out.
static bool naive_wait(int fd, unsigned want, unsigned timeout_ms, uint8_t* buf)
{
    const uint64_t deadline = mono_us() + (uint64_t)timeout_ms * 1000;
    for (unsigned have = 0; have < want;) {
        uint64_t now = mono_us();
        if (now >= deadline)
            return false;
        pollfd p = {fd, POLLIN, 0};
        timespec ts = {(time_t)((deadline - now) / 1000000), (long)((deadline - now) % 1000000) * 1000};
        ssize_t n = ppoll(&p, 1, &ts, nullptr) > 0 ? read(fd, buf + have, want - have) : 0;
        have += n > 0 ? (unsigned)n : 0;
    }
    return true;
}

int main(int argc, char** argv)
{
    std::string file = "/dev/null", impl = "portwire";
    unsigned baud = 115200, want = 100, waits = 20, bits = 10, quiet = 0;
    const std::vector<std::string> rest = Args(argc, argv).get("csv", file).get("impl", impl).get("baud", baud)
        .get("want", want).get("waits", waits).get("bits", bits).get("quiet", quiet).done();
    const unsigned timeout_ms = quiet ? 3000 : 5000;
    // The terminal's input queue holds 4095 bytes in raw mode.
    if (!rest.empty() || (impl != "portwire" && impl != "naive") || want < 1 || want > 4000 || quiet >= want ||
        baud < 1 || waits < 1 || bits < 1)
        die("options: --impl portwire or naive, --want 1..4000, --quiet below it, --baud, --waits, --bits 1 or more");
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master))
        die("pseudo-terminal: %s", strerror(errno));
    const std::string slave = ptsname(master);
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
    } else if ((port_fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) >= 0) {
        tcgetattr(port_fd, &t);
        cfmakeraw(&t);  // reads return at once: the descriptor does not block
        tcsetattr(port_fd, TCSANOW, &t);
    } else {
        die("open %s: %s", slave.c_str(), strerror(errno));
    }
    static uint8_t buf[8192];
    std::vector<double> passes, pauses, cpu, late_ms, cpu_percent;
    for (unsigned k = 0; k < waits; k++) {
        while (port ? port->recvdata(buf, sizeof(buf)) > 0 : read(port_fd, buf, sizeof(buf)) > 0)
            continue;  // from an empty queue
        if (port && port->rxqueue_count() != 0)
            die("the queue did not empty");
        uint64_t last_us = 0, ret_us;
        std::thread writer([&] { last_us = write_burst(master, want - quiet, (double)bits * 1e6 / baud); });
        n_pass = n_pause = 0;
        counting = true;
        const uint64_t wall0 = mono_us();
        const double cpu0 = cpu_us(CLOCK_THREAD_CPUTIME_ID);
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
            timed_out = !naive_wait(port_fd, want, timeout_ms, buf);
            ret_us = mono_us();
        }
        const double cpu1 = cpu_us(CLOCK_THREAD_CPUTIME_ID);
        counting = false;
        writer.join();
        if (timed_out != (quiet > 0))
            die("wait %u of %u bytes at %u baud %s", k, want, baud, quiet ? "did not time out" : "timed out");
        passes.push_back(n_pass);
        pauses.push_back(n_pause);
        cpu.push_back(cpu1 - cpu0);
        late_ms.push_back(((double)ret_us - (double)last_us) / 1e3);  // below 0: returned before the writer's clock
        cpu_percent.push_back(100.0 * (cpu1 - cpu0) / (double)(ret_us - wall0));
    }
    if (port)
        orv::hal::serial_rxtx::ReleaseRxTx(port);
    // Medians and maxima over the waits (lateness: its p90 between); the estimate is the wait's own, 8 bits a byte.
    std::vector<std::string> row = {impl, fmt(bits), fmt(baud), fmt(want)};
    if (quiet)
        row.insert(row.end(), {fmt(quiet), fmt(timeout_ms), fmt(waits)});
    else
        row.insert(row.end(), {fmt(waits), fmt(want * 8000.0 / baud)});
    const std::vector<std::vector<double>*> stats =
        quiet ? std::vector{&passes, &cpu, &cpu_percent} : std::vector{&passes, &pauses, &cpu, &late_ms};
    for (std::vector<double>* v : stats) {
        row.insert(row.end(), {fmt(quantile(*v, 0.5)), fmt(quantile(*v, 1))});
        if (v == &late_ms)
            row.insert(row.end() - 1, fmt(quantile(late_ms, 0.9)));
    }
    csv(file, quiet ? "impl,bits,baud,want,quiet,timeout_ms,waits,passes_median,passes_max,cpu_us_median,cpu_us_max,"
                      "cpu_percent_median,cpu_percent_max"
                    : "impl,bits,baud,want,waits,estimate_ms,passes_median,passes_max,sleeps_median,sleeps_max,"
                      "cpu_us_median,cpu_us_max,late_ms_median,late_ms_p90,late_ms_max", row);
    return 0;
}
