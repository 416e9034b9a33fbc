// The FIFO readers, with a real FIFO "myfifo" in a fresh working directory.
#include "sockets.h"

#include <gtest/gtest.h>
#include <signal.h>

using namespace testsupport;

// fifokbd's child alone reads the FIFO.
TEST(FifoReaders, EachReadingProcessPrintsWhileTheOtherIsStopped)
{
    for (const std::string bin : {FIFOTAP_BIN, FIFOKBD_BIN}) {
        SCOPED_TRACE(bin);
        FifoDir f;
        Process p = Process::start({bin}, f.options({}));
        pid_t child = child_of(p.pid(), timeout());
        ASSERT_GT(child, 0);
        std::vector<std::pair<pid_t, std::string>> turns{{p.pid(), "for the child"}};
        if (bin == FIFOTAP_BIN)
            turns.emplace_back(child, "for the parent");
        for (const auto& [stopped, text] : turns) {
            ::kill(stopped, SIGSTOP);
            // Only once stopped: a reader woken by the signal could still take data.
            ASSERT_TRUE(wait_state(stopped, 'T', timeout()));
            f.put(text + "\n");
            EXPECT_TRUE(p.read_until("Pipe: " + text + "\n", timeout())) << p.output();
            ::kill(stopped, SIGCONT);
        }
    }
}

