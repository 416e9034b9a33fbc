// talkhub: TCP chat relay. Every block of bytes one client sends is written
// to every connected client, the sender included. One detached thread per
// client; one mutex guards the client table. A broadcast that cannot hand a
// block to every client within SEND_TIMEOUT_SEC cuts off those that have not
// taken it, so that they cannot stall the rest.
//
// Usage: talkhub <port>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "toolset/listener.h"
#include "toolset/monoclock.h"
#include "toolset/stdfds.h"

#define MAX_CLNT 256
#define BUF_SIZE 1024

// A client thread needs little more than its receive buffer; an explicit
// small stack keeps 256 clients well inside a 32-bit address space.
#define CLNT_STACK_SIZE (64 * 1024)

// The longest one broadcast may wait for clients to take its block. The
// broadcast holds the table's mutex while it writes, so a client whose
// buffers stay full (a hung program, a dead link) would otherwise stop every
// other client, every client thread and the accept loop. The bound is for
// the whole broadcast, not for each client, so that any number of such
// clients costs the others one bound, not one each. Two seconds is far
// beyond what a reading client needs to make room for one block.
#define SEND_TIMEOUT_SEC 2
// The wait is made in slices; only the part of each slice that the relay
// spent waiting counts against the bound, so that time the relay itself was
// stopped (SIGSTOP, Ctrl-Z) or not scheduled never cuts a client off.
#define SEND_SLICE_MS 100

// Keep-alive on every client socket: a peer that vanished without a word (a
// closed laptop, a board off the Wi-Fi) is found out after KEEP_IDLE_SEC of
// silence and KEEP_CNT unanswered probes KEEP_INTVL_SEC apart, 90 s in all,
// and its read fails, which frees its place. USER_TIMEOUT_MS bounds likewise
// how long data sent to it may stay unacknowledged.
#define KEEP_IDLE_SEC 60
#define KEEP_INTVL_SEC 10
#define KEEP_CNT 3
#define USER_TIMEOUT_MS ((KEEP_IDLE_SEC + KEEP_INTVL_SEC * KEEP_CNT) * 1000)

static int32_t clnt_cnt = 0;
static int32_t clnt_socks[MAX_CLNT];
// The address each client connected from, at the same position as its socket.
static struct in_addr clnt_addrs[MAX_CLNT];
static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;

// The broadcast under way: how much of the block the client at each table
// position has taken, and the clients it still waits for. Guarded by mtx.
static int32_t sent_len[MAX_CLNT];
static struct pollfd pending[MAX_CLNT];
static int32_t pending_pos[MAX_CLNT];

// Takes sock out of the table, keeping the others in order. Caller holds mtx.
static void remove_client_locked(int sock)
{
    for (int32_t i = 0; i < clnt_cnt; i++) {
        if (clnt_socks[i] != sock)
            continue;
        for (int32_t k = i; k < clnt_cnt - 1; k++) {
            clnt_socks[k] = clnt_socks[k + 1];
            clnt_addrs[k] = clnt_addrs[k + 1];
        }
        clnt_cnt--;
        break;
    }
}

// Sends what the client at table position i still owes of the block, without
// waiting. True while it owes more and can take it later; false once it has
// it all, or its copy failed. A failed copy is not retried: a broken client
// is removed by its own thread. One that failed after part of the block is
// shut down, so that its stream never goes on with a gap. MSG_NOSIGNAL keeps
// a peer that reset its connection from raising SIGPIPE. Caller holds mtx.
static bool send_rest_locked(int32_t i, const char* msg, int32_t len)
{
    while (sent_len[i] < len) {
        ssize_t n = send(clnt_socks[i], msg + sent_len[i], (size_t)(len - sent_len[i]), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent_len[i] += (int32_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (sent_len[i] > 0)
            shutdown(clnt_socks[i], SHUT_RDWR);
        return false;
    }
    return false;
}

static void send_msg(const char* msg, int32_t len)
{
    pthread_mutex_lock(&mtx);
    // Every client in table order gets what it can take at once; then the
    // broadcast waits for those whose buffers were full, going on with each
    // one's rest as it makes room, until all have the block or the bound is
    // spent. No send ever blocks.
    int32_t npend = 0;
    for (int32_t i = 0; i < clnt_cnt; i++) {
        sent_len[i] = 0;
        if (send_rest_locked(i, msg, len)) {
            pending[npend].fd = clnt_socks[i];
            pending[npend].events = POLLOUT;
            pending_pos[npend++] = i;
        }
    }
    int64_t left_us = (int64_t)SEND_TIMEOUT_SEC * 1000000;
    while (npend > 0 && left_us > 0) {
        int slice_ms = left_us < SEND_SLICE_MS * 1000 ? (int)((left_us + 999) / 1000) : SEND_SLICE_MS;
        // Whatever ends the wait (room, an error, the slice's end, a stop),
        // every client still owed is tried again: poll reports room only
        // once a third of the send buffer is free, while a client that reads
        // slowly makes room for a block long before that.
        // A poll that fails at once (no memory) counts its whole slice, so
        // that it cannot keep the broadcast going round without end.
        uint64_t t0 = mono_us();
        int ready = poll(pending, (nfds_t)npend, slice_ms);
        int64_t waited = (int64_t)(mono_us() - t0);
        if (ready < 0 && errno != EINTR)
            waited = slice_ms * 1000;
        left_us -= waited < slice_ms * 1000 ? waited : slice_ms * 1000;
        int32_t still = 0;
        for (int32_t k = 0; k < npend; k++) {
            bool owes = send_rest_locked(pending_pos[k], msg, len);
            if (owes) {
                pending[still] = pending[k];
                pending_pos[still++] = pending_pos[k];
            }
        }
        npend = still;
    }
    // Whoever has not taken the block by now keeps the part it got and is
    // shut down, which ends its thread's read like any departure.
    for (int32_t k = 0; k < npend; k++)
        shutdown(pending[k].fd, SHUT_RDWR);
    pthread_mutex_unlock(&mtx);
}

// Per-client socket options. Each block goes out at once (TCP_NODELAY):
// otherwise a small block waits for the acknowledgement of the one before,
// which the receiver delays, and chat lines lag by tens of milliseconds.
// Keep-alive and the user time-out reclaim the place of a peer that has
// vanished. Results ignored: without them the client is still served, only
// less well.
static void set_client_options(int sock)
{
    int on = 1;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    (void)setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    int idle = KEEP_IDLE_SEC, intvl = KEEP_INTVL_SEC, cnt = KEEP_CNT;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof(intvl));
    (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof(cnt));
    unsigned int user_timeout = USER_TIMEOUT_MS;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof(user_timeout));
}

static void* clnt_handler(void* arg)
{
    int clnt_sock = (int)(intptr_t)arg;
    char msg[BUF_SIZE];
    ssize_t len;

    // The thread prints its client's line before it reads, not the accept
    // loop: while the log blocks (a terminal under Ctrl-S, a pipe nobody
    // reads) only this thread waits. Its client is in the table already and
    // receives every block; what it sends waits in its connection until the
    // log drains. The address is formatted into the thread's own buffer, as
    // inet_ntoa's storage is shared by all threads.
    struct in_addr addr;
    memset(&addr, 0, sizeof(addr));
    pthread_mutex_lock(&mtx);
    for (int32_t i = 0; i < clnt_cnt; i++)
        if (clnt_socks[i] == clnt_sock)
            addr = clnt_addrs[i];
    pthread_mutex_unlock(&mtx);
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr, ip, sizeof(ip));
    printf("Connected Client IP: %s\n", ip);

    while ((len = read(clnt_sock, msg, sizeof(msg))) > 0)
        send_msg(msg, (int32_t)len);

    pthread_mutex_lock(&mtx);
    remove_client_locked(clnt_sock);
    pthread_mutex_unlock(&mtx);

    close(clnt_sock);
    return NULL;
}

int main(int argc, char* argv[])
{
    open_std_fds();
    // A relay outlives the reader of its log: with the signal ignored, a
    // line printed to a closed pipe is lost and the relay goes on.
    signal(SIGPIPE, SIG_IGN);
    // Each line reaches the log as soon as it is complete: the relay only
    // ends by a signal, which would lose a block buffer. The buffer is
    // static so that the client threads, which print the log, allocate
    // nothing: a thread's first allocation reserves an arena of its own,
    // 64 MiB of address space on a 64-bit host.
    static char log_buf[BUFSIZ];
    setvbuf(stdout, log_buf, _IOLBF, sizeof(log_buf));

    if (argc != 2) {
        printf("Usage : %s <port>\n", argv[0]);
        exit(-1);
    }

    int serv_sock = listen_tcp(argv[1]);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, CLNT_STACK_SIZE);

    for (;;) {
        struct sockaddr_in clnt_adr;
        socklen_t clnt_adr_sz = sizeof(clnt_adr);
        int clnt_sock = accept(serv_sock, (struct sockaddr*)&clnt_adr, &clnt_adr_sz);
        if (clnt_sock == -1) {
            // Nothing was registered. Out of descriptors or memory, the same
            // call would fail again at once: pause rather than spin.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                usleep(100 * 1000);
            continue;
        }

        // A full table turns the newcomer away: its connection is closed
        // at once and it is never stored beyond the table.
        pthread_mutex_lock(&mtx);
        bool full = clnt_cnt >= MAX_CLNT;
        if (!full) {
            clnt_addrs[clnt_cnt] = clnt_adr.sin_addr;
            clnt_socks[clnt_cnt++] = clnt_sock;
        }
        pthread_mutex_unlock(&mtx);
        if (full) {
            close(clnt_sock);
            continue;
        }

        set_client_options(clnt_sock);
        pthread_t t_id;
        if (pthread_create(&t_id, &attr, clnt_handler, (void*)(intptr_t)clnt_sock) != 0) {
            // No thread would ever serve it: take it out again and close it.
            pthread_mutex_lock(&mtx);
            remove_client_locked(clnt_sock);
            pthread_mutex_unlock(&mtx);
            close(clnt_sock);
            continue;
        }
        pthread_detach(t_id);
    }
}
