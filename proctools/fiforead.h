// Reading side shared by the FIFO readers: opening "myfifo" and the loop that
// prints each block read from a descriptor.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "lineout.h"
#include "procsig.h"

#define FIFO_NAME "myfifo"
#define BUF_SIZE 1024

// Opens "myfifo" in the working directory for reading and writing, so that
// the open does not wait for a writer and reads never see end of file (this
// process holds a write end itself). The FIFO must exist: when it is missing,
// cannot be opened or is no FIFO (a plain file would be read to its end and
// then give empty reads without pause), the failure is reported on standard
// error and the program ends with status -1 (255), as there is nothing to
// read. Its type is checked before the open, since opening a device may act
// on it (a watchdog is armed by its open, a terminal may become the
// controlling one), and again on what was opened, as the name may have been
// replaced meanwhile; that open does not block and takes no terminal. The
// descriptor stays open until the process ends.
inline int open_fifo()
{
    struct stat st;
    if (stat(FIFO_NAME, &st) != 0) {
        perror(FIFO_NAME);
        exit(-1);
    }
    int fd = -1;
    if (S_ISFIFO(st.st_mode)) {
        fd = open(FIFO_NAME, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            perror(FIFO_NAME);
            exit(-1);
        }
    }
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        fprintf(stderr, "%s: not a FIFO\n", FIFO_NAME);
        exit(-1);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // cannot fail on an open FIFO
    return fd;
}

// Reads blocks of at most BUF_SIZE bytes from fd and prints each with prefix,
// as text ending at its first zero byte. A read of 0 bytes prints the prefix
// alone; at a live terminal that is the end-of-input key, and reading goes
// on. Anywhere else no more input can come (a FIFO that this process holds
// a write end of never gives 0): at the end of a file or pipe, and at a
// terminal that has hung up (its requests fail with EIO, so it is no
// terminal any more), every further read would return 0 at once, so the
// function returns 0 instead of printing empty lines without pause. A failed
// read is reported and returns -1; no terminator is stored and nothing is
// printed for it.
inline int print_reads(int fd, const char* prefix)
{
    char buf[BUF_SIZE + 1];
    for (;;) {
        ssize_t n = read(fd, buf, BUF_SIZE);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("read()");
            return -1;
        }
        buf[n] = '\0';
        out_text_line(prefix, buf, BUF_SIZE);
        if (n == 0 && !isatty(fd))
            return 0;
    }
}
