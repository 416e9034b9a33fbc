// The two servers' set-up: the error routine and the listening socket.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
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
