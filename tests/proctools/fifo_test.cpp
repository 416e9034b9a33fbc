// The FIFO readers, with a real FIFO "myfifo" in a fresh working directory.
#include "faults.h"
#include "sockets.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>

using namespace testsupport;

namespace {

std::string pipe_line(const std::string& text) { return "Pipe: " + text + "\r\n"; }

// One line at a time: only one of the two readers takes each.
void expect_text_lines(FifoDir& f, const SpawnOptions& o)
{
    Process p = Process::start({FIFOTAP_BIN}, o);
    EXPECT_FALSE(p.wait_output("Pipe", milliseconds(300))) << "printed with nothing written";
    f.put("hello fifo\n");
    ASSERT_TRUE(p.wait_output(pipe_line("hello fifo") + "\r\n", timeout())) << p.output();
    f.put(std::string("abc\0def\n", 8));
    ASSERT_TRUE(p.wait_output(pipe_line("abc"), timeout())) << p.output();
    f.put("end\n");
    // The text's own newline comes in a write of its own (line-buffered).
    ASSERT_TRUE(p.wait_output(pipe_line("end") + "\r\n", timeout()));
    EXPECT_EQ(strip_cr(p.output()), "Pipe: hello fifo\n\nPipe: abc\nPipe: end\n\n");
    EXPECT_EQ(p.errors(), "");
}

}  // namespace

TEST(Fifotap, TextIsPrintedOnceUpToItsFirstZeroByteThenTheFormatsNewline)
{
    FifoDir f;
    expect_text_lines(f, f.options());
}

TEST(FifotapWriteFails, ShortAndInterruptedWritesStillGiveWholeLines)
{
    for (const Fault& fdef : {Fault{"write", 1, 0, "EIO", 1}, Fault{"write", 1, 3, "EINTR"}}) {
        SCOPED_TRACE(fdef.short_len >= 0 ? "one byte a write" : "interrupted writes");
        FifoDir f;
        Injection fault(fdef);
        expect_text_lines(f, fault.options(f.options()));
        EXPECT_GE(fault.hits(), 3);
    }
}

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
    ASSERT_TRUE(wait_for(p, place, timeout())) << p.output();
    EXPECT_FALSE(p.wait_output("\x01", milliseconds(200)));
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
            EXPECT_TRUE(p.wait_output("Pipe: " + text + "\n", timeout())) << p.output();
            ::kill(stopped, SIGCONT);
        }
    }
}

TEST(Fifokbd, ClosedStandardInputIsNotTakenByTheFifo)
{
    FifoDir f;
    SpawnOptions o = f.options(SpawnOptions{});
    o.close_stdin = true;
    Process p = Process::start({FIFOKBD_BIN}, o);
    f.put("piped\n");
    ASSERT_TRUE(p.wait_output("Pipe: piped\n", timeout())) << p.output();
    EXPECT_EQ(p.output().find("Keyboard : piped"), std::string::npos) << p.output();
    EXPECT_TRUE(p.running());
}

TEST(Fifokbd, KeyboardAndFifoLinesCarryTheirOwnPrefixes)
{
    FifoDir f;
    Process p = Process::start({FIFOKBD_BIN}, f.options());
    write_all(p.in(), "typed\n");
    ASSERT_TRUE(p.wait_output("Keyboard : typed\r\n\r\n", timeout())) << p.output();
    f.put("piped\n");
    ASSERT_TRUE(p.wait_output(pipe_line("piped") + "\r\n", timeout())) << p.output();

    // The end-of-input key gives one empty line; reading goes on.
    write_all(p.in(), "\x04", 1);
    ASSERT_TRUE(p.wait_output("Keyboard : \r\n", timeout())) << p.output();
    write_all(p.in(), "again\n");
    // A terminal may hand the line's two newlines over in separate reads.
    ASSERT_TRUE(p.wait_output("Keyboard : again\r\n\r\n", timeout())) << p.output();
    EXPECT_EQ(strip_cr(p.output()),
              "Keyboard : typed\n\nPipe: piped\n\nKeyboard : \nKeyboard : again\n\n");
}

// A file ends for good: no empty keyboard lines without pause after it.
TEST(Fifokbd, InputFromAFileIsPrintedInBlocksThenOneEmptyLine)
{
    FifoDir f;
    std::string text(1500, 'k');
    std::ofstream(f.dir.file("input")) << text << "\n";
    SpawnOptions o = f.options();
    o.stdin_file = f.dir.file("input");
    Process p = Process::start({FIFOKBD_BIN}, o);

    ASSERT_TRUE(p.wait_output("Keyboard : \r\n", timeout())) << p.output();
    f.put("still here\n");
    ASSERT_TRUE(p.wait_output(pipe_line("still here"), timeout())) << p.output();
    EXPECT_FALSE(p.wait_output("\x01", milliseconds(200)));
    EXPECT_EQ(strip_cr(p.output()), "Keyboard : " + text.substr(0, 1024) + "\nKeyboard : " + text.substr(1024) +
                                        "\n\nKeyboard : \nPipe: still here\n\n");
    EXPECT_TRUE(p.running());
}
