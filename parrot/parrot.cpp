// parrot: sequential TCP echo server. Serves five clients one after the
// other, sending back every block each one sends until it closes, then exits.
//
// Usage: parrot <port>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "toolset/listener.h"
#include "toolset/stdfds.h"

#define BUF_SIZE 1024
#define CLIENTS 5

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
