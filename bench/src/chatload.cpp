// chatload: load generator for the chat relays, one thread and one epoll set for every client. chat: each sender sends
// M 64-byte lines (or D / receivers), at R lines/s or at most 16 not yet everywhere; bulk: 1024-byte blocks until B
// bytes have reached the other clients. Relays in --no-echo do not return a sender's own.
//   chatload --csv FILE [--mode chat|bulk] [--clients 16,64,256] [--senders 4] [--rate R] [--quickack 0|1]
//            [--messages M | --deliveries D] [--delivered B] [--repeat N] [--no-echo LABELS] [--time-limit S]
//            LABEL=COMMAND...

#include <sys/epoll.h>

#include "benchlib.h"

const size_t kLine = 64, kBlock = 1024, kWindow = 16;  // kWindow: lines of a sender not yet everywhere, at most

struct Conn {
    int fd = -1, index = 0;
    bool go_seen = false, pollout = false;
    uint32_t synced_to = 0;    // 1 + the last SYNC nonce it got
    uint8_t carry[kLine];      // the start of a line split across reads
    size_t carry_len = 0;
    std::vector<uint8_t> out;  // bytes the socket did not take yet
    uint64_t out_off = 0;
    uint64_t bulk_rx = 0, bulk_tx = 0;       // bytes received after GO, sent (bulk)
    uint32_t next_seq = 0, outstanding = 0;  // a chat sender's
};

// Configuration, then the state of one run (a process of its own, see series()).
static bool bulk = false, echo = true, quickack = true, running = false;
static int clients = 0, senders = 4, ep = -1, go_count = 0;
static double rate = 0, time_limit = 60;  // rate: lines/s per sender; 0 = as fast as the window allows
static std::string no_echo;               // LABEL,...
static uint32_t messages = 0;
static uint64_t bytes = 0, bulk_rx = 0, completed = 0, last_done_us = 0;  // bytes: per bulk sender
static std::vector<Conn> conns;
static uint8_t rxbuf[256 * 1024];
static std::vector<uint64_t> sent_us;  // per line (sender s, seq q) at s * messages + q
static std::vector<int32_t> remaining;
static std::vector<double> latency_us;

static void fill_line(uint8_t* m, const char* magic, uint32_t sender, uint32_t seq)
{
    memcpy(m, magic, 4);
    memcpy(m + 4, &sender, 4);
    memcpy(m + 8, &seq, 4);
    for (size_t i = 12; i < kLine - 1; i++)
        m[i] = (uint8_t)('a' + (sender + seq + i) % 26);
    m[kLine - 1] = '\n';
}

// Sends what the socket takes of the queued lines, or in a bulk run of the 1024-byte sends; the rest on EPOLLOUT.
static void pump(Conn& c)
{
    static const std::vector<uint8_t> block(kBlock, (uint8_t)'b');
    const bool stream = running && bulk && c.index < senders;
    uint64_t& done = stream ? c.bulk_tx : c.out_off;
    const uint64_t end = stream ? bytes : c.out.size();
    bool full = false;
    for (ssize_t w; done < end && !full; done += w > 0 ? (uint64_t)w : 0) {
        const uint8_t* from = stream ? block.data() + done % kBlock : c.out.data() + done;
        w = send(c.fd, from, std::min<uint64_t>(stream ? kBlock - done % kBlock : end - done, end - done),
                 MSG_NOSIGNAL | MSG_DONTWAIT);
        full = w < 0 && (errno == EAGAIN || errno == EINTR);
        if (w < 0 && !full)
            die("send on client %d: %s", c.index, strerror(errno));
    }
    if (!stream && !full) {
        c.out.clear();
        c.out_off = 0;
    }
    epoll_event ev = {full ? (uint32_t)(EPOLLIN | EPOLLOUT) : (uint32_t)EPOLLIN, {}};
    ev.data.u32 = (uint32_t)c.index;
    if (c.pollout != full && epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev) != 0)
        die("epoll_ctl: %s", strerror(errno));
    c.pollout = full;
}

static void send_line(Conn& c, const char* magic, uint32_t seq)
{
    c.out.resize(c.out.size() + kLine);
    fill_line(c.out.data() + c.out.size() - kLine, magic, (uint32_t)c.index, seq);
    pump(c);
}

static void handle_line(Conn& c, const uint8_t* m, uint64_t now)
{
    uint32_t s, q;
    memcpy(&s, m + 4, 4);
    memcpy(&q, m + 8, 4);
    uint8_t want[kLine];
    fill_line(want, "LINE", s, q);
    if (memcmp(m, "SYNC", 4) == 0) {
        c.synced_to = q + 1;
    } else if (memcmp(m, "GOGO", 4) == 0) {
        c.go_seen = true;
        go_count++;
    } else if (s >= (uint32_t)senders || q >= messages || memcmp(m, want, kLine) != 0) {
        die("client %d: unknown or malformed line: stream corrupted or misaligned", c.index);
    } else if ((int)s != c.index) {  // not the relay's copy to the sender itself
        size_t k = (size_t)s * messages + q;
        if (--remaining[k] < 0)
            die("client %d: line %u/%u received twice", c.index, s, q);
        if (remaining[k] == 0) {
            latency_us.push_back((double)(now - sent_us[k]));
            completed++;
            last_done_us = now;
            conns[s].outstanding--;
        }
    }
}

// Handles the whole lines read after the carried start of one and carries the rest; after GO, bulk is only counted.
static void on_readable(Conn& c)
{
    memcpy(rxbuf, c.carry, c.carry_len);
    ssize_t n = read(c.fd, rxbuf + c.carry_len, sizeof(rxbuf) - c.carry_len);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0)
        die("client %d: %s", c.index, n ? strerror(errno) : "the server closed the connection");
    const uint64_t now = mono_us();
    int one = 1;  // acknowledged at once, unless --quickack 0: else Nagle may hold a relay's next line 40 ms
    if (quickack)
        setsockopt(c.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    size_t len = c.carry_len + (size_t)n, off = 0;
    for (; off + kLine <= len && !(bulk && c.go_seen); off += kLine)
        handle_line(c, rxbuf + off, now);
    if (bulk && c.go_seen && off < len) {
        c.bulk_rx += len - off;
        bulk_rx += len - off;
        const bool sender = c.index < senders;  // it gets every other sender's, and its own from a relay that echoes
        if (c.bulk_rx > (uint64_t)(senders - sender + (sender && echo)) * bytes)
            die("client %d received %llu bytes, more than were sent to it", c.index, (unsigned long long)c.bulk_rx);
        last_done_us = now;
        off = len;
    }
    c.carry_len = len - off;
    memcpy(c.carry, rxbuf + off, c.carry_len);
}

static void event_round(int timeout_ms, uint64_t deadline, const char* what)
{
    if (mono_us() > deadline)
        die("time limit: %s (%llu lines everywhere, GO at %d clients)", what, (unsigned long long)completed, go_count);
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
        if (evs[i].events & EPOLLOUT)
            pump(c);
    }
}

// Connects the clients in rounds of 8 (below the servers' backlog of 10); after each, client 0 repeats a SYNC line
// until every client so far has one sent after its connect. Then GO, and the run starts when GO is everywhere.
static void start_up(int port, uint64_t deadline)
{
    ep = epoll_create1(EPOLL_CLOEXEC);
    conns.resize((size_t)clients);
    uint32_t nonce = 0;
    for (int first = 0; first < clients; first += 8) {
        const int last = std::min(clients, first + 8);
        for (int i = first; i < last; i++) {
            Conn& c = conns[(size_t)i];
            c.index = i;
            c.fd = connect_loopback(port, deadline, true);
            epoll_event ev = {EPOLLIN, {}};
            ev.data.u32 = (uint32_t)i;
            if (epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev) != 0)
                die("epoll_ctl: %s", strerror(errno));
        }
        const uint32_t first_nonce = nonce;
        auto synced = [&](const Conn& c) { return c.synced_to > first_nonce; };
        for (uint64_t next = 0; !std::all_of(conns.begin() + 1, conns.begin() + last, synced);
             event_round(1, deadline, "start-up")) {
            if (mono_us() >= next) {
                send_line(conns[0], "SYNC", nonce++);
                next = mono_us() + 5000;
            }
        }
    }
    send_line(conns[0], "GOGO", 0);
    conns[0].go_seen = !echo;  // without echo its own GO never comes back
    while (go_count < clients - 1 + echo)
        event_round(5, deadline, "GO did not reach every client (is --no-echo right?)");
}

// One run against a server; the row matches the metrics in main.
static Row measure(const Server& srv)
{
    echo = ("," + no_echo + ",").find("," + srv.label + ",") == std::string::npos;
    const uint64_t deadline = mono_us() + (uint64_t)(time_limit * 1e6);
    start_up(srv.port, deadline);
    const uint64_t total = bulk ? 0 : (uint64_t)senders * messages;
    sent_us.assign(total, 0);
    remaining.assign(total, clients - 1);
    latency_us.reserve(total);
    const double cpu0 = proc_usage(srv.pid)[0], gen0 = cpu_us(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t t0 = mono_us();
    running = true;
    for (int s = 0; bulk && s < senders; s++)
        pump(conns[(size_t)s]);
    // Each client has all it is sent when none has more and the sum is right.
    while (bulk && bulk_rx < (uint64_t)senders * bytes * (clients - 1 + echo))
        event_round(100, deadline, "bulk run");
    // A fixed rate still caps what is in flight: a relay that cannot keep up falls behind rather than buffering.
    const uint32_t cap = rate > 0 ? 256 : kWindow;
    uint64_t behind = 0;  // fixed rate: sends that found the window full
    while (completed < total) {
        uint64_t now = mono_us(), next_due = UINT64_MAX;
        for (int s = 0; s < senders; s++) {
            Conn& c = conns[(size_t)s];
            while (c.next_seq < messages && c.outstanding < cap) {
                uint64_t due = rate > 0 ? t0 + (uint64_t)(((double)c.next_seq + (double)s / senders) * 1e6 / rate) : 0;
                if (due > now) {
                    next_due = std::min(next_due, due);
                    break;
                }
                sent_us[(size_t)s * messages + c.next_seq] = now;
                c.outstanding++;
                send_line(c, "LINE", c.next_seq++);
            }
            behind += rate > 0 && c.next_seq < messages && c.outstanding >= cap;
        }
        const uint64_t left = next_due > mono_us() ? std::min<uint64_t>(next_due - mono_us(), 100000) : 0;
        event_round((int)((left + 999) / 1000), deadline, "chat run");
    }
    const std::vector<double> end = proc_usage(srv.pid);  // CPU, then the memory
    const double elapsed = (double)(last_done_us - t0) / 1e6, cpu = cpu0 >= 0 && end[0] >= 0 ? end[0] - cpu0 : -1;
    const double gen = (cpu_us(CLOCK_PROCESS_CPUTIME_ID) - gen0) / 1e6;
    // MB that reached a client other than their sender.
    const double mb = (bulk ? (double)(bulk_rx - echo * senders * bytes) : (double)total * (clients - 1) * kLine) / 1e6;
    if (bulk)
        return {mb, elapsed, mb / elapsed, cpu, cpu >= 0 ? cpu * 1000 / mb : -1, end[1], end[2], end[3], gen};
    return {elapsed, (double)total * (clients - 1) / elapsed, quantile(latency_us, 0.5), quantile(latency_us, 0.99),
            quantile(latency_us, 1), cpu, cpu >= 0 ? cpu * 1000 / mb : -1, end[1], end[2], end[3], gen,
            (double)behind, gen / elapsed};
}

int main(int argc, char** argv)
{
    std::string file = "/dev/null", mode = "chat", counts = "16,64,256";
    double fixed = 0, deliveries = 4e6, delivered = 1e9;
    int repeat = 1;
    const std::vector<std::string> servers =
        Args(argc, argv).get("csv", file).get("mode", mode).get("clients", counts).get("no-echo", no_echo)
            .get("senders", senders).get("rate", rate).get("quickack", quickack).get("messages", fixed)
            .get("deliveries", deliveries).get("delivered", delivered).get("time-limit", time_limit)
            .get("repeat", repeat).done();
    bulk = mode == "bulk";
    if (mode != "chat" && !bulk)
        die("--mode is chat or bulk");
    for (const char* p = counts.c_str(); *p; p += *p == ',') {
        clients = (int)strtol(p, (char**)&p, 10);
        if (clients < 2 || senders < 1 || senders > clients)
            die("need 2 or more clients and 1 to clients senders");
        const double receivers = (double)senders * (clients - 1);
        messages = (uint32_t)(fixed > 0 ? fixed : std::max(10.0, deliveries / receivers));
        bytes = (uint64_t)std::max(65536.0, delivered / receivers);
        series(file, bulk ? "clients,senders,block,bytes_per_sender" : "clients,senders,rate,window,lines,deliveries,quickack",
               fmt(clients) + "," + fmt(senders) + "," +
                   (bulk ? fmt(kBlock) + "," + fmt((double)bytes)
                         : fmt(rate) + "," + fmt(kWindow) + "," + fmt(senders * messages) + "," +
                               fmt(receivers * messages) + "," + fmt(quickack)),
               servers, repeat, false, time_limit,
               bulk ? "delivered_MB elapsed_s MB_per_s server_cpu_s cpu_ms_per_MB* vm_size_kib vm_rss_kib threads gen_cpu_s"
                    : "elapsed_s deliveries_per_s* lat_p50_us lat_p99_us* lat_max_us server_cpu_s cpu_ms_per_MB "
                      "vm_size_kib vm_rss_kib threads gen_cpu_s behind gen_busy", measure);
    }
    return 0;
}
