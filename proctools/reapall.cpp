// reapall: forks a child that pauses 50 seconds and aborts, counts from 1 to
// 10000 in the parent at 50 ms a step, and reports the child's end from the
// SIGCHLD handler, which collects every ended child without blocking. An
// interrupt ends each process with "signo = 2" and status 255.
//
// Usage: reapall

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "lineout.h"

// The handlers and the count print through lineout.h (one write per line),
// never through stdio: a handler may interrupt the count at any point, and
// stdio is not async-signal-safe.

static void term_status(int status)
{
    if ((status & 0x7f) == 0)
        out_num_line("(exit)status : 0x", (status >> 8) & 0xff, 16);
    else
        out_num_line("(signal)status: 0x", status & 0x7f, 16);
}

// Deliveries merge while the handler runs, so collect until nothing more has
// ended: 0 (children remain, none ended, or only stopped) or -1 (none left).
static void my_sig(int signo)
{
    int saved_errno = errno;
    out_num_line("signo = ", static_cast<unsigned>(signo), 10);
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0)
        term_status(status);
    errno = saved_errno;
}

// _exit, not exit: exit is not async-signal-safe, and nothing sits in a
// stdio buffer to be flushed.
static void my_int(int signo)
{
    out_num_line("signo = ", static_cast<unsigned>(signo), 10);
    _exit(-1);
}

int main()
{
    signal(SIGCHLD, my_sig);
    signal(SIGINT, my_int);

    pid_t pid = fork();
    if (pid > 0) {
        for (int i = 1; i <= 10000; i++) {
            usleep(50000);  // a pause cut short by a signal is not made up
            out_num_line("", static_cast<unsigned>(i), 10);
        }
        return 0;
    }
    if (pid == 0) {
        sleep(50);
        abort();
    }
    perror("fork() ");
    exit(-1);
}
