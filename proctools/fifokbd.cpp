// fifokbd: opens the FIFO "myfifo" in the working directory and forks; the
// parent prints what it reads from standard input with "Keyboard : ", the
// child what it reads from the FIFO with "Pipe: ". Ends only through a signal
// (an interrupt ends both processes); the child also ends when the parent
// does.
//
// Usage: mkfifo myfifo; fifokbd      (type lines; elsewhere: echo hi > myfifo)

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "fiforead.h"

int main()
{
    open_std_fds();
    int fd = open_fifo();

    pid_t pid = fork_tied_child(SIGKILL);
    if (pid > 0) {
        // At a terminal each end-of-input key gives one empty "Keyboard : "
        // line and reading goes on. A file or pipe at its end, or a terminal
        // that has hung up, has no more to give: after that one line the
        // parent stops reading standard input (as after a failed read) and
        // waits for the child, which goes on reading the FIFO.
        int r = print_reads(STDIN_FILENO, "Keyboard : ");
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return r;
    }
    if (pid == 0) {
        print_reads(fd, "Pipe: ");
        exit(-1);
    }
    perror("fork()");
    exit(-1);
}
