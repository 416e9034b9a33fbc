// reapfast: forks a child that pauses 1 second and aborts, counts from 1 to
// 10000 in the parent at 50 ms a step, and reports the child's end from the
// SIGCHLD handler, which collects every ended child without blocking. An
// interrupt ends each process with "signo = 2" and status 255 (unless
// interrupts were ignored at start). The child ends with the parent.
//
// Usage: reapfast

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "reaper.h"

// The handlers and the count print through lineout.h (one write per line),
// never through stdio: a handler may interrupt the count at any point, and
// stdio is not async-signal-safe.

static void term_status(int status)
{
    report_status(status, "(exit)status: 0x");
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
    const int tie = handle_interrupts(my_int);

    return fork_and_count(1, true, tie);
}
