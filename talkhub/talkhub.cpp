// talkhub: TCP chat relay. Every block of bytes one client sends is written
// to every connected client, the sender included. One detached thread per
// client; one mutex guards the client table. A broadcast that cannot hand a
// block to every client within SEND_TIMEOUT_SEC cuts off those that have not
// taken it, so that they cannot stall the rest. The log is printed by a
// thread of its own, so that a log nobody reads cannot stall them either.
//
// Usage: talkhub <port>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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

// The "Connected Client IP" lines waiting for the log thread, in the order
// the clients were accepted. While standard output is blocked (a terminal
// under Ctrl-S, `talkhub 9000 | less`, a stalled journal) the first
// LOG_QUEUE of them wait here; later ones are dropped and counted, and once
// the queue has drained one line says how many. Guarded by log_mtx, which is
// never held together with mtx.
#define LOG_QUEUE 1024

static int32_t clnt_cnt = 0;
static int32_t clnt_socks[MAX_CLNT];
static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;

// The broadcast under way: how much of the block the client at each table
// position has taken, and the clients it still waits for. Guarded by mtx.
static int32_t sent_len[MAX_CLNT];
static struct pollfd pending[MAX_CLNT];
static int32_t pending_pos[MAX_CLNT];

static struct in_addr log_addrs[LOG_QUEUE];
static uint32_t log_first, log_count, log_dropped;
static pthread_mutex_t log_mtx = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t log_cv = PTHREAD_COND_INITIALIZER;

// A descriptor held in reserve (on /dev/null) for turning newcomers away
// once every other one is in use; -1 when it could not be had.
static int spare_fd = -1;

// Takes sock out of the table, keeping the others in order. Caller holds mtx.
static void remove_client_locked(int sock)
{
    for (int32_t i = 0; i < clnt_cnt; i++) {
        if (clnt_socks[i] != sock)
            continue;
        for (int32_t k = i; k < clnt_cnt - 1; k++)
            clnt_socks[k] = clnt_socks[k + 1];
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

// Queues the line for a client accepted from addr; never waits for output.
static void log_connected(struct in_addr addr)
{
    pthread_mutex_lock(&log_mtx);
    if (log_count < LOG_QUEUE)
        log_addrs[(log_first + log_count++) % LOG_QUEUE] = addr;
    else
        log_dropped++;
    pthread_cond_signal(&log_cv);
    pthread_mutex_unlock(&log_mtx);
}

// The log thread: prints the queued lines one by one, the count of dropped
// ones once the queue is empty. Only this thread writes standard output
// after start-up, and only it may block on it.
static void* log_writer(void*)
{
    for (;;) {
        pthread_mutex_lock(&log_mtx);
        while (log_count == 0 && log_dropped == 0)
            pthread_cond_wait(&log_cv, &log_mtx);
        const bool line = log_count > 0;
        struct in_addr addr = log_addrs[log_first];
        const uint32_t dropped = log_dropped;
        if (line) {
            log_first = (log_first + 1) % LOG_QUEUE;
            log_count--;
        } else {
            log_dropped = 0;
        }
        pthread_mutex_unlock(&log_mtx);

        if (line) {
            char ip[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &addr, ip, sizeof(ip));
            printf("Connected Client IP: %s\n", ip);
        } else {
            printf("Log blocked: %u Connected Client IP lines dropped\n", (unsigned)dropped);
        }
    }
    return NULL;
}

// Accepts the next client into *adr: its socket, or -1 when there is none
// to serve. Out of descriptors, the spare one is given up for the moment, so
// that the newcomer is taken from the listen queue and, when no descriptor
// is left for it, closed at once rather than left waiting there. accept
// fails so before anyone connects: the spare is kept until someone waits.
// When accept fails for want of descriptors or memory all the same, the same
// call would fail again at once: pause rather than spin.
static int accept_client(int serv_sock, struct sockaddr_in* adr)
{
    socklen_t adr_sz = sizeof(*adr);
    int sock = accept(serv_sock, (struct sockaddr*)adr, &adr_sz);
    if (sock == -1 && (errno == EMFILE || errno == ENFILE) && spare_fd >= 0) {
        struct pollfd waiting = {serv_sock, POLLIN, 0};
        while (poll(&waiting, 1, -1) == -1 && errno == EINTR) {
        }
        close(spare_fd);
        adr_sz = sizeof(*adr);
        sock = accept(serv_sock, (struct sockaddr*)adr, &adr_sz);
        const int err = errno;
        spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (sock >= 0 && spare_fd < 0) {
            close(sock);  // turned away: no descriptor for it and a spare
            spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            return -1;
        }
        errno = err;
    }
    if (sock == -1 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM))
        usleep(100 * 1000);
    return sock;
}

static void* clnt_handler(void* arg)
{
    int clnt_sock = (int)(intptr_t)arg;
    char msg[BUF_SIZE];
    ssize_t len;

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
    // static so that the log thread allocates nothing: a thread's first
    // allocation reserves an arena of its own, 64 MiB of address space on a
    // 64-bit host.
    static char log_buf[BUFSIZ];
    setvbuf(stdout, log_buf, _IOLBF, sizeof(log_buf));

    if (argc != 2) {
        printf("Usage : %s <port>\n", argv[0]);
        exit(-1);
    }

    // The log thread and the spare descriptor are there before the port
    // listens: whoever sees the relay listening finds all it keeps for itself.
    spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, CLNT_STACK_SIZE);
    pthread_t t_id;
    if (pthread_create(&t_id, &attr, log_writer, NULL) != 0)
        err_handler("pthread_create() error");
    pthread_detach(t_id);

    int serv_sock = listen_tcp(argv[1]);

    for (;;) {
        struct sockaddr_in clnt_adr;
        int clnt_sock = accept_client(serv_sock, &clnt_adr);
        if (clnt_sock == -1)
            continue;  // nothing was registered

        // A full table turns the newcomer away: its connection is closed
        // at once and it is never stored beyond the table.
        pthread_mutex_lock(&mtx);
        bool full = clnt_cnt >= MAX_CLNT;
        if (!full)
            clnt_socks[clnt_cnt++] = clnt_sock;
        pthread_mutex_unlock(&mtx);
        if (full) {
            close(clnt_sock);
            continue;
        }

        set_client_options(clnt_sock);
        if (pthread_create(&t_id, &attr, clnt_handler, (void*)(intptr_t)clnt_sock) != 0) {
            // No thread would ever serve it: take it out again and close it.
            pthread_mutex_lock(&mtx);
            remove_client_locked(clnt_sock);
            pthread_mutex_unlock(&mtx);
            close(clnt_sock);
            continue;
        }
        pthread_detach(t_id);
        log_connected(clnt_adr.sin_addr);
    }
}
