// Hostile conditions for black-box tests: where a program's standard
// descriptors are put, and what is done to it while it runs. The table of
// programs and conditions is in tests/hostile.
#pragma once

#include <string>

#include "testsupport.h"

namespace testsupport {

enum class Condition {
    ClosedStdFds,    // standard input and output closed, as `<&- >&-` leave them
    DevFull,         // standard output on /dev/full
    UnreadPipe,      // standard output on a pipe of one page that nobody reads for a while
    GoneReader,      // standard output on a pipe whose reader has gone
    HungUpTerminal,  // standard input on a terminal (not the controlling one) that hangs up
    InputEof,        // standard input on a pipe that ends
    InputDirectory,  // standard input a directory: every read fails
    StopContinue,    // SIGSTOP, then SIGCONT, in the middle of work
    ParentKilled,    // the program's first process killed while its child runs
    SlowPeers,       // many peers that stop reading, with small receive buffers
    VanishedPeer,    // a peer that stops reading and never closes
    FullTable,       // as many peers as the server has room for, and one more
};

// The terminal of HungUpTerminal: the test types on master and hangs up slave.
struct Hostile {
    Condition cond;
    Pty tty;

    explicit Hostile(Condition c);
    // `base` with standard input and output put as the condition wants.
    SpawnOptions options(SpawnOptions base = {}) const;
    // What the condition does once the program has started: the unread pipe
    // is cut to one page, the gone reader closes its end.
    void started(Process& p) const;
    // Hangs the terminal up; empty on success, else why not (for a skip).
    std::string hang_up() { return testsupport::hang_up(tty.slave.get()); }
};

// Processor time of pid and of its children, in clock ticks, from /proc.
long group_ticks(pid_t pid);
// Expects the program (and its children) to use next to no processor time
// over a short window, reading its output unless told not to: a program
// that waits must not spin.
void expect_no_spin(Process& p, const std::string& what, bool read_output = true);
// Bytes waiting in a pipe or socket.
int queued(int fd);
// Waits until the one-page pipe fd is too full for one more write of `room`
// bytes: its writer is then blocked.
bool wait_pipe_full(int fd, int room, milliseconds t);

}  // namespace testsupport
