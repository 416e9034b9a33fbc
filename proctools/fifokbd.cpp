// fifokbd: opens the FIFO "myfifo" in the working directory and forks; the
// parent prints what it reads from standard input with "Keyboard : ", the
// child what it reads from the FIFO with "Pipe: ". Ends through a signal (an
// interrupt ends both processes), or with status 1 when a line cannot be
// printed; the two processes end together.
//
// Usage: mkfifo myfifo; fifokbd      (type lines; elsewhere: echo hi > myfifo)

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fiforead.h"

int main()
{
    open_std_fds();
    int fd = open_fifo();

    pid_t pid = fork_partner();
    if (pid > 0) {
        // At a terminal each end-of-input key gives one empty "Keyboard : "
        // line and reading goes on. A file or pipe at its end, or a terminal
        // that has hung up, has no more to give: after that one line the
        // parent stops reading standard input (as after a failed read) and
        // waits, while the child goes on reading the FIFO, until the child
        // ends: its SIGCHLD handler then ends the parent with it.
        if (print_reads(STDIN_FILENO, "Keyboard : ") > 0)
            exit(1);
        for (;;)
            pause();
    }
    if (pid == 0)
        exit(print_reads(fd, "Pipe: "));
    perror("fork()");
    exit(-1);
}
