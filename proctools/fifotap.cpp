// fifotap: opens the FIFO "myfifo" in the working directory, forks, and in
// both processes prints forever, with "Pipe: ", whatever each reads from it.
// Ends only through a signal (an interrupt ends both processes); the child
// also ends when the parent does.
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

    pid_t pid = fork_tied_child(SIGKILL);
    if (pid >= 0) {
        // Parent and child alike; reads of the FIFO only end by a failure.
        print_reads(fd, "Pipe: ");
        exit(-1);
    }
    perror("fork()");
    exit(-1);
}
