// Whole runs of the child reapers: the count to 10000 at 50 ms a step takes
// more than eight minutes, and reapall's child pauses 50 seconds. The four
// run at once, each on its own terminal.
#include "testsupport.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <iostream>
#include <optional>

using namespace testsupport;

TEST(ReapersWholeRun, EachReportsItsChildOnceCountsTo10000AndExitsZero)
{
    struct Run {
        const char* bin;
        std::string status_line;
    };
    const Run runs[] = {
        {REAPALL_BIN, "(signal)status: 0x6"},
        {REAPFAST_BIN, "(signal)status: 0x6"},
        {REAPBLOCK_BIN, "(signal)status: 0x6"},
        {CHILDNOTE_BIN, "(exit)status: 0x0"},
    };
    std::vector<Process> procs;
    for (const auto& r : runs)
        procs.push_back(Process::start({r.bin}, on_pty()));

    // Take turns reading every terminal, so that no program blocks on a full one.
    Deadline d = after(milliseconds(800000));
    std::vector<std::optional<int>> status(procs.size());
    for (bool all_done = false; !all_done && Clock::now() < d;) {
        all_done = true;
        for (size_t i = 0; i < procs.size(); i++) {
            if (!status[i])
                status[i] = procs[i].wait(milliseconds(50));
            all_done = all_done && status[i].has_value();
        }
    }

    for (size_t i = 0; i < procs.size(); i++) {
        SCOPED_TRACE(runs[i].bin);
        ASSERT_TRUE(status[i].has_value()) << "still running";
        EXPECT_TRUE(WIFEXITED(*status[i]) && WEXITSTATUS(*status[i]) == 0) << "status " << *status[i];
        CountRun run = split_count(lines_of(procs[i].output()));
        EXPECT_TRUE(run.in_order);
        EXPECT_EQ(run.last, 10000);
        ASSERT_EQ(run.other_texts(), (std::vector<std::string>{"signo = 17", runs[i].status_line}));
        EXPECT_EQ(run.others[0].first, run.others[1].first);
        EXPECT_GE(run.others[0].first, 1);
        std::cout << runs[i].bin << ": report after count " << run.others[0].first << "\n";
    }
}
