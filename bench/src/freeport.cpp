// freeport: prints a TCP port that is free at the moment, picked below the
// kernel's range for outgoing connections so that the load generators'
// own sockets never take it.

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main()
{
    const int first = 20000, span = 10000;
    int start = (int)((unsigned)time(nullptr) * 7919u + (unsigned)getpid() * 104729u) % span;
    for (int i = 0; i < span; i++) {
        int port = first + (start + i) % span;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            break;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons((uint16_t)port);
        int ok = bind(fd, (sockaddr*)&a, sizeof(a));
        close(fd);
        if (ok == 0) {
            printf("%d\n", port);
            return 0;
        }
    }
    fputs("freeport: no free port\n", stderr);
    return 1;
}
