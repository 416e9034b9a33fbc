// talkhub: TCP chat relay. Every block of bytes one client sends is written
// to every connected client, the sender included. One detached thread per
// client; one mutex guards the client table.
//
// Usage: talkhub <port>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define MAX_CLNT 256
#define BUF_SIZE 1024

// A client thread needs little more than its receive buffer; an explicit
// small stack keeps 256 clients well inside a 32-bit address space.
#define CLNT_STACK_SIZE (64 * 1024)

static int32_t clnt_cnt = 0;
static int32_t clnt_socks[MAX_CLNT];
static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;

static void err_handler(const char* msg)
{
    fputs(msg, stderr);
    fputc('\n', stderr);
    exit(1);
}

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
        // Results ignored: a short or failed write is not retried; a broken
        // client is removed by its own thread. MSG_NOSIGNAL keeps a peer that
        // reset its connection from raising SIGPIPE and ending the relay.
        (void)send(clnt_socks[i], msg, (size_t)len, MSG_NOSIGNAL);
    }
    pthread_mutex_unlock(&mtx);
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
    if (argc != 2) {
        printf("Usage : %s <port>\n", argv[0]);
        exit(-1);
    }

    int serv_sock = socket(PF_INET, SOCK_STREAM, 0);
    if (serv_sock == -1)
        err_handler("socket() error");

    struct sockaddr_in serv_adr;
    memset(&serv_adr, 0, sizeof(serv_adr));
    serv_adr.sin_family = AF_INET;
    serv_adr.sin_addr.s_addr = htonl(INADDR_ANY);
    serv_adr.sin_port = htons((uint16_t)atoi(argv[1]));

    if (bind(serv_sock, (struct sockaddr*)&serv_adr, sizeof(serv_adr)) == -1)
        err_handler("bind() error");
    if (listen(serv_sock, 10) == -1)
        err_handler("listen() error");

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
