// chatload: load generator for the chat relays (talkhub, ncat --broker, the
// bare relay). One thread and one epoll set serve every client, on loopback.
//
//   chatload --csv FILE [--mode chat|bulk] [--clients 16,64,256] [--senders 4]
//            [--messages M | --deliveries D] [--rate R | --window W] [--quickack 0|1]
//            [--delivered B] [--block 1024] [--repeat N] [--no-echo LABELS]
//            [--time-limit S] LABEL=COMMAND...
//
// chat: senders 0..S-1 send 64-byte lines, M each (or D / (S * (clients - 1))),
// at R lines/s each or as fast as they can with at most W lines per sender not
// yet received by every other client. Measures lines delivered to the other
// clients per second and the latency from the send to the last of them (the
// copy a relay returns to the sender is read and checked, not counted).
// bulk: the senders push --block byte writes until B bytes have reached the
// other clients. Both measure the server's CPU per delivered MB (10^6 bytes)
// and its memory. Clients acknowledge every read at once (TCP_QUICKACK)
// unless --quickack 0: see on_readable(). Relays named in --no-echo do not
// return a sender's own blocks to it (ncat).
//
// Start-up: clients connect in rounds of 8; after each, client 0 repeats a
// SYNC line until one has reached every client so far (the server has
// registered them all), then sends GO; the run starts when GO has arrived
// everywhere. Lines from one sender arrive in order, so nothing of the run
// comes before GO.

#include <sys/epoll.h>

#include "benchlib.h"

using namespace bench;

namespace {

const size_t kLine = 64;
const char kMagicLine[4] = {'L', 'I', 'N', 'E'}, kMagicSync[4] = {'S', 'Y', 'N', 'C'},
           kMagicGo[4] = {'G', 'O', 'G', 'O'};

struct Conn {
    int fd = -1, index = 0;
    bool go_seen = false, pollout = false;
    uint8_t carry[kLine];  // a line split across reads
    size_t carry_len = 0;
    std::vector<uint8_t> out;  // bytes the socket did not take yet
    size_t out_off = 0;
    uint64_t bulk_rx = 0, bulk_tx = 0;  // bytes received after GO, sent (bulk)
    uint32_t next_seq = 0, outstanding = 0;  // a chat sender's
};

struct Config {
    bool bulk = false, echo = true, quickack = true;
    int clients = 0, senders = 0;
    double rate = 0;  // lines/s per sender; 0 = as fast as the window allows
    uint32_t window = 16, messages = 0, block = 1024;
    uint64_t bytes = 0;  // per bulk sender
    double time_limit = 60;
};

// State of one run; each run is a process of its own (see series()).
Config cfg;
int ep = -1;
std::vector<Conn> conns;
uint8_t rxbuf[256 * 1024];
std::vector<int64_t> sent_ns;  // per line (sender s, seq q) at s * messages + q
std::vector<int32_t> remaining;
std::vector<double> latency_us;
uint64_t completed = 0;
int64_t last_done_ns = 0;
bool running = false;
std::vector<int> sync_reach;  // per SYNC nonce: the clients it reached
uint32_t sync_first = 0;      // first nonce of the current round
int sync_target = 0, go_count = 0;
bool synced = false;

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
        if (w < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (w < 0)
            die("send on client %d: %s", c.index, strerror(errno));
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

// Bulk sender: one --block sized send after another, until the socket is full.
void pump_bulk(Conn& c)
{
    static std::vector<uint8_t> block(cfg.block, (uint8_t)'b');
    while (c.bulk_tx < cfg.bytes) {
        size_t in_block = (size_t)(c.bulk_tx % cfg.block);
        size_t n = std::min<uint64_t>(cfg.block - in_block, cfg.bytes - c.bulk_tx);
        ssize_t w = send(c.fd, block.data() + in_block, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && (errno == EAGAIN || errno == EINTR))
            return set_pollout(c, true);
        if (w < 0)
            die("send on client %d: %s", c.index, strerror(errno));
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
        if (c.index != 0 && q < sync_reach.size() && ++sync_reach[q] >= sync_target && q >= sync_first)
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
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0)
        die("client %d: %s", c.index, n ? strerror(errno) : "the server closed the connection");
    int64_t now = now_ns();
    if (cfg.quickack) {
        // Acknowledge at once: the kernel's delayed acknowledgement would
        // otherwise hold a relay's next small segment back (Nagle) for up
        // to 40 ms, and the figures would be the timer's, not the relay's.
        int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    }
    for (size_t off = 0, len = (size_t)n; off < len;) {
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
            if ((c.carry_len += take) == kLine) {
                handle_line(c, c.carry, now);
                c.carry_len = 0;
            }
        }
        off += take;
    }
}

uint64_t bulk_expected(const Conn& c)
{
    bool sender = c.index < cfg.senders;
    return (uint64_t)(cfg.senders - (sender ? 1 : 0) + (sender && cfg.echo ? 1 : 0)) * cfg.bytes;
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
    if (n < 0 && errno != EINTR)
        die("epoll_wait: %s", strerror(errno));
    for (int i = 0; i < n; i++) {
        Conn& c = conns[evs[i].data.u32];
        if (evs[i].events & EPOLLIN)
            on_readable(c);
        else if (evs[i].events & (EPOLLERR | EPOLLHUP))
            die("client %d: connection error", c.index);
        if ((evs[i].events & EPOLLOUT) && running && cfg.bulk && c.index < cfg.senders)
            pump_bulk(c);
        else if (evs[i].events & EPOLLOUT)
            flush_out(c);
    }
}

// Connects every client and waits until the server relays to all of them.
void start_up(int port, int64_t deadline)
{
    ep = epoll_create1(EPOLL_CLOEXEC);
    conns.resize((size_t)cfg.clients);
    uint8_t m[kLine];
    // Rounds of 8, fewer than the servers' listen backlog of 10: a full
    // accept queue drops connections that the kernel retries a second later.
    for (int first = 0; first < cfg.clients; first += 8) {
        int last = std::min(cfg.clients, first + 8);
        for (int i = first; i < last; i++) {
            Conn& c = conns[(size_t)i];
            c.index = i;
            c.fd = connect_loopback(port, std::min<int64_t>(deadline, now_ns() + 10000000000LL));
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
        for (int64_t next_sync = 0; !synced && sync_target > 0; event_round(1)) {
            if (now_ns() > deadline)
                die("time limit: the server did not relay to all of the first %d clients", last);
            if (now_ns() >= next_sync) {
                sync_reach.push_back(0);
                fill_line(m, kMagicSync, 0, (uint32_t)(sync_reach.size() - 1));
                queue_send(conns[0], m, kLine);
                next_sync = now_ns() + 5000000;
            }
        }
    }
    fill_line(m, kMagicGo, 0, 0);
    queue_send(conns[0], m, kLine);
    conns[0].go_seen = !cfg.echo;  // without echo its own GO never comes back
    const int go_expected = cfg.clients - 1 + (cfg.echo ? 1 : 0);
    while (go_count < go_expected) {
        if (now_ns() > deadline)
            die("time limit: GO reached %d of %d clients (is --no-echo right?)", go_count, go_expected);
        event_round(5);
    }
}

// The measured run against one server; the row matches the metrics in main.
Row measure(const Server& srv)
{
    const int64_t deadline = now_ns() + (int64_t)(cfg.time_limit * 1e9);
    start_up(srv.port, deadline);
    const uint64_t total = (uint64_t)cfg.senders * cfg.messages;
    if (!cfg.bulk) {
        sent_ns.assign(total, 0);
        remaining.assign(total, cfg.clients - 1);
        latency_us.reserve(total);
    }
    const double cpu0 = proc_cpu_s(srv.pid), gen0 = (double)clock_ns(CLOCK_PROCESS_CPUTIME_ID) / 1e9;
    const int64_t t0 = now_ns();
    running = true;
    uint64_t behind = 0;  // fixed rate: sends that found the window full
    if (cfg.bulk) {
        for (int s = 0; s < cfg.senders; s++)
            pump_bulk(conns[(size_t)s]);
        for (; !bulk_done(); event_round(100))
            if (now_ns() > deadline)
                die("time limit in the bulk run");
    }
    const double period_ns = cfg.rate > 0 ? 1e9 / cfg.rate : 0;
    // A fixed rate still caps what is in flight, so that a relay that cannot
    // keep up is seen as falling behind rather than buffering.
    const uint32_t cap = cfg.rate > 0 ? std::max<uint32_t>(cfg.window, 256) : cfg.window;
    while (!cfg.bulk && completed < total) {
        int64_t now = now_ns(), next_due = INT64_MAX;
        if (now > deadline)
            die("time limit: %llu of %llu lines delivered everywhere", (unsigned long long)completed,
                (unsigned long long)total);
        for (int s = 0; s < cfg.senders; s++) {
            Conn& c = conns[(size_t)s];
            while (c.next_seq < cfg.messages && c.outstanding < cap) {
                int64_t due = t0 + (int64_t)(((double)c.next_seq + (double)s / cfg.senders) * period_ns);
                if (cfg.rate > 0 && due > now) {
                    next_due = std::min(next_due, due);
                    break;
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
    const double elapsed = (double)(last_done_ns - t0) / 1e9, cpu1 = proc_cpu_s(srv.pid);
    const double gen = (double)clock_ns(CLOCK_PROCESS_CPUTIME_ID) / 1e9 - gen0;
    const double cpu = cpu0 >= 0 && cpu1 >= 0 ? cpu1 - cpu0 : -1;
    double size, rss, threads;
    proc_mem(srv.pid, size, rss, threads);
    if (cfg.bulk) {
        uint64_t delivered = 0;
        for (const Conn& c : conns)
            delivered += c.bulk_rx;
        if (cfg.echo)  // only bytes that reached a client other than their sender
            delivered -= (uint64_t)cfg.senders * cfg.bytes;
        double mb = (double)delivered / 1e6;
        return {mb, elapsed, mb / elapsed, cpu, cpu >= 0 ? cpu * 1000 / mb : -1, size, rss, threads, gen};
    }
    double deliveries = (double)total * (cfg.clients - 1), mb = deliveries * kLine / 1e6;
    return {elapsed, deliveries / elapsed, quantile(latency_us, 0.5), quantile(latency_us, 0.99),
            quantile(latency_us, 1), cpu, cpu >= 0 ? cpu * 1000 / mb : -1, size, rss, threads, gen,
            (double)behind, gen / elapsed};
}

}  // namespace

int main(int argc, char** argv)
{
    Args a(argc, argv);
    std::string file = a.str("csv", "/dev/null"), mode = a.str("mode", "chat");
    std::vector<int> counts = a.list("clients", "16,64,256");
    cfg.senders = (int)a.num("senders", 4);
    cfg.rate = a.num("rate", 0);
    cfg.window = (uint32_t)a.num("window", 16);
    cfg.quickack = a.num("quickack", 1) != 0;
    const double messages = a.num("messages", 0), deliveries = a.num("deliveries", 4e6);
    const double delivered = a.num("delivered", 1e9);
    cfg.block = (uint32_t)a.num("block", 1024);
    cfg.time_limit = a.num("time-limit", 60);
    const int repeat = (int)a.num("repeat", 1);
    const std::string no_echo = "," + a.str("no-echo", "") + ",";
    a.done();
    std::vector<Server> srv = servers(a.rest);
    cfg.bulk = mode == "bulk";
    if (mode != "chat" && !cfg.bulk)
        die("--mode is chat or bulk");
    for (int n : counts) {
        cfg.clients = n;
        if (n < 2 || cfg.senders < 1 || cfg.senders > n || cfg.window < 1 || cfg.block < 1 || repeat < 1)
            die("need 2 or more clients, 1 to clients senders, a window, a block and a repeat of 1 or more");
        const double receivers = (double)cfg.senders * (n - 1);
        cfg.messages = (uint32_t)(messages > 0 ? messages : std::max(10.0, deliveries / receivers));
        cfg.bytes = (uint64_t)std::max(65536.0, delivered / receivers);
        char config[160];
        if (cfg.bulk)
            snprintf(config, sizeof(config), "%d,%d,%u,%llu", n, cfg.senders, cfg.block, (unsigned long long)cfg.bytes);
        else
            snprintf(config, sizeof(config), "%d,%d,%g,%u,%u,%.0f,%d", n, cfg.senders, cfg.rate, cfg.window,
                     cfg.senders * cfg.messages, receivers * cfg.messages, cfg.quickack ? 1 : 0);
        // Each run is a child process: cfg.echo set here reaches that run only.
        auto run = [&](const Server& s) {
            cfg.echo = no_echo.find("," + s.label + ",") == std::string::npos;
            return measure(s);
        };
        if (cfg.bulk)
            series(file, "clients,senders,block,bytes_per_sender", config, srv, repeat, false, cfg.time_limit,
                   {{"delivered_MB", 0}, {"elapsed_s", 0}, {"MB_per_s", 0}, {"server_cpu_s", 0},
                    {"cpu_ms_per_MB", 1}, {"vm_size_kib", 0}, {"vm_rss_kib", 0}, {"threads", 0}, {"gen_cpu_s", 0}},
                   run);
        else
            series(file, "clients,senders,rate,window,lines,deliveries,quickack", config, srv, repeat, false,
                   cfg.time_limit,
                   {{"elapsed_s", 0}, {"deliveries_per_s", 1}, {"lat_p50_us", 0}, {"lat_p99_us", 1},
                    {"lat_max_us", 0}, {"server_cpu_s", 0}, {"cpu_ms_per_MB", 0}, {"vm_size_kib", 0},
                    {"vm_rss_kib", 0}, {"threads", 0}, {"gen_cpu_s", 0}, {"behind", 0}, {"gen_busy", 0}},
                   run);
    }
    return 0;
}
