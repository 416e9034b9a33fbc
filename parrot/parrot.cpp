// parrot: sequential TCP echo server. Serves five clients one after the
// other, sending back every block each one sends until it closes, then exits.
//
// Usage: parrot <port>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "toolset/listener.h"
#include "toolset/monoclock.h"
#include "toolset/stdfds.h"

#define BUF_SIZE 1024
#define CLIENTS 5

// How long a client may take none of its echo before it is let go (and
// counts as served): a client that sends without reading, or one whose
// link died with data on its way, would otherwise hold the server, and
// every client after it, for good. The wait is made in slices, of which
// only the time spent waiting counts, so a stop of the server (Ctrl-Z, then
// bg) never cuts a client off.
#define STALL_SEC 5
#define STALL_SLICE_MS 100

// Sends the len bytes at msg back to sock. True when they went out, or when
// the send failed outright (MSG_NOSIGNAL keeps a client that reset its
// connection from raising SIGPIPE; its next read then ends the echo); false
// when the client took none of them for STALL_SEC, and is to be let go. A
// send cut short or interrupted goes on with the rest, so the echo has no gap.
static bool echo_block(int sock, const char* msg, ssize_t len)
{
    int64_t stalled_us = 0;
    for (ssize_t off = 0; off < len;) {
        ssize_t n = send(sock, msg + off, (size_t)(len - off), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += n;
            stalled_us = 0;
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return true;
        if (stalled_us >= (int64_t)STALL_SEC * 1000000)
            return false;
        // Whatever ends the wait, the send is tried again: poll reports room
        // only once a third of the buffer is free, a slow reader makes room
        // for the rest of a block long before. A poll that fails at once (no
        // memory) counts its whole slice, so the wait still ends.
        struct pollfd out = {sock, POLLOUT, 0};
        uint64_t t0 = mono_us();
        int ready = poll(&out, 1, STALL_SLICE_MS);
        int64_t waited = (int64_t)(mono_us() - t0);
        if (waited > STALL_SLICE_MS * 1000 || (ready < 0 && errno != EINTR))
            waited = STALL_SLICE_MS * 1000;
        stalled_us += waited;
    }
    return true;
}

int main(int argc, char* argv[])
{
    open_std_fds();
    if (argc != 2) {
        printf("Usage: %s <port>\n", argv[0]);
        exit(-1);
    }

    int serv_sock = listen_tcp(argv[1]);

    static char message[BUF_SIZE];
    struct sockaddr_in clnt_adr;
    socklen_t clnt_adr_sz = sizeof(clnt_adr);

    for (int i = 0; i < CLIENTS; i++) {
        int clnt_sock = accept(serv_sock, (struct sockaddr*)&clnt_adr, &clnt_adr_sz);
        if (clnt_sock == -1)
            err_handler("acept() error");

        set_client_options(clnt_sock);
        ssize_t str_len;
        while ((str_len = read(clnt_sock, message, BUF_SIZE)) > 0) {
            if (!echo_block(clnt_sock, message, str_len))
                break;
        }
        close(clnt_sock);
    }
    close(serv_sock);
    return 0;
}
