// bare_echo: the comparison loop for the echo server. Serves <clients> connections one after the other with a read of
// 1024 bytes and a write of them back, then exits. Listens as parrot does (the toolset's listener).
// Usage: bare_echo <port> <clients>

#include <unistd.h>

#include "toolset/listener.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        err_handler("usage: bare_echo <port> <clients>");
    int ls = listen_tcp(argv[1]);
    static char buf[1024];
    for (int i = atoi(argv[2]); i > 0; i--) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0)
            err_handler("accept() error");
        for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;)
            (void)!write(fd, buf, (size_t)n);  // the client checks what comes back
        close(fd);
    }
}
