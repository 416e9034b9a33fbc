// parrot: sequential TCP echo server. Serves five clients one after the
// other, sending back every block each one sends until it closes, then exits.
//
// Usage: parrot <port>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "toolset/stdfds.h"

#define BUF_SIZE 1024
#define CLIENTS 5

static void err_handler(const char* msg)
{
    fputs(msg, stderr);
    fputc('\n', stderr);
    exit(1);
}

int main(int argc, char* argv[])
{
    open_std_fds();
    if (argc != 2) {
        printf("Usage: %s <port>\n", argv[0]);
        exit(-1);
    }

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
    serv_adr.sin_port = htons((uint16_t)atoi(argv[1]));

    if (bind(serv_sock, (struct sockaddr*)&serv_adr, sizeof(serv_adr)) == -1)
        err_handler("bind() error");
    if (listen(serv_sock, 10) == -1)
        err_handler("listen() error");

    static char message[BUF_SIZE];
    struct sockaddr_in clnt_adr;
    socklen_t clnt_adr_sz = sizeof(clnt_adr);

    for (int i = 0; i < CLIENTS; i++) {
        int clnt_sock = accept(serv_sock, (struct sockaddr*)&clnt_adr, &clnt_adr_sz);
        if (clnt_sock == -1)
            err_handler("acept() error");

        ssize_t str_len;
        while ((str_len = read(clnt_sock, message, BUF_SIZE)) > 0) {
            // Result ignored: a short write is not completed. MSG_NOSIGNAL
            // keeps a client that reset its connection from raising SIGPIPE
            // and ending the server; its next read ends the echo instead.
            (void)send(clnt_sock, message, (size_t)str_len, MSG_NOSIGNAL);
        }
        close(clnt_sock);
    }
    close(serv_sock);
    return 0;
}
