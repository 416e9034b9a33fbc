/* serial: serial helper library. Opens and configures one serial device
 * (9600 baud, 8 data bits, raw, non-blocking), prints what arrives on the
 * caller's standard output, writes blocks with a pause, and closes it.
 *
 * Built twice from this one file: as C for libserial (plain names) and as
 * C++ for libserial_mangled (type-encoded names); serial/serial.h picks the
 * declarations and the form of dev0 for each. Output goes through ordinary
 * buffered stdio and is never flushed here.
 *
 * A terminal is held by one program at a time, from serial_config to
 * close_dev, and close_dev leaves it with the settings serial_config found.
 */
#ifndef _DEFAULT_SOURCE
#define _DEFAULT_SOURCE /* usleep */
#endif

#include "serial/serial.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "toolset/monoclock.h"

#define RX_BUF_SIZE 32
#define POLL_TIMEOUT_MS 1000
#define READ_SETTLE_US 5000 /* lets a burst gather before the read */

static_assert(sizeof(struct pollfd) == 8, "poll record is 8 bytes");
static_assert(sizeof(int32_t) == sizeof(int), "type-encoded names carry int");

struct pollfd poll_events;

#ifdef SERIAL_TYPE_ENCODED
char dev0[13] = "/dev/ttyUSB0";
#else
char *dev0 = "/dev/ttyUSB0";
#endif

/* The terminal serial_config configured last and the settings it had
 * before, for close_dev to put back; saved_fd is -1 when there is none. */
static int saved_fd = -1;
static struct termios saved_tio;

int32_t serial_config(char *dev)
{
    struct termios tio, found;
    int fd = dev ? open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
    /* Settings that can be read make it a terminal. */
    int tty = fd >= 0 && tcgetattr(fd, &found) == 0;

    /* Two programs sharing a terminal would take each other's bytes: one
     * another program holds is closed again untouched and fails like one
     * that cannot be opened (a holder's TIOCEXCL already refuses the open,
     * except to root). A terminal that cannot be locked is used unlocked. */
    if (tty && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        printf("%s open error\n", dev ? dev : "(null)");
        exit(-1);
    }
    if (tty) {
        ioctl(fd, TIOCEXCL); /* result ignored: an emulator may refuse it, the lock still holds */
        saved_tio = found;
    }
    saved_fd = tty ? fd : -1;

    memset(&tio, 0, sizeof(tio));
    tio.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 1;

    /* Failures here are not reported: the descriptor is returned anyway. */
    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &tio);
    fcntl(fd, F_SETFL, O_NONBLOCK);

    poll_events.fd = fd;
    poll_events.events = POLLIN | POLLERR;
    poll_events.revents = 0;

    puts("start");
    puts("Ready to start parsing!");
    return fd;
}

/* Polls the recorded device, reads from fd. Each read is printed by its own
 * count, up to its first zero byte: the buffer holds no terminator when a
 * read fills it, and older bytes stay behind a shorter read. Returns once
 * POLL_TIMEOUT_MS pass without input. A read of nothing (end of file, which
 * /dev/null or a regular file report as readable on every poll) is no
 * input: it does not restart the time, so such a device ends the call after
 * the same second. */
void recv_data(int32_t fd)
{
    char buf[RX_BUF_SIZE];
    uint64_t last_input = mono_ms();

    memset(buf, 0, sizeof(buf));
    for (;;) {
        ssize_t got = 0;
        long long left = POLL_TIMEOUT_MS - (long long)(mono_ms() - last_input);

        /* Nothing within the limit, or poll failed (e.g. EINTR): done. */
        if (left <= 0 || poll(&poll_events, 1, (int)left) <= 0)
            return;

        if (poll_events.revents & POLLIN) {
            usleep(READ_SETTLE_US);
            got = read(fd, buf, sizeof(buf));
            if (got > 0) {
                printf("%.*s", (int)got, buf);
                last_input = mono_ms();
            }
        }

        /* An error or hang-up is reported again at once on every poll; with
         * nothing left to read, end as after a time-out instead of spinning. */
        if ((poll_events.revents & (POLLERR | POLLHUP | POLLNVAL)) && got <= 0)
            return;
    }
}

void send_data(int32_t fd, char *buf, int32_t len, int32_t delay_us)
{
    if (len > 0) {
        /* One write on the non-blocking descriptor; the result is ignored and
         * a short or refused write is not retried. */
        ssize_t ignored = write(fd, buf, (size_t)len);
        (void)ignored;
    }
    if (delay_us > 0)
        usleep((useconds_t)delay_us);
}

void close_dev(int32_t fd)
{
    if (fd >= 0 && fd == saved_fd) {
        /* The terminal gets back what serial_config found, once its queued
         * output has gone out at the rate it was written at; then the
         * exclusive flag goes, which a pseudo-terminal keeps while its
         * master is open. Failures are ignored: a device gone away (EIO)
         * is closed all the same. */
        while (tcsetattr(fd, TCSADRAIN, &saved_tio) != 0 && errno == EINTR) {
        }
        ioctl(fd, TIOCNXCL);
        saved_fd = -1;
    }
    close(fd); /* result ignored; closing drops the lock */
}
