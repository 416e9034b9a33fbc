/* Calls one build of the serial library through serial/serial.h as an outside program does:
 * serial_caller config|recv|closed|orphan|send <device> [text]. recv, closed (on the closed device) and orphan
 * (polling a pseudo-terminal master whose slave has come and gone) print "|end ms=<wall> revents=<hex>" after recv_data. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* posix_openpt, ptsname */
#endif

#include "serial/serial.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static void timed_recv(int32_t fd)
{
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    recv_data(fd);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("|end ms=%ld revents=%#x\n", (long)(t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000,
           (unsigned)poll_events.revents);
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s config|recv|closed|orphan|send <device> [text]\n", argv[0]);
        return 2;
    }
    /* The library never flushes its prints; the far end waits for them. */
    setvbuf(stdout, NULL, _IONBF, 0);

    int32_t fd = serial_config(argv[2]);
    if (strcmp(argv[1], "config") == 0) {
        printf("fd=%d poll_fd=%d events=%d revents=%d flags=%#x dev0=%s\n", (int)fd, poll_events.fd,
               poll_events.events, poll_events.revents,
               (unsigned)fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK | O_APPEND), dev0);
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            printf("cflag=%#x iflag=%#x oflag=%#x lflag=%#x ospeed=%#x cc=", (unsigned)t.c_cflag, (unsigned)t.c_iflag,
                   (unsigned)t.c_oflag, (unsigned)t.c_lflag, (unsigned)cfgetospeed(&t));
            for (int i = 0; i < NCCS; i++)
                printf("%d,", t.c_cc[i]);
            putchar('\n');
        }
        close_dev(fd);
    } else if (strcmp(argv[1], "recv") == 0) {
        timed_recv(fd);
        if (argc > 3)
            send_data(fd, argv[3], (int32_t)strlen(argv[3]), 0);
        close_dev(fd);
    } else if (strcmp(argv[1], "closed") == 0) {
        close_dev(fd);
        timed_recv(fd);
    } else if (strcmp(argv[1], "orphan") == 0) {
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || unlockpt(master) != 0 || close(open(ptsname(master), O_RDWR | O_NOCTTY)) != 0) {
            fprintf(stderr, "no pseudo-terminal\n");
            return 2;
        }
        poll_events.fd = master;
        timed_recv(fd);
        close(master);
        close_dev(fd);
    } else if (strcmp(argv[1], "send") == 0 && argc > 3) {
        send_data(fd, argv[3], (int32_t)strlen(argv[3]) + 1, 0);
        close_dev(fd);
    } else {
        fprintf(stderr, "unknown scenario %s\n", argv[1]);
        return 2;
    }
    return 0;
}
