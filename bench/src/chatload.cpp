// chatload: load generator for the chat relays (talkhub, ncat --broker and
// the bare relay). One thread, one epoll set, all clients on loopback.
//
//   chatload --mode chat --port P --clients N --senders S --messages M
//            [--rate R | --window W] [--echo 0|1] [--server-pid PID]
//   chatload --mode bulk --port P --clients N --senders S --bytes B [--block 1024] ...
//
// chat: senders 0..S-1 send 64-byte lines, either at a fixed rate (--rate R
// lines/s each) or as fast as they can with at most --window lines per
// sender not yet received by every other client. Reports lines delivered to
// the other clients per second and the latency from the send to the last of
// them (the copy a relay may return to the sender itself is read and checked
// but not counted).
// bulk: the senders push --bytes each in --block byte writes; reports the
// bytes delivered to the other clients per second.
// Clients acknowledge every read at once (TCP_QUICKACK) unless --quickack 0:
// see on_readable().
// Both report the server's CPU time per delivered megabyte (10^6 bytes) from
// /proc/PID/stat and its memory from /proc/PID/status, as one CSV line.
//
// Start-up: once all clients are connected, client 0 repeats a SYNC line
// until one of them has reached every other client (so the server has
// registered them all), then sends GO; the run starts when GO has arrived
// everywhere. Lines from one sender reach every client in the order sent, so
// nothing of the run can arrive before GO. --echo 1 says that the relay
// returns a sender's own blocks to it (talkhub does, ncat does not).

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>

#include "benchlib.h"

using namespace bench;

namespace {

const size_t kLine = 64;
const char kMagicLine[4] = {'L', 'I', 'N', 'E'};
const char kMagicSync[4] = {'S', 'Y', 'N', 'C'};
const char kMagicGo[4] = {'G', 'O', 'G', 'O'};

struct Conn {
    int fd = -1;
    int index = 0;
    bool go_seen = false;
    uint8_t carry[kLine];  // a line split across reads
    size_t carry_len = 0;
    uint64_t bulk_rx = 0;  // bytes received after GO (bulk mode)
    std::vector<uint8_t> out;  // bytes the socket did not take yet
    size_t out_off = 0;
    bool pollout = false;
    // Sender state.
    uint32_t next_seq = 0;
    uint32_t outstanding = 0;
    uint64_t bulk_tx = 0;
};

struct Config {
    std::string mode, label;
    bool bulk = false;  // mode == "bulk"
    int port = 0, clients = 0, senders = 0, server_pid = 0;
    bool echo = true;
    double rate = 0;  // lines/s per sender; 0 = as fast as the window allows
    uint32_t window = 16, messages = 0;
    uint64_t bytes = 0;
    uint32_t block = 1024;
    double time_limit = 60;
    bool header = false;
    bool quickack = true;
};

Config cfg;
int ep = -1;
std::vector<Conn> conns;
uint8_t rxbuf[256 * 1024];

// Chat state: per line (sender s, seq q) at s * messages + q.
std::vector<int64_t> sent_ns;
std::vector<int32_t> remaining;
std::vector<double> latency_us;
uint64_t completed = 0;
int64_t last_done_ns = 0;
bool running = false;

// Start-up state.
std::vector<int> sync_reach;  // per SYNC nonce: clients it reached
uint32_t sync_first = 0;      // first nonce of the current round
int sync_target = 0;          // clients a nonce must reach in this round
bool synced = false;
int go_count = 0;

void fill_line(uint8_t* m, const char* magic, uint32_t sender, uint32_t seq)
{
    memcpy(m, magic, 4);
    memcpy(m + 4, &sender, 4);
    memcpy(m + 8, &seq, 4);
    for (size_t i = 12; i < kLine - 1; i++)
        m[i] = (uint8_t)('a' + (sender + seq + i) % 26);
    m[kLine - 1] = '\n';
}

bool line_ok(const uint8_t* m, uint32_t sender, uint32_t seq)
{
    for (size_t i = 12; i < kLine - 1; i++)
        if (m[i] != (uint8_t)('a' + (sender + seq + i) % 26))
            return false;
    return m[kLine - 1] == '\n';
}

void set_pollout(Conn& c, bool on)
{
    if (c.pollout == on)
        return;
    epoll_event ev;
    ev.events = on ? (uint32_t)(EPOLLIN | EPOLLOUT) : (uint32_t)EPOLLIN;
    ev.data.u32 = (uint32_t)c.index;
    if (epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev) != 0)
        die("epoll_ctl: %s", strerror(errno));
    c.pollout = on;
}

// Sends now what the socket takes and keeps the rest for EPOLLOUT.
void queue_send(Conn& c, const uint8_t* p, size_t n)
{
    if (c.out_off == c.out.size()) {
        ssize_t w = send(c.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            die("send on client %d: %s", c.index, strerror(errno));
        if (w == (ssize_t)n)
            return;
        if (w > 0) {
            p += w;
            n -= (size_t)w;
        }
        c.out.clear();
        c.out_off = 0;
    }
    c.out.insert(c.out.end(), p, p + n);
    set_pollout(c, true);
}

void flush_out(Conn& c)
{
    while (c.out_off < c.out.size()) {
        ssize_t w = send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            die("send on client %d: %s", c.index, strerror(errno));
        }
        c.out_off += (size_t)w;
    }
    c.out.clear();
    c.out_off = 0;
    set_pollout(c, false);
}

void send_line(Conn& c, int64_t now)
{
    uint8_t m[kLine];
    uint32_t s = (uint32_t)c.index, q = c.next_seq++;
    fill_line(m, kMagicLine, s, q);
    sent_ns[(size_t)s * cfg.messages + q] = now;
    c.outstanding++;
    queue_send(c, m, kLine);
}

// Bulk sender: one --block sized send per call, until the socket is full.
void pump_bulk(Conn& c)
{
    static std::vector<uint8_t> block;
    if (block.size() != cfg.block)
        block.assign(cfg.block, (uint8_t)'b');
    while (c.bulk_tx < cfg.bytes) {
        size_t in_block = (size_t)(c.bulk_tx % cfg.block);
        size_t n = std::min<uint64_t>(cfg.block - in_block, cfg.bytes - c.bulk_tx);
        ssize_t w = send(c.fd, block.data() + in_block, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                set_pollout(c, true);
                return;
            }
            die("send on client %d: %s", c.index, strerror(errno));
        }
        c.bulk_tx += (uint64_t)w;
    }
    set_pollout(c, false);
}

void handle_line(Conn& c, const uint8_t* m, int64_t now)
{
    uint32_t s, q;
    memcpy(&s, m + 4, 4);
    memcpy(&q, m + 8, 4);
    if (memcmp(m, kMagicLine, 4) == 0) {
        if (s >= (uint32_t)cfg.senders || q >= cfg.messages || !line_ok(m, s, q))
            die("client %d: malformed line (sender %u seq %u): stream corrupted or misaligned", c.index, s, q);
        if ((int)s == c.index)
            return;  // the relay's copy to the sender itself
        size_t k = (size_t)s * cfg.messages + q;
        if (--remaining[k] < 0)
            die("client %d: line %u/%u received twice", c.index, s, q);
        if (remaining[k] == 0) {
            latency_us.push_back((double)(now - sent_ns[k]) / 1000.0);
            completed++;
            last_done_ns = now;
            conns[s].outstanding--;
        }
    } else if (memcmp(m, kMagicSync, 4) == 0) {
        if (c.index == 0 || q >= sync_reach.size())
            return;
        if (++sync_reach[q] >= sync_target && q >= sync_first)
            synced = true;
    } else if (memcmp(m, kMagicGo, 4) == 0) {
        c.go_seen = true;
        go_count++;
    } else {
        die("client %d: unknown line: stream corrupted or misaligned", c.index);
    }
}

void on_readable(Conn& c)
{
    ssize_t n = read(c.fd, rxbuf, sizeof(rxbuf));
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return;
        die("read on client %d: %s", c.index, strerror(errno));
    }
    if (n == 0)
        die("client %d: the server closed the connection", c.index);
    int64_t now = now_ns();
    if (cfg.quickack) {
        // Acknowledge at once: the kernel's delayed acknowledgement would
        // otherwise hold a relay's next small segment back (Nagle) for up
        // to 40 ms, and the figures would be the timer's, not the relay's.
        int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    }
    size_t off = 0, len = (size_t)n;
    while (off < len) {
        if (cfg.bulk && c.go_seen) {
            c.bulk_rx += len - off;
            last_done_ns = now;
            return;
        }
        size_t take = std::min(kLine - c.carry_len, len - off);
        if (c.carry_len == 0 && take == kLine) {
            handle_line(c, rxbuf + off, now);
        } else {
            memcpy(c.carry + c.carry_len, rxbuf + off, take);
            c.carry_len += take;
            if (c.carry_len == kLine) {
                handle_line(c, c.carry, now);
                c.carry_len = 0;
            }
        }
        off += take;
    }
}

uint64_t bulk_expected(const Conn& c)
{
    bool is_sender = c.index < cfg.senders;
    uint64_t others = (uint64_t)(is_sender ? cfg.senders - 1 : cfg.senders);
    if (is_sender && cfg.echo)
        others++;
    return others * cfg.bytes;
}

bool bulk_done()
{
    for (const Conn& c : conns) {
        if (c.bulk_rx > bulk_expected(c))
            die("client %d received %llu bytes, more than the %llu sent to it", c.index,
                (unsigned long long)c.bulk_rx, (unsigned long long)bulk_expected(c));
        if (c.bulk_rx < bulk_expected(c))
            return false;
    }
    return true;
}

void event_round(int timeout_ms)
{
    epoll_event evs[256];
    int n = epoll_wait(ep, evs, 256, timeout_ms);
    if (n < 0) {
        if (errno == EINTR)
            return;
        die("epoll_wait: %s", strerror(errno));
    }
    for (int i = 0; i < n; i++) {
        Conn& c = conns[evs[i].data.u32];
        if (evs[i].events & EPOLLIN)
            on_readable(c);
        else if (evs[i].events & (EPOLLERR | EPOLLHUP))
            die("client %d: connection error", c.index);
        if (evs[i].events & EPOLLOUT) {
            if (running && cfg.bulk && c.index < cfg.senders)
                pump_bulk(c);
            else
                flush_out(c);
        }
    }
}

double gen_cpu_s()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           (double)ru.ru_stime.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt(argc, argv);
    cfg.mode = opt.str("mode", "chat");
    cfg.label = opt.str("label", "server");
    cfg.port = (int)opt.num("port", 0, true);
    cfg.clients = (int)opt.num("clients", 16);
    cfg.senders = (int)opt.num("senders", 4);
    cfg.server_pid = (int)opt.num("server-pid", 0);
    cfg.echo = opt.num("echo", 1) != 0;
    cfg.rate = opt.real("rate", 0);
    cfg.window = (uint32_t)opt.num("window", 16);
    cfg.messages = (uint32_t)opt.num("messages", 1000);
    cfg.bytes = (uint64_t)opt.num("bytes", 1 << 20);
    cfg.block = (uint32_t)opt.num("block", 1024);
    cfg.time_limit = opt.real("time-limit", 60);
    cfg.header = opt.num("header", 0) != 0;
    cfg.quickack = opt.num("quickack", 1) != 0;
    opt.check_all_used();
    if (cfg.mode != "chat" && cfg.mode != "bulk")
        die("--mode is chat or bulk");
    cfg.bulk = cfg.mode == "bulk";
    if (cfg.clients < 2 || cfg.senders < 1 || cfg.senders > cfg.clients || cfg.window < 1 || cfg.block < 1)
        die("need 2 or more clients, 1 to clients senders, a window and a block of 1 or more");

    const int64_t start = now_ns();
    const int64_t deadline = start + (int64_t)(cfg.time_limit * 1e9);

    // Start-up. Clients connect in rounds of 8, fewer than the listen backlog
    // of the servers (10): a full accept queue would drop connections that
    // the kernel then retries only after a second or more. After each round,
    // client 0 sends SYNC every 5 ms until one has reached every other client
    // connected so far, so the server has registered them all.
    ep = epoll_create1(EPOLL_CLOEXEC);
    conns.resize((size_t)cfg.clients);
    uint8_t m[kLine];
    const int round = 8;
    for (int first = 0; first < cfg.clients; first += round) {
        int last = std::min(cfg.clients, first + round);
        for (int i = first; i < last; i++) {
            Conn& c = conns[(size_t)i];
            c.index = i;
            c.fd = connect_loopback(cfg.port, std::min<int64_t>(deadline, now_ns() + 10000000000LL));
            set_nodelay(c.fd);
            fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
            epoll_event ev;
            ev.events = EPOLLIN;
            ev.data.u32 = (uint32_t)i;
            if (epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev) != 0)
                die("epoll_ctl: %s", strerror(errno));
        }
        synced = false;
        sync_first = (uint32_t)sync_reach.size();
        sync_target = last - 1;
        int64_t next_sync = 0;
        while (!synced && sync_target > 0) {
            if (now_ns() > deadline)
                die("time limit: the server did not relay to all of the first %d clients", last);
            if (now_ns() >= next_sync) {
                sync_reach.push_back(0);
                fill_line(m, kMagicSync, 0, (uint32_t)(sync_reach.size() - 1));
                queue_send(conns[0], m, kLine);
                next_sync = now_ns() + 5000000;
            }
            event_round(1);
        }
    }
    fill_line(m, kMagicGo, 0, 0);
    queue_send(conns[0], m, kLine);
    if (!cfg.echo)
        conns[0].go_seen = true;  // its own GO never comes back to it
    const int go_expected = cfg.clients - 1 + (cfg.echo ? 1 : 0);
    while (go_count < go_expected) {
        if (now_ns() > deadline)
            die("time limit: GO reached %d of %d clients (is --echo right?)", go_count, go_expected);
        event_round(5);
    }

    if (cfg.mode == "chat") {
        size_t lines = (size_t)cfg.senders * cfg.messages;
        sent_ns.assign(lines, 0);
        remaining.assign(lines, cfg.clients - 1);
        latency_us.reserve(lines);
    }

    // The measured run.
    const double cpu0 = proc_cpu_s(cfg.server_pid);
    const double gen0 = gen_cpu_s();
    const int64_t t0 = now_ns();
    running = true;
    uint64_t behind = 0;  // fixed rate: sends that found the window full
    if (cfg.bulk) {
        for (int s = 0; s < cfg.senders; s++)
            pump_bulk(conns[(size_t)s]);
        while (!bulk_done()) {
            if (now_ns() > deadline)
                die("time limit in the bulk run");
            event_round(100);
        }
    } else {
        const uint64_t total = (uint64_t)cfg.senders * cfg.messages;
        const double period_ns = cfg.rate > 0 ? 1e9 / cfg.rate : 0;
        // A fixed rate still caps what is in flight, so that a relay that
        // cannot keep up is seen as falling behind rather than buffering.
        const uint32_t cap = cfg.rate > 0 ? std::max<uint32_t>(cfg.window, 256) : cfg.window;
        while (completed < total) {
            int64_t now = now_ns();
            if (now > deadline)
                die("time limit: %llu of %llu lines delivered everywhere", (unsigned long long)completed,
                    (unsigned long long)total);
            int64_t next_due = INT64_MAX;
            for (int s = 0; s < cfg.senders; s++) {
                Conn& c = conns[(size_t)s];
                while (c.next_seq < cfg.messages && c.outstanding < cap) {
                    if (cfg.rate > 0) {
                        int64_t due = t0 + (int64_t)(((double)c.next_seq + (double)s / cfg.senders) * period_ns);
                        if (due > now) {
                            next_due = std::min(next_due, due);
                            break;
                        }
                    }
                    send_line(c, now);
                }
                if (cfg.rate > 0 && c.next_seq < cfg.messages && c.outstanding >= cap)
                    behind++;
            }
            int timeout = 100;
            if (next_due != INT64_MAX)
                timeout = (int)std::min<int64_t>(100, (next_due - now_ns() + 999999) / 1000000);
            event_round(std::max(timeout, 0));
        }
    }
    const int64_t t1 = last_done_ns;
    const double cpu1 = proc_cpu_s(cfg.server_pid);
    const double gen1 = gen_cpu_s();
    const ProcMem mem = proc_mem(cfg.server_pid);

    const double elapsed = (double)(t1 - t0) / 1e9;
    const double server_cpu = (cfg.server_pid > 0 && cpu0 >= 0 && cpu1 >= 0) ? cpu1 - cpu0 : -1;
    if (cfg.mode == "chat") {
        uint64_t deliveries = (uint64_t)cfg.senders * cfg.messages * (uint64_t)(cfg.clients - 1);
        double mb = (double)deliveries * kLine / 1e6;
        if (cfg.header)
            printf("server,clients,senders,rate,window,lines,deliveries,elapsed_s,deliveries_per_s,"
                   "lat_p50_us,lat_p99_us,lat_max_us,server_cpu_s,cpu_ms_per_MB,vm_size_kib,vm_rss_kib,"
                   "threads,gen_cpu_s,behind,quickack,gen_busy\n");
        double p50 = quantile(latency_us, 0.50), p99 = quantile(latency_us, 0.99), mx = quantile(latency_us, 1.0);
        printf("%s,%d,%d,%g,%u,%llu,%llu,%.3f,%.0f,%.0f,%.0f,%.0f,%.2f,%.2f,%ld,%ld,%ld,%.2f,%llu,%d,%.2f\n", cfg.label.c_str(),
               cfg.clients, cfg.senders, cfg.rate, cfg.window, (unsigned long long)cfg.senders * cfg.messages,
               (unsigned long long)deliveries, elapsed, (double)deliveries / elapsed, p50, p99, mx, server_cpu,
               server_cpu >= 0 ? server_cpu * 1000 / mb : -1, mem.vm_size_kib, mem.vm_rss_kib, mem.threads,
               gen1 - gen0, (unsigned long long)behind, cfg.quickack ? 1 : 0, (gen1 - gen0) / elapsed);
    } else {
        uint64_t delivered = 0;
        for (const Conn& c : conns)
            delivered += c.bulk_rx;
        // Only bytes that reached a client other than their sender count.
        if (cfg.echo)
            delivered -= (uint64_t)cfg.senders * cfg.bytes;
        double mb = (double)delivered / 1e6;
        if (cfg.header)
            printf("server,clients,senders,block,bytes_per_sender,delivered_MB,elapsed_s,MB_per_s,server_cpu_s,"
                   "cpu_ms_per_MB,vm_size_kib,vm_rss_kib,threads,gen_cpu_s\n");
        printf("%s,%d,%d,%u,%llu,%.1f,%.3f,%.1f,%.2f,%.3f,%ld,%ld,%ld,%.2f\n", cfg.label.c_str(), cfg.clients,
               cfg.senders, cfg.block, (unsigned long long)cfg.bytes, mb, elapsed, mb / elapsed, server_cpu,
               server_cpu >= 0 ? server_cpu * 1000 / mb : -1, mem.vm_size_kib, mem.vm_rss_kib, mem.threads,
               gen1 - gen0);
    }
    for (Conn& c : conns)
        close(c.fd);
    return 0;
}
