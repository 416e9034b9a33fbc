// echoload: load generator for the echo servers; clients one after the other, every byte back checked. Each writes B
// bytes, up to 16384 at a time, or N lines of 64 bytes, a write each, at most W not yet echoed (--batch 1: W at once,
// then all of them back, a pasted block).
//   echoload --csv FILE [--clients 5] [--bytes B] [--lines N [--window W] [--batch 0|1] [--nodelay 0|1]]
//            [--repeat N] [--time-limit S] LABEL=COMMAND...

#include <poll.h>

#include <random>

#include "benchlib.h"

// byte(i) = pattern[i % kPeriod]: a prime period does not line up with any buffer size a server may use. The
// pattern is there twice, so that a period's worth from any offset lies in one piece.
const size_t kPeriod = 65521, kLine = 64, kChunk = 16384;
static uint8_t pattern[2 * kPeriod], rx[256 * 1024];
static int clients = 5;
static uint64_t bytes = 100000000, lines = 0, window = 1;
static bool batch = false, nodelay = false;
static double time_limit = 120;

// One run: the clients in turn; time and server CPU are summed over their turns.
static Row measure(const Server& srv)
{
    const uint64_t deadline = mono_us() + (uint64_t)(time_limit * 1e6), want = lines ? lines * kLine : bytes;
    std::vector<double> lat_us;
    std::vector<uint64_t> sent_at(lines);
    double elapsed = 0, cpu = 0;
    for (int i = 0; i < clients; i++) {
        int fd = connect_loopback(srv.port, deadline, lines && nodelay);
        const double cpu0 = proc_usage(srv.pid)[0];
        const uint64_t t0 = mono_us();
        for (uint64_t sent = 0, got = 0; got < want;) {
            if (mono_us() > deadline)
                die("time limit: client %d got %llu of %llu bytes back", i, (unsigned long long)got,
                    (unsigned long long)want);
            // Lines: a write each, as a program writes a line as it has it; a batch starts when the last is all back.
            while (lines && (!batch || sent == got) && sent < want && sent - got < window * kLine) {
                sent_at[sent / kLine] = mono_us();
                ssize_t w = write(fd, pattern + sent % kPeriod, kLine);
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
                ssize_t w = write(fd, pattern + sent % kPeriod, (size_t)std::min<uint64_t>(kChunk, want - sent));
                if (w < 0 && errno != EAGAIN && errno != EINTR)
                    die("write: %s", strerror(errno));
                sent += w > 0 ? (uint64_t)w : 0;
            }
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t r = read(fd, rx, sizeof(rx));
            if (r < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (r <= 0)
                die("client %d after %llu bytes: %s", i, (unsigned long long)got, r ? strerror(errno) : "the server closed");
            bool same = got + (uint64_t)r <= sent;  // and the pattern from offset got, a period at a time
            for (size_t n = 0; same && n < (size_t)r; n += kPeriod)
                same = memcmp(rx + n, pattern + (got + n) % kPeriod, std::min((size_t)r - n, kPeriod)) == 0;
            if (!same)
                die("client %d: echo differs from what was sent near byte %llu", i, (unsigned long long)got);
            for (uint64_t k = got / kLine, now = mono_us(); lines && k < (got + (uint64_t)r) / kLine; k++)
                lat_us.push_back((double)(now - sent_at[k]));
            got += (uint64_t)r;
        }
        elapsed += (double)(mono_us() - t0) / 1e6;
        const double cpu1 = proc_usage(srv.pid)[0];
        cpu = cpu < 0 || cpu0 < 0 || cpu1 < 0 ? -1 : cpu + cpu1 - cpu0;
        close(fd);
    }
    if (lines)
        return {elapsed, (double)(lines * clients) / elapsed, quantile(lat_us, 0.5), quantile(lat_us, 0.99),
                quantile(lat_us, 1), cpu};
    const double mb = (double)bytes * clients / 1e6;
    return {mb, elapsed, mb / elapsed, cpu, cpu >= 0 ? cpu * 1000 / mb : -1};
}

int main(int argc, char** argv)
{
    std::string file = "/dev/null";
    int repeat = 1;
    const std::vector<std::string> servers =
        Args(argc, argv).get("csv", file).get("clients", clients).get("bytes", bytes).get("lines", lines)
            .get("window", window).get("batch", batch).get("nodelay", nodelay).get("time-limit", time_limit)
            .get("repeat", repeat).done();
    if (window < 1 || clients < 1)
        die("need --window and --clients of 1 or more");
    std::minstd_rand random(1);
    for (size_t i = 0; i < kPeriod; i++)
        pattern[i] = pattern[kPeriod + i] = (uint8_t)(random() >> 8);
    series(file, lines ? "clients,lines_per_client,window,batch,nodelay" : "clients,bytes_per_client",
           fmt(clients) + "," + (lines ? fmt((double)lines) + "," + fmt((double)window) + "," + fmt(batch) + "," +
                                             fmt(nodelay) : std::to_string(bytes)),
           servers, repeat, true, time_limit,
           lines ? "elapsed_s lines_per_s lat_p50_us lat_p99_us lat_max_us* server_cpu_s"
                 : "total_MB elapsed_s MB_per_s server_cpu_s cpu_ms_per_MB*", measure);
    return 0;
}
