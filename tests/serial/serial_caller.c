/* Calls one build of the serial library through serial/serial.h as an outside program does.
 * Usage: serial_caller <scenario> <device> [text]
 *   config  print what the library recorded and the settings the device holds
 *   recv    recv_data, then "|end ms=<wall> revents=<hex of its last poll>"; send the text if given
 *   closed  recv_data, as recv, on the closed device
 *   orphan  recv_data, as recv, polling a pseudo-terminal master whose slave has come and gone
 *   send    send text and its terminating zero with no pause
 */
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

static long ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static void print_settings(int32_t fd)
{
    struct termios t;
    int i;

    if (tcgetattr(fd, &t) != 0) {
        printf("no settings\n");
        return;
    }
    printf("cflag=%#x iflag=%#x oflag=%#x lflag=%#x ospeed=%#x cc=", (unsigned)t.c_cflag, (unsigned)t.c_iflag,
           (unsigned)t.c_oflag, (unsigned)t.c_lflag, (unsigned)cfgetospeed(&t));
    for (i = 0; i < NCCS; i++)
        printf("%d,", t.c_cc[i]);
    putchar('\n');
}

static void timed_recv(int32_t fd)
{
    long start = ms();
    recv_data(fd);
    printf("|end ms=%ld revents=%#x\n", ms() - start, (unsigned)poll_events.revents);
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
        print_settings(fd);
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
