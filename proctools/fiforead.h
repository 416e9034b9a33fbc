// Reading side shared by the FIFO readers: opening "myfifo", the second
// reading process that ends with the first, and the loop that prints each
// block read from a descriptor.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

// The child forked by fork_partner, in the parent; 0 in the child.
inline volatile sig_atomic_t partner_pid = 0;

// SIGCHLD handler of the parent: once the child has ended, the parent ends
// too, with the child's exit status (1 when a signal ended it). A stop or
// continue of the child reports no end and changes nothing.
inline void partner_ended(int)
{
    int saved_errno = errno;
    int status;
    if (partner_pid > 0 && waitpid(partner_pid, &status, WNOHANG) > 0)
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    errno = saved_errno;
}

// Forks the second reading process; the two then end together. A reader
// that went on alone would take what is written into the FIFO for its
// partner and, unable to print it, drop it, while writers believe it read:
// the child is killed when the parent ends, and the parent ends when the
// child does. The handler is in place before the fork (with SIGCHLD ignored
// at start, a child that ended at once would leave no trace), and SIGCHLD
// is blocked until the handler knows the child's pid, then unblocked, also
// where the launcher left it blocked.
inline pid_t fork_partner()
{
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);  // cannot fail with these arguments
    struct sigaction sa = {};
    sa.sa_handler = partner_ended;
    sigemptyset(&sa.sa_mask);
    // Without SA_RESTART: the read the signal interrupts returns (EINTR, and
    // the reads go on), so the handler has run by then even where a checker
    // holds handlers back until the interrupted call returns.
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);  // cannot fail with these arguments
    pid_t pid = fork_tied_child(SIGKILL);
    if (pid > 0)
        partner_pid = pid;
    unblock_signal(SIGCHLD);
    return pid;
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
// printed for it. A line that cannot be printed is reported as
// "write error: <reason>" and returns 1: the block it held has been read
// and is lost, and reading on would lose every later one as well.
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
        if (out_errno != 0)
            return out_status(1);
        if (n == 0 && !isatty(fd))
            return 0;
    }
}
