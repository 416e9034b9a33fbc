// The child reapers; their whole runs (reapall's 50-second child, the full count) in the slow registration only.
#include "sockets.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <iostream>

using namespace testsupport;

namespace {

const std::string notice = "signo = 17";
const std::string aborted = "(signal)status: 0x6";
const std::string exited = "(exit)status: 0x0";

// Time for a child's pause plus a margin; a bound, never a pause.
milliseconds child_bound(int seconds) { return timeout(milliseconds(seconds * 1000 + 10000)); }

CountRun counted(const Process& p) { return split_count(lines_of(p.output())); }

// Starts a reaper and waits for its first count line: it has forked by then. The child's pid, or -1.
std::pair<Process, pid_t> start_counting(const std::string& bin, const SpawnOptions& opts = on_pty())
{
    Process p = Process::start({bin}, opts);
    EXPECT_TRUE(p.read_until([](const std::vector<std::string>& ls) { return split_count(ls).last >= 1; }, timeout()))
        << bin << " does not count";
    pid_t child = child_of(p.pid(), timeout());
    return {std::move(p), child};
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

void expect_one_report(const Process& p, const std::string& status_line)
{
    CountRun run = counted(p);
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

// childnote on a pipe: a count held in a stdio buffer would come out after the handler's line.
TEST(ReapersReport, EachReaperReportsItsChildOnceCountsOnAndLeavesNoZombie)
{
    const struct { const char* bin; SpawnOptions opts; std::string status_line; } cases[] = {
        {REAPFAST_BIN, on_pty(), aborted}, {REAPBLOCK_BIN, on_pty(), aborted}, {CHILDNOTE_BIN, {}, exited}};
    std::vector<std::pair<Process, pid_t>> reapers;
    for (const auto& c : cases) {
        reapers.push_back(start_counting(c.bin, c.opts));
        ASSERT_GT(reapers.back().second, 0) << c.bin;
    }
    for (size_t i = 0; i < reapers.size(); i++) {
        SCOPED_TRACE(cases[i].bin);
        Process& p = reapers[i].first;
        ASSERT_TRUE(p.read_until(reported_and_counting(cases[i].status_line), child_bound(5))) << p.output();
        expect_one_report(p, cases[i].status_line);
        EXPECT_EQ(proc_state(reapers[i].second), 0) << "the child was not collected";
    }
}

// reapall's child pauses 50 s, so an interrupt ends it first, through its own handler.
TEST(ReapersInterrupt, ChildInterruptedAloneIsReportedAsExit255)
{
    auto [p, child] = start_counting(REAPALL_BIN);
    ASSERT_GT(child, 0);
    ::kill(child, SIGINT);
    ASSERT_TRUE(p.read_until(reported_and_counting("(exit)status : 0xff"), timeout())) << p.output();
    CountRun run = counted(p);
    EXPECT_TRUE(run.in_order);
    EXPECT_EQ(run.other_texts(), (std::vector<std::string>{"signo = 2", notice, "(exit)status : 0xff"}));
    EXPECT_TRUE(p.running());
}

// On pipes: at a terminal the parent's end would hang it up before the child's line is out.
TEST(ReapersInterrupt, GroupInterruptEndsParentAndChild)
{
    const std::pair<const char*, bool> cases[] = {
        {REAPALL_BIN, true}, {REAPFAST_BIN, true}, {REAPBLOCK_BIN, false}, {CHILDNOTE_BIN, false}};
    for (const auto& [bin, handled] : cases) {
        SCOPED_TRACE(bin);
        auto [p, child] = start_counting(bin, handled ? SpawnOptions{} : on_pty());
        ASSERT_GT(child, 0);
        if (handled)
            p.signal_group(SIGINT);
        else
            write_all(p.in(), "\x03", 1);
        auto st = p.wait(timeout());
        ASSERT_TRUE(st.has_value());
        p.read_until(kEnd, timeout());
        if (handled) {
            EXPECT_TRUE(WIFEXITED(*st) && WEXITSTATUS(*st) == 255) << "status " << *st;
            // reapfast's child ends after one second; if it had, only the parent was left.
            bool child_gone = p.output().find(aborted) != std::string::npos;
            EXPECT_EQ(count_lines(p.output(), "signo = 2"), child_gone ? 1 : 2) << p.output();
        } else {
            EXPECT_TRUE(WIFSIGNALED(*st) && WTERMSIG(*st) == SIGINT) << "status " << *st;
            EXPECT_EQ(p.output().find("signo"), std::string::npos) << p.output();
        }
        EXPECT_TRUE(wait_ended(child, timeout())) << "the child still runs";
    }
}

TEST(ReapersStoppedChild, NonBlockingReaperGivesTheNoticeOnlyAndCountsOn)
{
    auto [p, child] = start_counting(REAPFAST_BIN);
    ASSERT_GT(child, 0);
    ::kill(child, SIGSTOP);
    if (p.output().find(aborted) != std::string::npos)
        GTEST_SKIP() << "the child ended before it could be stopped";

    ASSERT_TRUE(p.read_until(reported_and_counting(notice), timeout())) << p.output();
    EXPECT_TRUE(wait_state(child, 'T', timeout()));
    EXPECT_EQ(counted(p).other_texts(), std::vector<std::string>{notice}) << p.output();

    ::kill(child, SIGCONT);
    ASSERT_TRUE(p.read_until(reported_and_counting(aborted), child_bound(1))) << p.output();
    CountRun run = counted(p);
    EXPECT_TRUE(run.in_order);
    EXPECT_EQ(count_lines(strip_cr(p.output()), aborted), 1);
    // Stopped, continued, ended; the last two may merge into one delivery.
    EXPECT_GE(count_lines(strip_cr(p.output()), notice), 2);
    EXPECT_EQ(run.others.back().second, aborted);
}

// The continuation's SIGCHLD, held meanwhile, brings one more notice, for which wait finds no child.
TEST(ReapersStoppedChild, BlockingReaperHoldsTheCountUntilTheChildEnds)
{
    auto [p, child] = start_counting(REAPBLOCK_BIN);
    ASSERT_GT(child, 0);
    ::kill(child, SIGSTOP);
    ASSERT_TRUE(p.read_until([](const std::vector<std::string>& ls) { return !split_count(ls).others.empty(); }, timeout()));
    int held_at = counted(p).last;
    EXPECT_FALSE(p.read_until([held_at](const std::vector<std::string>& ls) { return split_count(ls).last > held_at; },
        milliseconds(500)))
        << "the count went on while the handler waited";

    ::kill(child, SIGCONT);
    ASSERT_TRUE(p.read_until(reported_and_counting(aborted), child_bound(5))) << p.output();
    CountRun run = counted(p);
    EXPECT_TRUE(run.in_order);
    EXPECT_EQ(run.other_texts(), (std::vector<std::string>{notice, aborted, notice})) << p.output();
    for (const auto& o : run.others)
        EXPECT_EQ(o.first, held_at) << "the count moved between the lines of the report";
}

// Over eight minutes: the four run at once, each on its own terminal.
TEST(ReapersWholeRun, EachReportsItsChildOnceCountsTo10000AndExitsZero)
{
    const std::pair<const char*, std::string> runs[] = {
        {REAPALL_BIN, aborted}, {REAPFAST_BIN, aborted}, {REAPBLOCK_BIN, aborted}, {CHILDNOTE_BIN, exited}};
    std::vector<Process> procs;
    for (const auto& r : runs)
        procs.push_back(Process::start({r.first}, on_pty()));

    // Take turns reading every terminal, so that no program blocks on a full one.
    std::vector<std::optional<int>> status(procs.size());
    for (Deadline d = after(milliseconds(800000));
         mono_ms() < d && std::count(status.begin(), status.end(), std::nullopt) > 0;)
        for (size_t i = 0; i < procs.size(); i++)
            if (!status[i])
                status[i] = procs[i].wait(milliseconds(50));

    for (size_t i = 0; i < procs.size(); i++) {
        SCOPED_TRACE(runs[i].first);
        ASSERT_TRUE(status[i].has_value()) << "still running";
        EXPECT_TRUE(WIFEXITED(*status[i]) && WEXITSTATUS(*status[i]) == 0) << "status " << *status[i];
        expect_one_report(procs[i], runs[i].second);
        CountRun run = counted(procs[i]);
        EXPECT_EQ(run.last, 10000);
        std::cout << runs[i].first << ": report after count " << (run.others.empty() ? -1 : run.others[0].first) << "\n";
    }
}
