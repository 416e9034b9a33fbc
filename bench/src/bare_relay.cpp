// bare_relay: the relay's design and nothing else, for comparison: a thread per client, one mutex over the client
// table, a read of 1024 bytes, then one write of it to every client (the sender too). No socket options, or with
// "nodelay" TCP_NODELAY on each client socket. Listens as the relay does (the toolset's listener); runs until killed.
// Usage: bare_relay <port> [nodelay]

#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "toolset/listener.h"

static int clients[256], count = 0;
static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;  // guards clients and count

static void* serve(void* arg)
{
    int fd = (int)(intptr_t)arg;
    char buf[1024];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) {
        pthread_mutex_lock(&mtx);
        for (int i = 0; i < count; i++)
            (void)!write(clients[i], buf, (size_t)n);  // as the design: no check, no retry
        pthread_mutex_unlock(&mtx);
    }
    pthread_mutex_lock(&mtx);
    for (int i = 0; i < count; i++)
        if (clients[i] == fd)
            clients[i] = clients[--count];
    close(fd);
    pthread_mutex_unlock(&mtx);
    return nullptr;
}

int main(int argc, char** argv)
{
    if (argc != 2 && !(argc == 3 && strcmp(argv[2], "nodelay") == 0))
        err_handler("usage: bare_relay <port> [nodelay]");
    signal(SIGPIPE, SIG_IGN);  // clients that leave must not end the relay
    int ls = listen_tcp(argv[1]), one = 1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    for (;;) {
        int fd = accept(ls, nullptr, nullptr);
        if (fd >= 0 && argc == 3)
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        // Its thread is made under the lock, so that the client is in the table before that thread can relay.
        pthread_mutex_lock(&mtx);
        pthread_t t;
        if (fd >= 0 && count < 256 && pthread_create(&t, &attr, serve, (void*)(intptr_t)fd) == 0)
            clients[count++] = fd;
        else if (fd >= 0)
            close(fd);
        pthread_mutex_unlock(&mtx);
    }
}
