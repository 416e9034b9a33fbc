// reapblock: forks a child that pauses 5 seconds and aborts, counts from 1 to
// 10000 in the parent at 50 ms a step, and reports the child's end from the
// SIGCHLD handler, whose status reporter collects one child with a blocking
// wait; the count stands still while it waits. The child ends with the
// parent.
//
// Usage: reapblock

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "reaper.h"

// The handler and the count print through lineout.h (one write per line),
// never through stdio: the handler may interrupt the count at any point, and
// stdio is not async-signal-safe.

// Collects one ended child itself, blocking until one ends; the status its
// caller passes is not used. When wait finds no child (a SIGCHLD that was
// held pending while an earlier call waited), it stored no status and
// nothing is reported.
static void term_status(int)
{
    int status;
    if (wait(&status) < 0)
        return;
    report_status(status, "(exit)status: 0x");
}

static void my_sig(int signo)
{
    int saved_errno = errno;
    out_num_line("signo = ", static_cast<unsigned>(signo), 10);
    term_status(0);
    errno = saved_errno;
}

int main()
{
    signal(SIGCHLD, my_sig);

    return fork_and_count(5, true, SIGKILL);
}
