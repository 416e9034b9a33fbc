// The two servers' set-up: the error routine, the listening socket and the
// options of each client's socket.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Writes msg and a newline to standard error and ends the process with
// status 1: every set-up failure of a server.
[[noreturn]] inline void err_handler(const char* msg)
{
    fputs(msg, stderr);
    fputc('\n', stderr);
    exit(1);
}

// An IPv4 stream socket listening on all local addresses, backlog 10, on the
// port `port_arg` gives: atoi, cut to its low 16 bits, with no range check
// (no digits give port 0, which the system fills in). Failures end the
// process through err_handler.
inline int listen_tcp(const char* port_arg)
{
    int serv_sock = socket(PF_INET, SOCK_STREAM, 0);
    if (serv_sock == -1)
        err_handler("socket() error");
    // A restart may bind while the last run's connections linger in
    // TIME-WAIT; a port another socket listens on is still refused. Result
    // ignored: without the option only such a restart fails.
    int on = 1;
    (void)setsockopt(serv_sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));

    struct sockaddr_in serv_adr;
    memset(&serv_adr, 0, sizeof(serv_adr));
    serv_adr.sin_family = AF_INET;
    serv_adr.sin_addr.s_addr = htonl(INADDR_ANY);
    serv_adr.sin_port = htons((uint16_t)atoi(port_arg));

    if (bind(serv_sock, (struct sockaddr*)&serv_adr, sizeof(serv_adr)) == -1)
        err_handler("bind() error");
    if (listen(serv_sock, 10) == -1)
        err_handler("listen() error");
    return serv_sock;
}

// Keep-alive on every client socket: a peer that vanished without a word (a
// closed laptop, a board off the Wi-Fi) is found out after KEEP_IDLE_SEC of
// silence and KEEP_CNT unanswered probes KEEP_INTVL_SEC apart, 90 s in all,
// and its read fails, which lets it go. USER_TIMEOUT_MS bounds likewise how
// long data sent to it may stay unacknowledged.
#define KEEP_IDLE_SEC 60
#define KEEP_INTVL_SEC 10
#define KEEP_CNT 3
#define USER_TIMEOUT_MS ((KEEP_IDLE_SEC + KEEP_INTVL_SEC * KEEP_CNT) * 1000)

// Options of an accepted client's socket. Each block goes out at once
// (TCP_NODELAY): otherwise a small block waits for the acknowledgement of
// the one before, which the receiver delays, and lines lag by tens of
// milliseconds. Urgent bytes (telnet sends one for its interrupt key) stay
// in the stream in their place (SO_OOBINLINE) instead of vanishing from it.
// Keep-alive and the user time-out let go of a peer that has vanished.
// Results ignored: without them the client is still served, only less well.
inline void set_client_options(int sock)
{
    int on = 1;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    (void)setsockopt(sock, SOL_SOCKET, SO_OOBINLINE, &on, sizeof(on));
    (void)setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    int idle = KEEP_IDLE_SEC, intvl = KEEP_INTVL_SEC, cnt = KEEP_CNT;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof(intvl));
    (void)setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof(cnt));
    unsigned int user_timeout = USER_TIMEOUT_MS;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof(user_timeout));
}
