// The shape the four child reapers share: fork one child, count in the parent
// while the child pauses and ends, and report the child's end in one line.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "lineout.h"
#include "procsig.h"

// Prints one line for a wait status: the exit report, whose prefix differs
// between the tools, or the signal report (core-dump flag masked off).
inline void report_status(int status, const char* exit_prefix)
{
    if ((status & 0x7f) == 0)
        out_num_line(exit_prefix, (status >> 8) & 0xff, 16);
    else
        out_num_line("(signal)status: 0x", status & 0x7f, 16);
}

// Installs handler for SIGINT and unblocks it, unless SIGINT was ignored at
// start: a shell starts a background job so, and an interrupt typed for the
// foreground job is not meant for this one. Returns the signal the child is
// to get when the parent ends: SIGINT where it is handled, so that an
// interrupt of the whole group gives each process its own notice and status
// 255 whichever of them ends first (a SIGKILL from a parent that ended first
// could cut the child off before it printed); SIGKILL where it is ignored.
inline int handle_interrupts(void (*handler)(int))
{
    struct sigaction at_start;
    if (sigaction(SIGINT, nullptr, &at_start) == 0 && at_start.sa_handler == SIG_IGN)
        return SIGKILL;
    signal(SIGINT, handler);
    unblock_signal(SIGINT);
    return SIGINT;
}

// Forks, once the SIGCHLD handler is installed: SIGCHLD is unblocked first,
// as the launcher may have left it blocked. The parent counts from 1 to
// 10000, one line each 50 ms, and gets 0, or 1 when a line could not be
// printed (reported on standard error); the child pauses child_pause
// seconds, then aborts or gets 0, and gets tie_signal if the parent ends
// first. A failed fork is reported with perror and ends the process with
// status 255.
inline int fork_and_count(unsigned child_pause, bool child_aborts, int tie_signal)
{
    unblock_signal(SIGCHLD);
    pid_t pid = fork_tied_child(tie_signal);
    if (pid > 0) {
        for (int i = 1; i <= 10000; i++) {
            usleep(50000);  // a pause cut short by a signal is not made up
            out_num_line("", static_cast<unsigned>(i), 10);
        }
        return out_status(0);
    }
    if (pid == 0) {
        sleep(child_pause);
        if (child_aborts)
            abort();
        return 0;
    }
    perror("fork() ");
    exit(-1);
}
