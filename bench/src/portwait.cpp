// portwait: how a wait for received bytes behaves on a pseudo-terminal fed at
// the line rate. A writer thread writes a burst of --want bytes to the master
// side, each byte no earlier than the line would have delivered it; the main
// thread waits for the whole burst on the slave side, either with portwire's
// waitfordata() (then takes the bytes with recvdata()) or with the naive wait
// that wakes for every arrival (select, then read what is there, until the
// count is reached).
//
//   portwait --impl portwire|naive --baud B --want N --waits K [--bits 10]
//            [--quiet M --timeout MS]
//
// --bits is the line time of one byte: 10 for 8N1 framing as a real UART
// sends it (start and stop bits included), 8 for the bare data bits.
//
// With --quiet M the writer leaves out the last M bytes of each burst: the
// line goes quiet part-way and every wait must time out after --timeout ms
// (default 3000). The line then gives the CPU of the waiting thread as a
// share of one core over the whole wait, instead of the lateness.
//
// Per wait it counts the passes (select calls) and sleeps of the waiting
// thread through link-time wrappers (-Wl,--wrap=...) around the C library
// calls, its CPU time (CLOCK_THREAD_CPUTIME_ID), and how late it returned
// after the writer had written the last wanted byte. One CSV line of medians
// and maxima goes to standard output.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "benchlib.h"
#include "portwire/raw_serial.h"
#include "portwire/serial_rxtx.h"

using namespace bench;

// Call counters of the waiting thread. The wrappers count only while the
// thread's own flag is on, so the writer's pacing sleeps stay out of it.
// A select or poll that watches the port is a pass; one that does not (a
// pause on the cancellation pipe alone) counts as a sleep, like usleep.
static thread_local bool counting = false;
static thread_local unsigned n_select = 0, n_sleep = 0;
static int port_fd = -1;

static void count_select(int n, fd_set* r)
{
    if (!counting)
        return;
    if (r && port_fd >= 0 && port_fd < n && FD_ISSET(port_fd, r))
        n_select++;
    else
        n_sleep++;
}

static void count_poll(pollfd* f, nfds_t n)
{
    if (!counting)
        return;
    for (nfds_t i = 0; i < n; i++)
        if (f[i].fd == port_fd) {
            n_select++;
            return;
        }
    n_sleep++;
}

extern "C" {
int __real_select(int, fd_set*, fd_set*, fd_set*, timeval*);
int __real_pselect(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*);
int __real_poll(pollfd*, nfds_t, int);
int __real_ppoll(pollfd*, nfds_t, const timespec*, const sigset_t*);
int __real_usleep(useconds_t);
int __real_nanosleep(const timespec*, timespec*);
int __real_clock_nanosleep(clockid_t, int, const timespec*, timespec*);

int __wrap_select(int n, fd_set* r, fd_set* w, fd_set* e, timeval* t)
{
    count_select(n, r);
    return __real_select(n, r, w, e, t);
}
int __wrap_pselect(int n, fd_set* r, fd_set* w, fd_set* e, const timespec* t, const sigset_t* m)
{
    count_select(n, r);
    return __real_pselect(n, r, w, e, t, m);
}
int __wrap_poll(pollfd* f, nfds_t n, int t)
{
    count_poll(f, n);
    return __real_poll(f, n, t);
}
int __wrap_ppoll(pollfd* f, nfds_t n, const timespec* t, const sigset_t* m)
{
    count_poll(f, n);
    return __real_ppoll(f, n, t, m);
}
int __wrap_usleep(useconds_t us)
{
    n_sleep += counting;
    return __real_usleep(us);
}
int __wrap_nanosleep(const timespec* t, timespec* rem)
{
    n_sleep += counting;
    return __real_nanosleep(t, rem);
}
int __wrap_clock_nanosleep(clockid_t c, int f, const timespec* t, timespec* rem)
{
    n_sleep += counting;
    return __real_clock_nanosleep(c, f, t, rem);
}
}

namespace {

struct Writer {
    int master = -1;
    double byte_ns = 0;
    std::mutex m;
    std::condition_variable cv;
    unsigned burst = 0;  // bytes asked for; 0 = idle
    bool quit = false;
    bool done = false;
    int64_t last_ns = 0;  // when the last byte of the burst was written

    void run()
    {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        static const uint8_t bytes[4096] = {0};
        for (;;) {
            unsigned n;
            {
                std::unique_lock<std::mutex> lk(m);
                cv.wait(lk, [&] { return burst > 0 || quit; });
                if (quit)
                    return;
                n = burst;
            }
            // Leave the waiter a moment to be inside its wait before the first byte.
            const int64_t begin = now_ns() + 1000000;
            unsigned written = 0;
            int64_t last = 0;
            while (written < n) {
                int64_t now = now_ns();
                unsigned due = now < begin ? 0 : (unsigned)std::min<double>(n, (double)(now - begin) / byte_ns);
                if (due > written) {
                    size_t k = std::min<size_t>(due - written, sizeof(bytes));
                    ssize_t w = write(master, bytes, k);
                    if (w < 0 && errno != EAGAIN && errno != EINTR)
                        die("write to the pty master: %s", strerror(errno));
                    if (w > 0)
                        written += (unsigned)w;
                    last = now_ns();
                    continue;
                }
                // Sleep until the next byte is due, but no less than 100 us, so
                // that at high rates the bytes go out in small paced chunks.
                int64_t next = begin + (int64_t)((written + 1) * byte_ns);
                next = std::max(next, now + 100000);
                timespec ts = {(time_t)(next / 1000000000), (long)(next % 1000000000)};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            }
            std::lock_guard<std::mutex> lk(m);
            last_ns = last;
            burst = 0;
            done = true;
            cv.notify_all();
        }
    }
    void start(unsigned n)
    {
        std::lock_guard<std::mutex> lk(m);
        burst = n;
        done = false;
        cv.notify_all();
    }
    int64_t wait_done()
    {
        std::unique_lock<std::mutex> lk(m);
        if (!cv.wait_for(lk, std::chrono::seconds(30), [&] { return done; }))
            die("the writer did not finish its burst");
        return last_ns;
    }
    void stop()
    {
        std::lock_guard<std::mutex> lk(m);
        quit = true;
        cv.notify_all();
    }
};

// The descriptor this process holds open on path (the channel keeps its own
// private); -1 when there is none.
int find_fd(const std::string& path)
{
    for (int fd = 0; fd < 1024; fd++) {
        char link[64], target[256];
        snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof(target) - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (path == target)
            return fd;
    }
    die("no descriptor open on %s", path.c_str());
}

// The naive wait: wake on every arrival and read it, until want bytes are had.
int naive_wait(int fd, unsigned want, unsigned timeout_ms, uint8_t* buf)
{
    int64_t deadline = now_ns() + (int64_t)timeout_ms * 1000000;
    unsigned have = 0;
    while (have < want) {
        int64_t left = deadline - now_ns();
        if (left <= 0)
            return -1;
        fd_set rs;
        FD_ZERO(&rs);
        FD_SET(fd, &rs);
        timeval tv = {(time_t)(left / 1000000000), (suseconds_t)(left % 1000000000 / 1000)};
        int r = select(fd + 1, &rs, nullptr, nullptr, &tv);
        if (r < 0 && errno != EINTR)
            return -2;
        if (r <= 0)
            continue;
        ssize_t n = read(fd, buf + have, want - have);
        if (n > 0)
            have += (unsigned)n;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt(argc, argv);
    std::string impl = opt.str("impl", "portwire");
    unsigned baud = (unsigned)opt.num("baud", 115200);
    unsigned want = (unsigned)opt.num("want", 100);
    int waits = (int)opt.num("waits", 20);
    unsigned bits = (unsigned)opt.num("bits", 10);
    bool header = opt.num("header", 0) != 0;
    unsigned quiet = (unsigned)opt.num("quiet", 0);
    unsigned timeout_ms = (unsigned)opt.num("timeout", quiet ? 3000 : 5000);
    opt.check_all_used();
    if (quiet >= want)
        die("--quiet must leave at least one of the --want bytes");
    if (impl != "portwire" && impl != "naive")
        die("--impl is portwire or naive");
    // The terminal's input queue holds 4095 bytes in raw mode.
    if (want < 1 || want > 4000 || baud < 1 || waits < 1 || bits < 1)
        die("need --want 1..4000, --baud, --waits and --bits of 1 or more");

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        die("pseudo-terminal: %s", strerror(errno));
    const char* slave_path = ptsname(master);
    if (!slave_path)
        die("ptsname: %s", strerror(errno));
    std::string slave = slave_path;
    // The master's own terminal settings: raw, so nothing it is given is changed.
    termios mt;
    tcgetattr(master, &mt);
    cfmakeraw(&mt);
    tcsetattr(master, TCSANOW, &mt);

    orv::hal::serial_rxtx* port = nullptr;
    int naive_fd = -1;
    if (impl == "portwire") {
        port = orv::hal::serial_rxtx::CreateRxTx();
        port->bind(slave.c_str(), baud, 0);
        if (port->open() != 1)
            die("portwire could not open %s", slave.c_str());
        port_fd = find_fd(slave);
    } else {
        naive_fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (naive_fd < 0)
            die("open %s: %s", slave.c_str(), strerror(errno));
        termios t;
        tcgetattr(naive_fd, &t);
        cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(naive_fd, TCSANOW, &t);
        port_fd = naive_fd;
    }

    Writer writer;
    writer.master = master;
    writer.byte_ns = (double)bits * 1e9 / baud;
    std::thread wt([&] { writer.run(); });

    static uint8_t buf[8192];
    std::vector<double> passes, sleeps, cpu_us, late_ms, cpu_percent;
    for (int k = 0; k < waits; k++) {
        // Start from an empty queue.
        if (port) {
            while (port->recvdata(buf, sizeof(buf)) > 0) {
            }
            if (port->rxqueue_count() != 0)
                die("the queue did not empty");
        } else {
            while (read(naive_fd, buf, sizeof(buf)) > 0) {
            }
        }
        writer.start(want - quiet);
        n_select = n_sleep = 0;
        counting = true;
        const int64_t wall0 = now_ns();
        int64_t cpu0 = thread_cpu_ns();
        int r;
        int64_t ret_ns;
        if (port) {
            uint32_t got = 0;
            r = port->waitfordata(want, timeout_ms, &got);
            ret_ns = now_ns();
            if (r == orv::hal::serial_rxtx::WAIT_READY && got < want)
                die("waitfordata said ready with %u of %u bytes", got, want);
            int n = port->recvdata(buf, want);
            if (r == orv::hal::serial_rxtx::WAIT_READY && n != (int)want)
                die("recvdata gave %d of %u bytes", n, want);
            if (quiet)
                r = r == orv::hal::serial_rxtx::WAIT_TIMEOUT ? 0 : 1;
        } else {
            r = naive_wait(naive_fd, want, timeout_ms, buf);
            ret_ns = now_ns();
            if (quiet)
                r = r == -1 ? 0 : 1;
        }
        int64_t cpu1 = thread_cpu_ns();
        counting = false;
        int64_t last_ns = writer.wait_done();
        if (r != 0)
            die("wait %d of %u bytes at %u baud ended with %d%s", k, want, baud, r,
                quiet ? " (a time-out was due)" : "");
        passes.push_back(n_select);
        sleeps.push_back(n_sleep);
        cpu_us.push_back((double)(cpu1 - cpu0) / 1000.0);
        late_ms.push_back((double)(ret_ns - last_ns) / 1e6);
        cpu_percent.push_back(100.0 * (double)(cpu1 - cpu0) / (double)(ret_ns - wall0));
    }
    writer.stop();
    wt.join();
    if (port)
        orv::hal::serial_rxtx::ReleaseRxTx(port);
    if (naive_fd >= 0)
        close(naive_fd);
    close(master);

    if (quiet) {
        if (header)
            printf("impl,bits,baud,want,quiet,timeout_ms,waits,passes_median,passes_max,cpu_us_median,cpu_us_max,"
                   "cpu_percent_median,cpu_percent_max\n");
        printf("%s,%u,%u,%u,%u,%u,%d,%g,%g,%.1f,%.1f,%.3f,%.3f\n", impl.c_str(), bits, baud, want, quiet,
               timeout_ms, waits, quantile(passes, 0.5), quantile(passes, 1), quantile(cpu_us, 0.5),
               quantile(cpu_us, 1), quantile(cpu_percent, 0.5), quantile(cpu_percent, 1));
        return 0;
    }

    // The wait's own estimate of the whole burst: 8 bits a byte.
    double estimate_ms = (double)want * 8000.0 / baud;
    if (header)
        printf("impl,bits,baud,want,waits,estimate_ms,passes_median,passes_max,sleeps_median,sleeps_max,"
               "cpu_us_median,cpu_us_max,late_ms_median,late_ms_p90,late_ms_max\n");
    printf("%s,%u,%u,%u,%d,%.3f,%g,%g,%g,%g,%.1f,%.1f,%.3f,%.3f,%.3f\n", impl.c_str(), bits, baud, want, waits,
           estimate_ms, quantile(passes, 0.5), quantile(passes, 1), quantile(sleeps, 0.5), quantile(sleeps, 1),
           quantile(cpu_us, 0.5), quantile(cpu_us, 1), quantile(late_ms, 0.5), quantile(late_ms, 0.9),
           quantile(late_ms, 1));
    return 0;
}
