// The FIFO readers, with a real FIFO "myfifo" in a fresh working directory.
#include "sockets.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <map>

using namespace testsupport;

// Numbered four-digit tokens place every printed piece at its offset in the block.
TEST(Fifotap, BlockOf2500BytesComesOutInPrintsOfAtMost1024Bytes)
{
    std::string block;
    for (int i = 0; block.size() < 2500; i++)
        block += std::to_string(10000 + i).substr(1);
    block.resize(2500);

    FifoDir f;
    Process p = Process::start({FIFOTAP_BIN}, f.options());
    f.put(block);
    std::map<size_t, std::string> pieces;
    auto place = [&](const std::vector<std::string>& ls) {
        pieces.clear();
        size_t total = 0;
        for (const auto& l : ls) {
            EXPECT_EQ(l.compare(0, 6, "Pipe: "), 0) << l;
            pieces[block.find(l.substr(6))] = l.substr(6);
            total += l.size() - 6;
        }
        return total >= block.size();
    };
    ASSERT_TRUE(p.read_until(place, timeout())) << p.output();
    EXPECT_FALSE(p.read_until("\x01", milliseconds(200)));
    place(lines_of(p.output()));

    size_t next = 0;
    for (const auto& [at, text] : pieces) {
        EXPECT_EQ(at, next) << "a gap, an overlap or bytes never written";
        EXPECT_LE(text.size(), 1024u);
        next = at + text.size();
    }
    EXPECT_EQ(next, block.size());
}

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

