// The serial port with failing fcntl, open, poll and write calls, through
// the probe program. (A failing pipe, and a read end whose flags cannot be
// read, are covered by the port's own tests.)
#include "faults.h"

#include <gtest/gtest.h>

using namespace faults;

namespace {

constexpr int TIMED_OUT = -1, FAILED = -2;

// The probe on a fresh raw pseudo-terminal whose master end the test plays.
struct Probe {
    Pty pty = open_pty(true);
    Injection fault;
    std::optional<Process> proc;

    Probe(const Fault& f, std::vector<std::string> args) : fault(f)
    {
        EXPECT_TRUE(pty.master) << "no pseudo-terminal";
        args.insert(args.begin() + 1, pty.slave_path);
        args.insert(args.begin(), PORTWIRE_PROBE_BIN);
        proc.emplace(Process::start(args, fault.options()));
    }

    // The probe's first line for `key`, once it has been printed whole.
    std::string line(const std::string& key) { return await_line(*proc, key, timeout()); }

    // The probe must end normally with every descriptor it opened closed.
    void expect_clean_end()
    {
        EXPECT_EQ(proc->wait_exit_code(timeout()), 0) << proc->output() << proc->errors();
        EXPECT_EQ(field(field_line(proc->output(), "fds_at_end"), "fds_at_end"), 0) << proc->output();
        EXPECT_EQ(proc->errors(), "");
    }
};

}  // namespace

// The port's status flags cannot be set: the device is closed again, open
// reports failure and nothing is left open.
TEST(PortwireFcntlFails, PortFlagsFailureClosesTheDeviceAndOpenFails)
{
    Probe p(Fault{"fcntl", 1, 1, "EIO"}, {"open"});
    const std::string open = p.line("open");
    EXPECT_EQ(field(open, "open"), 0) << open;
    EXPECT_EQ(field(open, "opened"), 0) << open;
    EXPECT_EQ(field(open, "fds"), 0) << open;
    p.expect_clean_end();
    EXPECT_EQ(p.fault.hits(), 1);
}

// The third to fifth fcntl calls of an open make the pipe ends non-blocking
// (read end: set; write end: get, set). When one fails the channel is open
// all the same and close releases everything. A channel that kept its pipe
// still has its wait ended by a cancellation, which is then gone; one that
// dropped the pipe (a write end that could block is no use) has none.
class PortwirePipeFlagsFail : public ::testing::TestWithParam<int> {};

TEST_P(PortwirePipeFlagsFail, TheChannelOpensAndCancellationStillWorks)
{
    Probe p(Fault{"fcntl", GetParam(), 1, "EBADF"}, {"open"});
    const std::string open = p.line("open");
    EXPECT_EQ(field(open, "open"), 1) << open;
    if (GetParam() == 3 || field(open, "pipe") == 1) {
        EXPECT_EQ(field(open, "fds"), 3) << "the port and the two pipe ends: " << open;
        const std::string cancelled = p.line("cancelled");
        EXPECT_EQ(field(cancelled, "cancelled"), TIMED_OUT) << cancelled;
        EXPECT_EQ(field(cancelled, "got"), 0) << cancelled;
        EXPECT_LT(field(cancelled, "ms"), timeout().count()) << "the cancellation did not end the wait";
        const std::string again = p.line("after");
        EXPECT_EQ(field(again, "after"), TIMED_OUT) << again;
        EXPECT_GE(field(again, "ms"), 200) << "a cancellation was still pending";
    } else {
        EXPECT_EQ(field(open, "fds"), 1) << "the port alone: " << open;
    }
    p.expect_clean_end();
    EXPECT_EQ(p.fault.hits(), 1);
}

std::string pipe_call_name(const ::testing::TestParamInfo<int>& i)
{
    switch (i.param) {
    case 3: return "ReadEndSet";
    case 4: return "WriteEndGet";
    case 5: return "WriteEndSet";
    default: return "NoFault";
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, PortwirePipeFlagsFail, ::testing::Values(3, 4, 5), pipe_call_name);

// Far more cancellations than the pipe holds, with no wait in between: the
// surplus is dropped, cancelOperation never blocks, one wait takes them all.
// The plain channel (a fault that never comes), and channels whose write
// end could not be made non-blocking.
class PortwireCancelFlood : public ::testing::TestWithParam<int> {};

TEST_P(PortwireCancelFlood, CancelOperationNeverBlocks)
{
    const int cancels = 70000;  // the pipe holds 65536 bytes
    Probe p(Fault{"fcntl", GetParam(), 1, "EBADF"}, {"flood", std::to_string(cancels)});
    const std::string open = p.line("open");
    EXPECT_EQ(field(open, "open"), 1) << open;
    const std::string flooded = p.line("flooded");
    ASSERT_EQ(field(flooded, "flooded"), cancels) << "cancelOperation blocked on a full pipe";
    if (field(open, "pipe") == 1) {
        const std::string cancelled = p.line("cancelled");
        EXPECT_EQ(field(cancelled, "cancelled"), TIMED_OUT) << cancelled;
        const std::string again = p.line("after");
        EXPECT_EQ(field(again, "after"), TIMED_OUT) << again;
        EXPECT_GE(field(again, "ms"), 200) << "cancellations were left pending";
    }
    p.expect_clean_end();
}

INSTANTIATE_TEST_SUITE_P(Calls, PortwireCancelFlood, ::testing::Values(1000, 4, 5), pipe_call_name);

// Opening an open channel closes it first; when the new open fails the
// channel is closed, holds nothing and a cancellation on it does nothing.
TEST(PortwireOpenFails, ReopenThatFailsLeavesTheChannelClosedAndEmpty)
{
    Probe p(Fault{"open", 2, 1, "EBUSY"}, {"reopen"});
    p.expect_clean_end();
    const std::string out = p.proc->output();
    const size_t second = out.find("open=", out.find("open=") + 1);
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_EQ(field(field_line(out, "open"), "open"), 1) << out;
    const std::string reopen = field_line(out.substr(second), "open");
    EXPECT_EQ(field(reopen, "open"), 0) << reopen;
    EXPECT_EQ(field(reopen, "opened"), 0) << reopen;
    EXPECT_EQ(field(reopen, "fds"), 0) << "the old device or pipe stayed open: " << reopen;
    const std::string wait = field_line(out, "closed");
    EXPECT_EQ(field(wait, "closed"), FAILED) << wait;
    EXPECT_EQ(field(wait, "got"), 0) << wait;
    EXPECT_EQ(p.fault.hits(), 1);
}

// An interrupted poll ends the wait as failed with a count of 0, at once;
// the channel is unharmed and the next wait runs normally.
TEST(PortwirePollFails, TheWaitFailsWithZeroAndTheNextOneWorks)
{
    Probe p(Fault{"poll", 1, 1, "EINTR"}, {"wait", "0", "1", "20000"});
    const std::string wait = p.line("wait");
    EXPECT_EQ(field(wait, "wait"), FAILED) << wait;
    EXPECT_EQ(field(wait, "got"), 0) << wait;
    EXPECT_LT(field(wait, "ms"), timeout().count()) << wait;
    const std::string again = p.line("again");
    EXPECT_EQ(field(again, "again"), TIMED_OUT) << again;
    p.expect_clean_end();
    EXPECT_EQ(p.fault.hits(), 1);
}

// One byte is queued and three are wanted: the wait's second poll is the
// pause between passes. Its failure only cuts that pause short; the wait
// runs to its time-out as usual and the byte stays queued.
TEST(PortwirePollFails, AFailedPauseDoesNotFailTheWait)
{
    Probe p(Fault{"poll", 2, 1, "EINTR"}, {"wait", "1", "3", "1000"});
    ASSERT_TRUE(p.proc->wait_output("ready\n", timeout())) << p.proc->output();
    ASSERT_TRUE(write_all(p.pty.master.get(), "a"));
    const std::string wait = p.line("wait");
    EXPECT_EQ(field(wait, "wait"), TIMED_OUT) << wait;
    EXPECT_EQ(field(wait, "got"), 0) << wait;
    EXPECT_GE(field(wait, "ms"), 1000) << wait;
    EXPECT_EQ(field(p.line("queued"), "queued"), 1);
    p.expect_clean_end();
    EXPECT_EQ(p.fault.hits(), 1);
}

// Writes that pass three bytes at a time: senddata goes on until all are
// written and reports them all; the far end gets every byte once, in order.
TEST(PortwireWriteShort, ShortWritesAreContinuedUntilAllIsSent)
{
    const std::string text = "0123456789abcdefghij";
    Probe p(Fault{"write", 1, 0, "EIO", 3}, {"send", text});
    const std::string sent = p.line("sent");
    EXPECT_EQ(field(sent, "sent"), static_cast<long long>(text.size())) << sent;
    EXPECT_EQ(field(sent, "reported"), static_cast<long long>(text.size())) << sent;
    EXPECT_EQ(read_exact(p.pty.master.get(), text.size(), after(timeout())), text);
    p.expect_clean_end();
    EXPECT_EQ(p.fault.hits(), 7);
}

// A write that passes nothing ends the send at once with the count so far,
// rather than trying again for ever.
TEST(PortwireWriteShort, AWriteOfNothingEndsTheSend)
{
    Probe p(Fault{"write", 1, 0, "EIO", 0}, {"send", "abc"});
    const std::string sent = p.line("sent");
    EXPECT_EQ(field(sent, "sent"), 0) << sent;
    EXPECT_EQ(field(sent, "reported"), 0) << sent;
    p.expect_clean_end();
    EXPECT_EQ(p.fault.hits(), 1);
}
