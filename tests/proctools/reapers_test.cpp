// Black-box tests of the child reapers: the SIGCHLD report within the count,
// interrupts, stopped children. Runs that need reapall's 50-second child or
// the whole count live in reapers_slow_test.cpp.
#include "testsupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

using namespace testsupport;

namespace {

const std::string notice = "signo = 17";
const std::string aborted = "(signal)status: 0x6";

// Time for a child's pause plus a margin; a bound, never a pause.
milliseconds child_bound(int seconds) { return timeout(milliseconds(seconds * 1000 + 10000)); }

// Starts a reaper and waits for its first count line: it has forked by then.
Process start_counting(const std::string& bin, const SpawnOptions& opts = on_pty())
{
    Process p = Process::start({bin}, opts);
    EXPECT_TRUE(wait_for(
        p, [](const std::vector<std::string>& ls) { return split_count(ls).last >= 1; }, timeout()))
        << bin << " does not count";
    return p;
}

// True once `line` has been printed and the count has gone on by five steps.
std::function<bool(const std::vector<std::string>&)> reported_and_counting(const std::string& line)
{
    return [line](const std::vector<std::string>& ls) {
        CountRun run = split_count(ls);
        for (const auto& o : run.others)
            if (o.second == line)
                return run.last >= o.first + 5;
        return false;
    };
}

// The child's end, reported once between two count lines, the count going
// on without a gap.
void expect_one_report(const Process& p, const std::string& status_line)
{
    CountRun run = split_count(lines_of(p.output()));
    EXPECT_TRUE(run.in_order) << p.output();
    ASSERT_EQ(run.other_texts(), (std::vector<std::string>{notice, status_line})) << p.output();
    EXPECT_EQ(run.others[0].first, run.others[1].first) << "the report is split by the count";
    EXPECT_GE(run.others[0].first, 1) << "the child did not pause";
    EXPECT_GT(run.last, run.others[0].first) << "the count stopped";
    if (!under_emulator()) {  // qemu reports the child's abort on standard error
        EXPECT_EQ(p.errors(), "");
    }
}

}  // namespace

TEST(ReapersReport, NonBlockingReaperReportsTheAbortedChildAndCountsOn)
{
    Process p = start_counting(REAPFAST_BIN);
    ASSERT_TRUE(wait_for(p, reported_and_counting(aborted), child_bound(1))) << p.output();
    expect_one_report(p, aborted);
}

// Both run at once to share their five-second pauses. childnote writes to a
// pipe: its lines must keep their order there too, which they would not if
// the count sat in a stdio buffer while the handler wrote directly.
TEST(ReapersReport, BlockingReapersReportTheChildOnceAndLeaveNoZombie)
{
    Process block = start_counting(REAPBLOCK_BIN);
    Process note = start_counting(CHILDNOTE_BIN, SpawnOptions{});
    pid_t block_child = child_of(block.pid(), timeout());
    pid_t note_child = child_of(note.pid(), timeout());
    ASSERT_GT(block_child, 0);
    ASSERT_GT(note_child, 0);

    ASSERT_TRUE(wait_for(note, reported_and_counting("(exit)status: 0x0"), child_bound(5))) << note.output();
    ASSERT_TRUE(wait_for(block, reported_and_counting(aborted), child_bound(5))) << block.output();
    expect_one_report(note, "(exit)status: 0x0");
    expect_one_report(block, aborted);
    EXPECT_EQ(proc_state(note_child), 0) << "childnote's child was not collected";
    EXPECT_EQ(proc_state(block_child), 0) << "reapblock's child was not collected";
}

// reapall's child pauses 50 s: an interrupt to the child alone ends it
// through its own handler with status 255, which the parent reports as an
// exit, in reapall's own format, and counts on.
TEST(ReapersInterrupt, ChildInterruptedAloneIsReportedAsExit255)
{
    Process p = start_counting(REAPALL_BIN);
    pid_t child = child_of(p.pid(), timeout());
    ASSERT_GT(child, 0);
    ::kill(child, SIGINT);
    ASSERT_TRUE(wait_for(p, reported_and_counting("(exit)status : 0xff"), timeout())) << p.output();
    CountRun run = split_count(lines_of(p.output()));
    EXPECT_TRUE(run.in_order);
    EXPECT_EQ(run.other_texts(), (std::vector<std::string>{"signo = 2", notice, "(exit)status : 0xff"}));
    EXPECT_TRUE(p.running());
}

// An interrupt to the process group reaches parent and child. On pipes, not
// on a terminal: there the parent leads the session, and its end would hang
// up the terminal before the child's line is out.
TEST(ReapersInterrupt, WithHandlerEachProcessPrintsSigno2AndEndsWith255)
{
    for (const char* bin : {REAPALL_BIN, REAPFAST_BIN}) {
        SCOPED_TRACE(bin);
        Process p = start_counting(bin, SpawnOptions{});
        pid_t child = child_of(p.pid(), timeout());
        ASSERT_GT(child, 0);
        p.signal_group(SIGINT);
        EXPECT_EQ(p.wait_exit_code(timeout()), 255);
        drain(p, timeout());
        // reapfast's child ends after one second; if it had, only the parent was left.
        bool child_gone = p.output().find(aborted) != std::string::npos;
        EXPECT_EQ(count_lines(p.output(), "signo = 2"), child_gone ? 1 : 2) << p.output();
        EXPECT_TRUE(wait_ended(child, timeout())) << "the child still runs";
    }
}

// ^C on the terminal reaches the whole foreground process group.
TEST(ReapersInterrupt, WithoutHandlerBothProcessesEndAtOnceSilently)
{
    for (const char* bin : {REAPBLOCK_BIN, CHILDNOTE_BIN}) {
        SCOPED_TRACE(bin);
        Process p = start_counting(bin);
        pid_t child = child_of(p.pid(), timeout());
        ASSERT_GT(child, 0);
        write_all(p.in(), "\x03", 1);
        auto st = p.wait(timeout());
        ASSERT_TRUE(st.has_value());
        EXPECT_TRUE(WIFSIGNALED(*st) && WTERMSIG(*st) == SIGINT) << "status " << *st;
        drain(p, timeout());
        EXPECT_EQ(p.output().find("signo"), std::string::npos) << p.output();
        EXPECT_TRUE(wait_ended(child, timeout())) << "the child still runs";
    }
}

// A stopped child sends SIGCHLD too, but waitpid reports no stopped child:
// the notice alone, and the count goes on. Continued, the child ends as usual.
TEST(ReapersStoppedChild, NonBlockingReaperGivesTheNoticeOnlyAndCountsOn)
{
    Process p = start_counting(REAPFAST_BIN);
    pid_t child = child_of(p.pid(), timeout());
    ASSERT_GT(child, 0);
    ::kill(child, SIGSTOP);
    if (p.output().find(aborted) != std::string::npos)
        GTEST_SKIP() << "the child ended before it could be stopped";

    ASSERT_TRUE(wait_for(p, reported_and_counting(notice), timeout())) << p.output();
    EXPECT_TRUE(wait_state(child, 'T', timeout()));
    CountRun stopped = split_count(lines_of(p.output()));
    EXPECT_EQ(stopped.other_texts(), std::vector<std::string>{notice}) << p.output();

    ::kill(child, SIGCONT);
    ASSERT_TRUE(wait_for(p, reported_and_counting(aborted), child_bound(1))) << p.output();
    CountRun run = split_count(lines_of(p.output()));
    EXPECT_TRUE(run.in_order);
    std::vector<std::string> others = run.other_texts();
    EXPECT_EQ(std::count(others.begin(), others.end(), aborted), 1);
    // Stopped, continued, ended; the last two may merge into one delivery.
    EXPECT_GE(std::count(others.begin(), others.end(), notice), 2);
    EXPECT_EQ(run.others.back().second, aborted);
}

// The blocking reaper waits in its handler for the stopped child's end, with
// the count standing still. The SIGCHLD of the continuation, held meanwhile,
// brings one more notice, for which wait finds no child: no status line.
TEST(ReapersStoppedChild, BlockingReaperHoldsTheCountUntilTheChildEnds)
{
    Process p = start_counting(REAPBLOCK_BIN);
    pid_t child = child_of(p.pid(), timeout());
    ASSERT_GT(child, 0);
    ::kill(child, SIGSTOP);
    ASSERT_TRUE(wait_for(
        p, [](const std::vector<std::string>& ls) { return !split_count(ls).others.empty(); }, timeout()));
    int held_at = split_count(lines_of(p.output())).last;
    EXPECT_FALSE(wait_for(
        p, [held_at](const std::vector<std::string>& ls) { return split_count(ls).last > held_at; },
        milliseconds(500)))
        << "the count went on while the handler waited";

    ::kill(child, SIGCONT);
    ASSERT_TRUE(wait_for(p, reported_and_counting(aborted), child_bound(5))) << p.output();
    CountRun run = split_count(lines_of(p.output()));
    EXPECT_TRUE(run.in_order);
    EXPECT_EQ(run.other_texts(), (std::vector<std::string>{notice, aborted, notice})) << p.output();
    for (const auto& o : run.others)
        EXPECT_EQ(o.first, held_at) << "the count moved between the lines of the report";
}
