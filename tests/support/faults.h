// Test support, faults: a program run with one platform call made to fail by
// the preloaded fault library (faultshim.c, settings as in faultplan.h), and
// hostile conditions: where a program's standard descriptors are put, the
// signals it inherits, and what is done to it while it runs (the table is in
// tests/hostile).
#pragma once

#include <string>
#include <utility>

#include "terminals.h"

namespace testsupport {

// One fault: the call named `call` fails from its `nth` call on, `count`
// times in a row (0: every call from there), with `error` (an errno name);
// for write and send, `short_len` >= 0 cuts the call short to that many
// bytes instead.
struct Fault {
    std::string call;
    int nth = 1;
    int count = 1;
    std::string error = "EIO";
    int short_len = -1;
};

// A program run with one fault injected; keeps the log of the faults hit.
class Injection {
public:
    explicit Injection(Fault f) : fault_(std::move(f)) {}

    // `base` with the fault library preloaded and the fault set. On the host
    // the loader reads LD_PRELOAD; under the emulator the variable is handed
    // to the target program's loader alone (QEMU_SET_ENV), as the host
    // loader cannot load a target library into the emulator.
    SpawnOptions options(SpawnOptions base = {}) const;

    // How often the fault has been injected so far.
    int hits() const;
    // Waits until the fault has been injected at least n times.
    bool wait_hits(int n, milliseconds t) const;

private:
    Fault fault_;
    TempDir dir_;
};

constexpr int kDescriptorLimit = 64;

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
    BlockedSignals,  // SIGCHLD, SIGALRM and SIGINT blocked and SIGINT ignored by the launcher
    SlowPeers,       // many peers that stop reading, with small receive buffers
    VanishedPeer,    // a peer that stops reading and never closes
    FullTable,       // as many peers as the server has room for, and one more
    DescriptorLimit, // the same under a limit of kDescriptorLimit descriptors, set once it runs
};

// The terminal of HungUpTerminal: the test types on master and hangs up slave.
struct Hostile {
    Condition cond;
    Pty tty;

    explicit Hostile(Condition c);
    // `base` with standard input and output put as the condition wants.
    SpawnOptions options(SpawnOptions base = {}) const;
    // What the condition does once the program has started: the unread pipe
    // is cut to one page, the gone reader closes its end, the limit is set.
    void started(Process& p) const;
    // Hangs the terminal up; empty on success, else why not (for a skip).
    std::string hang_up() { return testsupport::hang_up(tty.slave.get()); }
};

// Waits until the one-page pipe fd is too full for one more write of `room`
// bytes: its writer is then blocked.
bool wait_pipe_full(int fd, int room, milliseconds t);

}  // namespace testsupport
