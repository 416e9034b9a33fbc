// echoload: load generator for the echo servers (parrot, socat, the bare
// echo loop). Clients connect one after the other; each sends --bytes of a
// fixed pseudo-random pattern in --chunk sized writes while reading the echo
// back, and checks every byte that returns. Reports the server's CPU time per
// megabyte (10^6 bytes) echoed, from /proc/PID/stat, as one CSV line.
//
//   echoload --port P --clients K --bytes B [--chunk 16384] [--server-pid PID]
//   echoload --port P --clients K --lines N [--window W] [--batch 0|1]
//            [--nodelay 0|1] [--server-pid PID]
//
// With --lines, each client is a line-at-a-time client with the kernel's
// defaults (Nagle on, delayed acknowledgements; --nodelay 1 turns Nagle off
// as an interactive program may): it sends N lines of 64 bytes, one write
// each, at most W not yet echoed (1: send a line, wait for its echo); with
// --batch 1 it sends W lines and waits for all of them before the next W (a
// pasted block). Reports the round trip of each line, p50 and p99, over all
// clients.

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include "benchlib.h"

using namespace bench;

namespace {

// byte(i) = pattern[i % kPeriod]; a prime period keeps the pattern from
// lining up with any buffer size a server may use.
const size_t kPeriod = 65521;
uint8_t pattern[kPeriod];

void make_pattern()
{
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < kPeriod; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        pattern[i] = (uint8_t)x;
    }
}

// Does p[0..n) equal the pattern from stream offset off?
bool matches(const uint8_t* p, size_t n, uint64_t off)
{
    while (n > 0) {
        size_t k = (size_t)(off % kPeriod);
        size_t len = std::min(n, kPeriod - k);
        if (memcmp(p, pattern + k, len) != 0)
            return false;
        p += len;
        n -= len;
        off += len;
    }
    return true;
}

// Reads what the server echoed to client i and checks it against the stream
// sent so far; returns the bytes read, 0 when none are there yet. Ends the
// run when the server closed, a read failed or the echo differs.
uint64_t read_echo(int fd, int i, uint8_t* rx, size_t cap, uint64_t got, uint64_t sent)
{
    ssize_t r = read(fd, rx, cap);
    if (r == 0)
        die("client %d: the server closed after %llu bytes", i, (unsigned long long)got);
    if (r < 0) {
        if (errno != EAGAIN && errno != EINTR)
            die("read: %s", strerror(errno));
        return 0;
    }
    if (got + (uint64_t)r > sent || !matches(rx, (size_t)r, got))
        die("client %d: echo differs from what was sent near byte %llu", i, (unsigned long long)got);
    return (uint64_t)r;
}

// Time and server CPU summed over the clients' turns; the CPU is unknown
// without a server pid or when /proc could not be read.
struct Totals {
    double elapsed = 0, server_cpu = 0;
    bool cpu_known;
    int server_pid;
    int64_t t0 = 0;
    double cpu0 = 0;

    explicit Totals(int pid) : cpu_known(pid > 0), server_pid(pid) {}
    void start()
    {
        cpu0 = proc_cpu_s(server_pid);
        t0 = now_ns();
    }
    void stop()
    {
        elapsed += (double)(now_ns() - t0) / 1e9;
        double cpu1 = proc_cpu_s(server_pid);
        if (cpu0 < 0 || cpu1 < 0)
            cpu_known = false;
        server_cpu += cpu1 - cpu0;
    }
    double cpu_s() const { return cpu_known ? server_cpu : -1; }
};

// Line mode: see the top of the file.
int run_lines(const std::string& label, int port, int clients, uint64_t lines, uint64_t window, bool batch,
              bool nodelay, int server_pid, int64_t deadline, bool header)
{
    const size_t kLine = 64;
    std::vector<double> lat_us;
    std::vector<int64_t> sent_at(lines);
    static uint8_t rx[64 * 1024];
    Totals totals(server_pid);
    for (int i = 0; i < clients; i++) {
        int fd = connect_loopback(port, std::min<int64_t>(deadline, now_ns() + 10000000000LL));
        // connect_loopback leaves the socket as the kernel makes it: Nagle
        // on, acknowledgements delayed.
        if (nodelay)
            set_nodelay(fd);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        totals.start();
        uint64_t sent = 0, got = 0;  // bytes
        while (got < lines * kLine) {
            if (now_ns() > deadline)
                die("time limit: client %d got %llu of %llu lines back", i, (unsigned long long)(got / kLine),
                    (unsigned long long)lines);
            // One write per line, as a program that writes each line as it has it.
            bool may_send = !batch || sent == got;  // a batch starts when the last is all back
            while (may_send && sent < lines * kLine && sent - got < window * kLine) {
                uint64_t k = sent / kLine;
                uint8_t line[kLine];
                for (size_t j = 0; j < kLine; j++)
                    line[j] = pattern[(sent + j) % kPeriod];
                sent_at[k] = now_ns();
                ssize_t w = write(fd, line, kLine);
                if (w < 0 && (errno == EAGAIN || errno == EINTR))
                    break;
                if (w != (ssize_t)kLine)
                    die("write of a line: %s", w < 0 ? strerror(errno) : "short write");
                sent += kLine;
            }
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 1000) < 0 && errno != EINTR)
                die("poll: %s", strerror(errno));
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            uint64_t r = read_echo(fd, i, rx, sizeof(rx), got, sent);
            int64_t now = now_ns();
            for (uint64_t k = got / kLine; k < (got + r) / kLine; k++)
                lat_us.push_back((double)(now - sent_at[k]) / 1000.0);
            got += r;
        }
        totals.stop();
        close(fd);
    }
    uint64_t total = lines * (uint64_t)clients;
    if (header)
        printf("server,clients,lines_per_client,window,batch,nodelay,elapsed_s,lines_per_s,lat_p50_us,lat_p99_us,lat_max_us,"
               "server_cpu_s,verified\n");
    double p50 = quantile(lat_us, 0.50), p99 = quantile(lat_us, 0.99), mx = quantile(lat_us, 1.0);
    printf("%s,%d,%llu,%llu,%d,%d,%.3f,%.0f,%.0f,%.0f,%.0f,%.2f,yes\n", label.c_str(), clients,
           (unsigned long long)lines, (unsigned long long)window, batch ? 1 : 0, nodelay ? 1 : 0, totals.elapsed,
           (double)total / totals.elapsed, p50, p99, mx, totals.cpu_s());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt(argc, argv);
    std::string label = opt.str("label", "server");
    int port = (int)opt.num("port", 0, true);
    int clients = (int)opt.num("clients", 5);
    uint64_t bytes = (uint64_t)opt.num("bytes", 100000000);
    size_t chunk = (size_t)opt.num("chunk", 16384);
    int server_pid = (int)opt.num("server-pid", 0);
    double time_limit = opt.real("time-limit", 120);
    bool header = opt.num("header", 0) != 0;
    uint64_t lines = (uint64_t)opt.num("lines", 0);
    uint64_t window = (uint64_t)opt.num("window", 1);
    bool batch = opt.num("batch", 0) != 0;
    bool nodelay = opt.num("nodelay", 0) != 0;
    opt.check_all_used();
    if (chunk < 1 || chunk > kPeriod)
        die("--chunk must be 1 to %zu", kPeriod);

    make_pattern();
    static uint8_t rx[256 * 1024];
    const int64_t deadline = now_ns() + (int64_t)(time_limit * 1e9);
    Totals totals(server_pid);

    if (lines > 0) {
        if (window < 1)
            die("--window must be 1 or more");
        return run_lines(label, port, clients, lines, window, batch, nodelay, server_pid, deadline, header);
    }

    for (int i = 0; i < clients; i++) {
        int fd = connect_loopback(port, std::min<int64_t>(deadline, now_ns() + 10000000000LL));
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        totals.start();
        uint64_t sent = 0, got = 0;
        while (got < bytes) {
            if (now_ns() > deadline)
                die("time limit: client %d got %llu of %llu bytes back", i, (unsigned long long)got,
                    (unsigned long long)bytes);
            pollfd p = {fd, (short)(POLLIN | (sent < bytes ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 1000) < 0 && errno != EINTR)
                die("poll: %s", strerror(errno));
            if (p.revents & POLLOUT) {
                size_t k = (size_t)(sent % kPeriod);
                size_t n = (size_t)std::min<uint64_t>(std::min(chunk, kPeriod - k), bytes - sent);
                ssize_t w = write(fd, pattern + k, n);
                if (w < 0 && errno != EAGAIN && errno != EINTR)
                    die("write: %s", strerror(errno));
                if (w > 0)
                    sent += (uint64_t)w;
            }
            if (p.revents & (POLLIN | POLLHUP | POLLERR))
                got += read_echo(fd, i, rx, sizeof(rx), got, sent);
        }
        totals.stop();
        close(fd);
    }

    double mb = (double)bytes * clients / 1e6;
    if (header)
        printf("server,clients,bytes_per_client,total_MB,elapsed_s,MB_per_s,server_cpu_s,cpu_ms_per_MB,verified\n");
    printf("%s,%d,%llu,%.1f,%.3f,%.1f,%.2f,%.3f,yes\n", label.c_str(), clients, (unsigned long long)bytes, mb,
           totals.elapsed, mb / totals.elapsed, totals.cpu_s(), totals.cpu_known ? totals.server_cpu * 1000 / mb : -1);
    return 0;
}
