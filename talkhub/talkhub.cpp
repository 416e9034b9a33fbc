// talkhub: TCP chat relay. Every block of bytes one client sends is written
// to every connected client, the sender included. One detached thread per
// client; one mutex guards the client table. A client that cannot take a
// block within SEND_TIMEOUT_SEC is cut off, so that it cannot stall the rest.
//
// Usage: talkhub <port>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "toolset/listener.h"
#include "toolset/stdfds.h"

#define MAX_CLNT 256
#define BUF_SIZE 1024

// A client thread needs little more than its receive buffer; an explicit
// small stack keeps 256 clients well inside a 32-bit address space.
#define CLNT_STACK_SIZE (64 * 1024)

// The longest one send to a client may block. The broadcast holds the table's
// mutex while it writes, so a client whose buffers stay full (a hung program,
// a dead link) would otherwise stop every other client, every client thread
// and the accept loop. Two seconds is far beyond what a reading client needs
// to make room for one block of BUF_SIZE bytes.
#define SEND_TIMEOUT_SEC 2

static int32_t clnt_cnt = 0;
static int32_t clnt_socks[MAX_CLNT];
static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;

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

static void send_msg(const char* msg, int32_t len)
{
    pthread_mutex_lock(&mtx);
    for (int32_t i = 0; i < clnt_cnt; i++) {
        // A failed write is not retried: a broken client is removed by its
        // own thread. MSG_NOSIGNAL keeps a peer that reset its connection
        // from raising SIGPIPE. A short write means the send time-out ran out
        // (no handler interrupts it): the client keeps the part it got, loses
        // the rest and is shut down, which ends its thread's read like any
        // departure. Its stream is never continued with a gap in it.
        ssize_t n = send(clnt_socks[i], msg, (size_t)len, MSG_NOSIGNAL);
        bool timed_out = n < 0 ? (errno == EAGAIN || errno == EWOULDBLOCK) : n < len;
        if (timed_out)
            shutdown(clnt_socks[i], SHUT_RDWR);
    }
    pthread_mutex_unlock(&mtx);
}

// Per-client socket options. Each block goes out at once (TCP_NODELAY):
// otherwise a small block waits for the acknowledgement of the one before,
// which the receiver delays, and chat lines lag by tens of milliseconds. A
// send blocks for at most SEND_TIMEOUT_SEC. Results ignored: without them
// the client is still served, only less well.
static void set_client_options(int sock)
{
    int on = 1;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    struct timeval tv = {SEND_TIMEOUT_SEC, 0};
    (void)setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
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
    // ends by a signal, which would lose a block buffer.
    setvbuf(stdout, NULL, _IOLBF, 0);

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
        if (!full)
            clnt_socks[clnt_cnt++] = clnt_sock;
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
        printf("Connected Client IP: %s\n", inet_ntoa(clnt_adr.sin_addr));
    }
}
