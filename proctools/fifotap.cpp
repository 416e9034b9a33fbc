// fifotap: opens the FIFO "myfifo" in the working directory, forks, and in
// both processes prints forever, with "Pipe: ", whatever each reads from it.
// Ends through a signal (an interrupt ends both processes), or with status 1
// when a line cannot be printed; the two processes end together.
//
// Usage: mkfifo myfifo; fifotap      (and elsewhere: echo hello > myfifo)

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "fiforead.h"

int main()
{
    open_std_fds();
    int fd = open_fifo();

    pid_t pid = fork_partner();
    if (pid >= 0) {
        // Parent and child alike; reads of the FIFO only end by a failure,
        // of the read (-1, status 255) or of the print (1).
        exit(print_reads(fd, "Pipe: "));
    }
    perror("fork()");
    exit(-1);
}
