// echoload: load generator for the echo servers (parrot, socat, the bare
// echo loop). Clients connect one after the other; each sends --bytes of a
// fixed pseudo-random pattern in --chunk sized writes while reading the echo
// back, and checks every byte that returns. Reports the server's CPU time per
// megabyte (10^6 bytes) echoed, from /proc/PID/stat, as one CSV line.
//
//   echoload --port P --clients K --bytes B [--chunk 16384] [--server-pid PID]

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
    opt.check_all_used();
    if (chunk < 1 || chunk > kPeriod)
        die("--chunk must be 1 to %zu", kPeriod);

    make_pattern();
    static uint8_t rx[256 * 1024];
    const int64_t deadline = now_ns() + (int64_t)(time_limit * 1e9);
    double server_cpu = 0, elapsed = 0;
    bool cpu_known = server_pid > 0;

    for (int i = 0; i < clients; i++) {
        int fd = connect_loopback(port, std::min<int64_t>(deadline, now_ns() + 10000000000LL));
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        double cpu0 = proc_cpu_s(server_pid);
        int64_t t0 = now_ns();
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
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t r = read(fd, rx, sizeof(rx));
                if (r == 0)
                    die("client %d: the server closed after %llu of %llu bytes", i, (unsigned long long)got,
                        (unsigned long long)bytes);
                if (r < 0) {
                    if (errno != EAGAIN && errno != EINTR)
                        die("read: %s", strerror(errno));
                    continue;
                }
                if (got + (uint64_t)r > sent || !matches(rx, (size_t)r, got))
                    die("client %d: echo differs from what was sent near byte %llu", i, (unsigned long long)got);
                got += (uint64_t)r;
            }
        }
        elapsed += (double)(now_ns() - t0) / 1e9;
        double cpu1 = proc_cpu_s(server_pid);
        if (cpu0 < 0 || cpu1 < 0)
            cpu_known = false;
        server_cpu += cpu1 - cpu0;
        close(fd);
    }

    double mb = (double)bytes * clients / 1e6;
    if (header)
        printf("server,clients,bytes_per_client,total_MB,elapsed_s,MB_per_s,server_cpu_s,cpu_ms_per_MB,verified\n");
    printf("%s,%d,%llu,%.1f,%.3f,%.1f,%.2f,%.3f,yes\n", label.c_str(), clients, (unsigned long long)bytes, mb, elapsed,
           mb / elapsed, cpu_known ? server_cpu : -1, cpu_known ? server_cpu * 1000 / mb : -1);
    return 0;
}
