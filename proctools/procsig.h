// Signal set-up shared by the process tools: a child whose life is tied to
// its parent's, and signals taken back from a mask inherited through exec.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <unistd.h>

// Forks, as fork does, a child that gets death_signal when its parent ends:
// a child left behind would go on with its work unwatched (a reaper's would
// abort later, perhaps leaving a core file; a FIFO reader's would take what
// is written for a later reader). The parent may end before the request
// takes effect, so the child then checks that it still has that parent and,
// if not, sends itself the signal.
inline pid_t fork_tied_child(int death_signal)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, death_signal);  // cannot fail with a valid signal
        if (getppid() != parent)
            raise(death_signal);
    }
    return pid;
}

// Unblocks sig, which the launcher may have left blocked (a mask passes
// through exec): a tool must not wait for ever for a signal it depends on.
// Call it once the signal's handler is in place, as a signal held pending
// meanwhile is delivered at once.
inline void unblock_signal(int sig)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);  // cannot fail with these arguments
}
