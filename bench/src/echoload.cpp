// echoload: load generator for the echo servers (parrot, socat, the bare echo
// loop). Clients connect one after the other and check every byte that comes
// back against a fixed pseudo-random stream.
//
//   echoload --csv FILE [--clients 5] [--bytes B] [--repeat N] [--time-limit S]
//            [--lines N [--window W] [--batch 0|1] [--nodelay 0|1]] LABEL=COMMAND...
//
// Bytes: each client writes B bytes, up to 16384 at a time, while it reads the
// echo; measures the server's CPU per MB (10^6 bytes) echoed. Lines: each
// client, with the kernel's defaults (Nagle on, delayed acknowledgements;
// --nodelay 1: Nagle off), writes N lines of 64 bytes, one write each, at most
// W not yet echoed, or with --batch 1 W at once, then waits for all of them
// (a pasted block); measures the round trip of each line.

#include <poll.h>

#include "benchlib.h"

using namespace bench;

namespace {

// byte(i) = pattern[i % kPeriod]; a prime period keeps the pattern from
// lining up with any buffer size a server may use.
const size_t kPeriod = 65521, kLine = 64, kChunk = 16384;
uint8_t pattern[kPeriod];
uint8_t rx[256 * 1024];
int clients = 5;
uint64_t bytes = 0, lines = 0, window = 1;
bool batch = false, nodelay = false;
double time_limit = 120;

// Does p[0..n) equal the pattern from stream offset off?
bool matches(const uint8_t* p, size_t n, uint64_t off)
{
    for (size_t len; n > 0; p += len, n -= len, off += len) {
        size_t k = (size_t)(off % kPeriod);
        len = std::min(n, kPeriod - k);
        if (memcmp(p, pattern + k, len) != 0)
            return false;
    }
    return true;
}

// Reads the echo to client i and checks it against what was sent so far;
// returns the bytes read, 0 when none are there yet.
uint64_t read_echo(int fd, int i, uint64_t got, uint64_t sent)
{
    ssize_t r = read(fd, rx, sizeof(rx));
    if (r < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (r <= 0)
        die("client %d after %llu bytes: %s", i, (unsigned long long)got, r ? strerror(errno) : "the server closed");
    if (got + (uint64_t)r > sent || !matches(rx, (size_t)r, got))
        die("client %d: echo differs from what was sent near byte %llu", i, (unsigned long long)got);
    return (uint64_t)r;
}

// One run: the clients in turn; time and server CPU are summed over their turns.
Row measure(const Server& srv)
{
    const uint64_t deadline = mono_us() + (uint64_t)(time_limit * 1e6);
    const uint64_t want = lines ? lines * kLine : bytes;
    std::vector<double> lat_us;
    std::vector<uint64_t> sent_at(lines);
    double elapsed = 0, cpu = 0;
    for (int i = 0; i < clients; i++) {
        // As the kernel makes it: Nagle on, acknowledgements delayed.
        int fd = connect_loopback(srv.port, std::min<uint64_t>(deadline, mono_us() + 10000000));
        if (lines && nodelay)
            set_nodelay(fd);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        const double cpu0 = proc_cpu_s(srv.pid);
        const uint64_t t0 = mono_us();
        uint64_t sent = 0, got = 0;
        while (got < want) {
            if (mono_us() > deadline)
                die("time limit: client %d got %llu of %llu bytes back", i, (unsigned long long)got,
                    (unsigned long long)want);
            // Lines: one write a line, as a program that writes each line as
            // it has it; a batch starts when the last is all back.
            while (lines && (!batch || sent == got) && sent < want && sent - got < window * kLine) {
                uint8_t line[kLine];
                for (size_t j = 0; j < kLine; j++)
                    line[j] = pattern[(sent + j) % kPeriod];
                sent_at[sent / kLine] = mono_us();
                ssize_t w = write(fd, line, kLine);
                if (w < 0 && (errno == EAGAIN || errno == EINTR))
                    break;
                if (w != (ssize_t)kLine)
                    die("write of a line: %s", w < 0 ? strerror(errno) : "short write");
                sent += kLine;
            }
            pollfd p = {fd, (short)(POLLIN | (!lines && sent < want ? POLLOUT : 0)), 0};
            if (poll(&p, 1, 1000) < 0 && errno != EINTR)
                die("poll: %s", strerror(errno));
            if (p.revents & POLLOUT) {
                size_t k = (size_t)(sent % kPeriod);
                ssize_t w = write(fd, pattern + k, (size_t)std::min<uint64_t>(std::min(kChunk, kPeriod - k), want - sent));
                if (w < 0 && errno != EAGAIN && errno != EINTR)
                    die("write: %s", strerror(errno));
                sent += w > 0 ? (uint64_t)w : 0;
            }
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            uint64_t r = read_echo(fd, i, got, sent);
            uint64_t now = mono_us();
            for (uint64_t k = got / kLine; lines && k < (got + r) / kLine; k++)
                lat_us.push_back((double)(now - sent_at[k]));
            got += r;
        }
        elapsed += (double)(mono_us() - t0) / 1e6;
        const double cpu1 = proc_cpu_s(srv.pid);
        cpu = cpu < 0 || cpu0 < 0 || cpu1 < 0 ? -1 : cpu + cpu1 - cpu0;
        close(fd);
    }
    if (lines)
        return {elapsed, (double)(lines * clients) / elapsed, quantile(lat_us, 0.5), quantile(lat_us, 0.99),
                quantile(lat_us, 1), cpu};
    const double mb = (double)bytes * clients / 1e6;
    return {mb, elapsed, mb / elapsed, cpu, cpu >= 0 ? cpu * 1000 / mb : -1};
}

}  // namespace

int main(int argc, char** argv)
{
    Args a(argc, argv);
    std::string file = a.str("csv", "/dev/null");
    clients = (int)a.num("clients", 5);
    bytes = (uint64_t)a.num("bytes", 1e8);
    lines = (uint64_t)a.num("lines", 0);
    window = (uint64_t)a.num("window", 1);
    batch = a.num("batch", 0) != 0;
    nodelay = a.num("nodelay", 0) != 0;
    time_limit = a.num("time-limit", 120);
    int repeat = (int)a.num("repeat", 1);
    a.done();
    if (window < 1 || clients < 1)
        die("need --window and --clients of 1 or more");
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < kPeriod; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        pattern[i] = (uint8_t)x;
    }
    if (lines)
        series(file, "clients,lines_per_client,window,batch,nodelay", fmt(clients) + "," + fmt((double)lines) + "," +
               fmt((double)window) + "," + fmt(batch) + "," + fmt(nodelay), a.rest, repeat, true, time_limit,
               "elapsed_s lines_per_s lat_p50_us lat_p99_us lat_max_us* server_cpu_s", measure);
    else
        series(file, "clients,bytes_per_client", fmt(clients) + "," + std::to_string(bytes), a.rest, repeat, true,
               time_limit, "total_MB elapsed_s MB_per_s server_cpu_s cpu_ms_per_MB*", measure);
    return 0;
}
