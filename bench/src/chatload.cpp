// chatload: load generator for the chat relays (talkhub, ncat --broker, the
// bare relay); one thread and one epoll set serve every client, on loopback.
//
//   chatload --csv FILE [--mode chat|bulk] [--clients 16,64,256] [--senders 4]
//            [--messages M | --deliveries D] [--rate R | --window 16] [--quickack 0|1]
//            [--delivered B] [--repeat N] [--no-echo LABELS] [--time-limit S] LABEL=COMMAND...
//
// chat: the senders send M 64-byte lines each (or D / receivers), at R lines/s
// or with at most W each not yet everywhere; measures lines delivered to the
// other clients per second and the latency from the send to the last of them.
// bulk: the senders write 1024 bytes at a time until B bytes have reached the
// other clients. Both measure the server's CPU per delivered MB (10^6 bytes)
// and its memory. Relays in --no-echo do not return a sender's blocks.
//
// Start-up: clients connect in rounds of 8, fewer than the servers' listen
// backlog of 10 (a full accept queue drops connections that the kernel
// retries a second later); after each, client 0 repeats a SYNC line until one
// has reached every client so far; then GO, and the run starts when GO has
// arrived everywhere (a sender's lines arrive in order, so none before GO).

#include <sys/epoll.h>

#include "benchlib.h"

using namespace bench;

namespace {

const size_t kLine = 64, kBlock = 1024;

struct Conn {
    int fd = -1, index = 0;
    bool go_seen = false, pollout = false;
    uint8_t carry[kLine];  // the start of a line split across reads
    size_t carry_len = 0;
    std::vector<uint8_t> out;  // bytes the socket did not take yet
    uint64_t out_off = 0;
    uint64_t bulk_rx = 0, bulk_tx = 0;       // bytes received after GO, sent (bulk)
    uint32_t next_seq = 0, outstanding = 0;  // a chat sender's
};

// Configuration, then the state of one run; each run is a process of its
// own (see series()).
bool bulk = false, echo = true, quickack = true, running = false, synced = false;
int clients = 0, senders = 4, ep = -1, sync_target = 0, go_count = 0;
double rate = 0, time_limit = 60;  // rate: lines/s per sender; 0 = as fast as the window allows
uint32_t window = 16, messages = 0, sync_first = 0;
uint64_t bytes = 0, completed = 0;  // bytes: per bulk sender
std::vector<Conn> conns;
uint8_t rxbuf[256 * 1024];
std::vector<uint64_t> sent_us;  // per line (sender s, seq q) at s * messages + q
std::vector<int32_t> remaining;
std::vector<double> latency_us;
std::vector<int> sync_reach;  // per SYNC nonce: the clients it reached
uint64_t last_done_us = 0;

void fill_line(uint8_t* m, const char* magic, uint32_t sender, uint32_t seq)
{
    memcpy(m, magic, 4);
    memcpy(m + 4, &sender, 4);
    memcpy(m + 8, &seq, 4);
    for (size_t i = 12; i < kLine - 1; i++)
        m[i] = (uint8_t)('a' + (sender + seq + i) % 26);
    m[kLine - 1] = '\n';
}

void set_pollout(Conn& c, bool on)
{
    epoll_event ev = {on ? (uint32_t)(EPOLLIN | EPOLLOUT) : (uint32_t)EPOLLIN, {}};
    ev.data.u32 = (uint32_t)c.index;
    if (c.pollout != on && epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev) != 0)
        die("epoll_ctl: %s", strerror(errno));
    c.pollout = on;
}

// Sends what the socket takes of the queued lines, or, once a bulk run is
// on, of a sender's stream (one 1024-byte send after another); what is left
// waits for EPOLLOUT.
void pump(Conn& c)
{
    static const std::vector<uint8_t> block(kBlock, (uint8_t)'b');
    const bool stream = running && bulk && c.index < senders;
    uint64_t& done = stream ? c.bulk_tx : c.out_off;
    const uint64_t end = stream ? bytes : c.out.size();
    for (ssize_t w; done < end; done += (uint64_t)w) {
        const uint8_t* from = stream ? block.data() + done % kBlock : c.out.data() + done;
        w = send(c.fd, from, std::min<uint64_t>(stream ? kBlock - done % kBlock : end - done, end - done),
                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && (errno == EAGAIN || errno == EINTR))
            return set_pollout(c, true);
        if (w < 0)
            die("send on client %d: %s", c.index, strerror(errno));
    }
    if (!stream) {
        c.out.clear();
        c.out_off = 0;
    }
    set_pollout(c, false);
}

void send_line(Conn& c, const char* magic, uint32_t seq)
{
    c.out.resize(c.out.size() + kLine);
    fill_line(c.out.data() + c.out.size() - kLine, magic, (uint32_t)c.index, seq);
    pump(c);
}

void handle_line(Conn& c, const uint8_t* m, uint64_t now)
{
    uint32_t s, q;
    memcpy(&s, m + 4, 4);
    memcpy(&q, m + 8, 4);
    uint8_t want[kLine];
    fill_line(want, "LINE", s, q);
    if (memcmp(m, "LINE", 4) == 0) {
        if (s >= (uint32_t)senders || q >= messages || memcmp(m, want, kLine) != 0)
            die("client %d: malformed line (sender %u seq %u): stream corrupted or misaligned", c.index, s, q);
        size_t k = (size_t)s * messages + q;
        if ((int)s == c.index)
            return;  // the relay's copy to the sender itself
        if (--remaining[k] < 0)
            die("client %d: line %u/%u received twice", c.index, s, q);
        if (remaining[k] == 0) {
            latency_us.push_back((double)(now - sent_us[k]));
            completed++;
            last_done_us = now;
            conns[s].outstanding--;
        }
    } else if (memcmp(m, "SYNC", 4) == 0) {
        if (c.index != 0 && q < sync_reach.size() && ++sync_reach[q] >= sync_target && q >= sync_first)
            synced = true;
    } else if (memcmp(m, "GOGO", 4) == 0) {
        c.go_seen = true;
        go_count++;
    } else {
        die("client %d: unknown line: stream corrupted or misaligned", c.index);
    }
}

// Reads after the carried start of a line, handles the whole lines, and
// carries the rest; after GO a bulk stream is counted, not parsed.
void on_readable(Conn& c)
{
    memcpy(rxbuf, c.carry, c.carry_len);
    ssize_t n = read(c.fd, rxbuf + c.carry_len, sizeof(rxbuf) - c.carry_len);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0)
        die("client %d: %s", c.index, n ? strerror(errno) : "the server closed the connection");
    const uint64_t now = mono_us();
    // Acknowledge at once (unless --quickack 0): the kernel's delayed
    // acknowledgement would otherwise hold a relay's next small segment back
    // (Nagle) for up to 40 ms, and the figures would be the timer's.
    int one = 1;
    if (quickack)
        setsockopt(c.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof(one));
    size_t len = c.carry_len + (size_t)n, off = 0;
    for (; off + kLine <= len && !(bulk && c.go_seen); off += kLine)
        handle_line(c, rxbuf + off, now);
    if (bulk && c.go_seen && off < len) {
        c.bulk_rx += len - off;
        last_done_us = now;
        off = len;
    }
    c.carry_len = len - off;
    memcpy(c.carry, rxbuf + off, c.carry_len);
}

bool bulk_done()
{
    for (const Conn& c : conns) {
        bool sender = c.index < senders;
        uint64_t expected = (uint64_t)(senders - sender + (sender && echo)) * bytes;
        if (c.bulk_rx > expected)
            die("client %d received %llu bytes, more than the %llu sent to it", c.index,
                (unsigned long long)c.bulk_rx, (unsigned long long)expected);
        if (c.bulk_rx < expected)
            return false;
    }
    return true;
}

void event_round(int timeout_ms, uint64_t deadline, const char* what)
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

// Connects every client and waits until the server relays to all of them.
void start_up(int port, uint64_t deadline)
{
    ep = epoll_create1(EPOLL_CLOEXEC);
    conns.resize((size_t)clients);
    for (int first = 0; first < clients; first += 8) {
        int last = std::min(clients, first + 8);
        for (int i = first; i < last; i++) {
            Conn& c = conns[(size_t)i];
            c.index = i;
            c.fd = connect_loopback(port, std::min<uint64_t>(deadline, mono_us() + 10000000));
            set_nodelay(c.fd);
            fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
            epoll_event ev = {EPOLLIN, {}};
            ev.data.u32 = (uint32_t)i;
            if (epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev) != 0)
                die("epoll_ctl: %s", strerror(errno));
        }
        synced = false;
        sync_first = (uint32_t)sync_reach.size();
        sync_target = last - 1;
        for (uint64_t next_sync = 0; !synced && sync_target > 0; event_round(1, deadline, "start-up")) {
            if (mono_us() >= next_sync) {
                sync_reach.push_back(0);
                send_line(conns[0], "SYNC", (uint32_t)(sync_reach.size() - 1));
                next_sync = mono_us() + 5000;
            }
        }
    }
    send_line(conns[0], "GOGO", 0);
    conns[0].go_seen = !echo;  // without echo its own GO never comes back
    while (go_count < clients - 1 + echo)
        event_round(5, deadline, "GO did not reach every client (is --no-echo right?)");
}

// The measured run against one server; the row matches the metrics in main.
Row measure(const Server& srv)
{
    const uint64_t deadline = mono_us() + (uint64_t)(time_limit * 1e6);
    start_up(srv.port, deadline);
    const uint64_t total = bulk ? 0 : (uint64_t)senders * messages;
    sent_us.assign(total, 0);
    remaining.assign(total, clients - 1);
    latency_us.reserve(total);
    const double cpu0 = proc_cpu_s(srv.pid), gen0 = cpu_us(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t t0 = mono_us();
    running = true;
    for (int s = 0; bulk && s < senders; s++)
        pump(conns[(size_t)s]);
    while (bulk && !bulk_done())
        event_round(100, deadline, "bulk run");
    // A fixed rate still caps what is in flight, so that a relay that cannot
    // keep up is seen as falling behind rather than buffering.
    const uint32_t cap = rate > 0 ? std::max<uint32_t>(window, 256) : window;
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
    const double elapsed = (double)(last_done_us - t0) / 1e6, cpu1 = proc_cpu_s(srv.pid);
    const double gen = (cpu_us(CLOCK_PROCESS_CPUTIME_ID) - gen0) / 1e6;
    const double cpu = cpu0 >= 0 && cpu1 >= 0 ? cpu1 - cpu0 : -1;
    std::vector<double> mem = proc_mem(srv.pid);
    double delivered = 0;  // bytes that reached a client other than their sender
    for (const Conn& c : conns)
        delivered += (double)c.bulk_rx;
    const double mb = (bulk ? delivered - (echo ? (double)senders * bytes : 0) : (double)total * (clients - 1) * kLine) / 1e6;
    if (bulk)
        return {mb, elapsed, mb / elapsed, cpu, cpu >= 0 ? cpu * 1000 / mb : -1, mem[0], mem[1], mem[2], gen};
    return {elapsed, (double)total * (clients - 1) / elapsed, quantile(latency_us, 0.5), quantile(latency_us, 0.99),
            quantile(latency_us, 1), cpu, cpu >= 0 ? cpu * 1000 / mb : -1, mem[0], mem[1], mem[2], gen,
            (double)behind, gen / elapsed};
}

}  // namespace

int main(int argc, char** argv)
{
    Args a(argc, argv);
    const std::string file = a.str("csv", "/dev/null"), mode = a.str("mode", "chat"), counts = a.str("clients", "16,64,256");
    senders = (int)a.num("senders", 4);
    rate = a.num("rate", 0);
    window = (uint32_t)a.num("window", 16);
    quickack = a.num("quickack", 1) != 0;
    const double fixed = a.num("messages", 0), deliveries = a.num("deliveries", 4e6), delivered = a.num("delivered", 1e9);
    time_limit = a.num("time-limit", 60);
    const int repeat = (int)a.num("repeat", 1);
    const std::string no_echo = "," + a.str("no-echo", "") + ",";
    a.done();
    bulk = mode == "bulk";
    if (mode != "chat" && !bulk)
        die("--mode is chat or bulk");
    for (const char* p = counts.c_str(); *p; p += *p == ',') {
        clients = (int)strtol(p, (char**)&p, 10);
        if (clients < 2 || senders < 1 || senders > clients || window < 1)
            die("need 2 or more clients, 1 to clients senders, and a window of 1 or more");
        const double receivers = (double)senders * (clients - 1);
        messages = (uint32_t)(fixed > 0 ? fixed : std::max(10.0, deliveries / receivers));
        bytes = (uint64_t)std::max(65536.0, delivered / receivers);
        char config[160];
        if (bulk)
            snprintf(config, sizeof(config), "%d,%d,%zu,%llu", clients, senders, kBlock, (unsigned long long)bytes);
        else
            snprintf(config, sizeof(config), "%d,%d,%g,%u,%u,%.0f,%d", clients, senders, rate, window,
                     senders * messages, receivers * messages, quickack ? 1 : 0);
        // Each run is a child process: echo set here holds for that run only.
        auto run = [&](const Server& s) {
            echo = no_echo.find("," + s.label + ",") == std::string::npos;
            return measure(s);
        };
        series(file, bulk ? "clients,senders,block,bytes_per_sender" : "clients,senders,rate,window,lines,deliveries,quickack",
               config, a.rest, repeat, false, time_limit,
               bulk ? "delivered_MB elapsed_s MB_per_s server_cpu_s cpu_ms_per_MB* vm_size_kib vm_rss_kib threads gen_cpu_s"
                    : "elapsed_s deliveries_per_s* lat_p50_us lat_p99_us* lat_max_us server_cpu_s cpu_ms_per_MB "
                      "vm_size_kib vm_rss_kib threads gen_cpu_s behind gen_busy", run);
    }
    return 0;
}
