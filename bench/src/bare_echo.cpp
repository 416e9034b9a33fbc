// bare_echo: the comparison loop for the echo server. Serves <clients>
// connections one after the other with a read of 1024 bytes and a write of
// them back, then exits. Listens on 127.0.0.1 only.
//
// Usage: bare_echo <port> <clients>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "benchlib.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s <port> <clients>\n", argv[0]);
        return 2;
    }
    int ls = bench::listen_loopback(atoi(argv[1]));
    int clients = atoi(argv[2]);
    static char buf[1024];
    for (int i = 0; i < clients; i++) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0)
            bench::die("accept failed");
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0)
            (void)!write(fd, buf, (size_t)n);
        close(fd);
    }
    close(ls);
    return 0;
}
