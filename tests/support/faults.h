// Test support, faults: one platform call made to fail by the preloaded
// faultshim.c, and the hostile conditions of tests/hostile.
#pragma once

#include <string>
#include <utility>

#include "terminals.h"

namespace testsupport {

// The call fails from its `nth` call on, `count` times (0: always), with the
// errno named `error`; write and send are cut to `short_len` bytes if >= 0.
struct Fault {
    std::string call;
    int nth = 1;
    int count = 1;
    std::string error = "EIO";
    int short_len = -1;
};

class Injection {
public:
    explicit Injection(Fault f) : fault_(std::move(f)) {}

    // Under the emulator LD_PRELOAD goes to the target's loader alone (QEMU_SET_ENV).
    SpawnOptions options(SpawnOptions base = {}) const;
    int hits() const;
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

struct Hostile {
    Condition cond;
    Pty tty;  // HungUpTerminal's: the test types on master and hangs up slave

    explicit Hostile(Condition c);
    SpawnOptions options(SpawnOptions base = {}) const;
    // Cuts the unread pipe to a page, closes the gone reader's end, sets the limit.
    void started(Process& p) const;
    // Empty on success, else why not (for a skip).
    std::string hang_up() { return testsupport::hang_up(tty.slave.get()); }
};

// True once the one-page pipe has no room for `room` more bytes.
bool wait_pipe_full(int fd, int room, milliseconds t);

}  // namespace testsupport
