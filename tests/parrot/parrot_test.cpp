// Black-box tests of the sequential echo server over loopback TCP, and the
// server with failing accepts and sends.
#include "testsupport.h"

#include <gtest/gtest.h>
#include <signal.h>

using namespace testsupport;

namespace {

Process start_parrot(uint16_t port, const std::string& arg = "")
{
    Process p = Process::start({PARROT_BIN, arg.empty() ? std::to_string(port) : arg});
    EXPECT_TRUE(wait_listening(port, after(timeout())));
    return p;
}

}  // namespace

TEST(ParrotCommandLine, WrongArgumentCountPrintsUsageAndExits255)
{
    for (auto args : std::vector<std::vector<std::string>>{{PARROT_BIN}, {PARROT_BIN, "1", "2"}}) {
        Process p = Process::start(args);
        EXPECT_EQ(p.wait_exit_code(timeout()), 255);
        EXPECT_EQ(p.output(), std::string("Usage: ") + PARROT_BIN + " <port>\n");
        EXPECT_EQ(p.errors(), "");
    }
}

TEST(ParrotCommandLine, PortHeldByAnotherSocketIsABindError)
{
    uint16_t port = free_tcp_port();
    Process first = start_parrot(port);
    Process second = Process::start({PARROT_BIN, std::to_string(port)});
    EXPECT_EQ(second.wait_exit_code(timeout()), 1);
    EXPECT_EQ(second.errors(), "bind() error\n");
}

TEST(ParrotCommandLine, PortTextIsReadUpToTheFirstNonDigitAndCutTo16Bits)
{
    uint16_t p1 = free_tcp_port();
    Process trailing = start_parrot(p1, std::to_string(p1) + "x");
    uint16_t p2 = free_tcp_port();
    Process wrapped = start_parrot(p2, std::to_string(65536 + p2));
}

TEST(ParrotCommandLine, RestartsOnItsPortWhileTheLastRunsConnectionLingers)
{
    uint16_t port = free_tcp_port();
    {
        Process first = start_parrot(port);
        Fd c = connect_tcp(port, after(timeout()));
        echo_once(c.get(), "before");
        first.signal(SIGKILL);
        ASSERT_TRUE(first.wait(timeout()));
        // The server's side closed first and now waits out TIME-WAIT.
        EXPECT_TRUE(wait_eof(c.get(), after(timeout())));
    }
    Process again = start_parrot(port);
    Fd c = connect_tcp(port, after(timeout()));
    echo_once(c.get(), "after");
    EXPECT_EQ(again.errors(), "");
}

TEST(ParrotEcho, EchoesExactlyWhatEachClientSends)
{
    uint16_t port = free_tcp_port();
    Process p = start_parrot(port);

    Fd c = connect_tcp(port, after(timeout()));
    echo_once(c.get(), "hello");
    EXPECT_FALSE(wait_readable(c.get(), after(milliseconds(200)))) << "more than was sent came back";

    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<char>(i * 13);
    echo_once(c.get(), block);
}

TEST(ParrotEcho, ServesFiveClientsInTurnThenExitsZero)
{
    uint16_t port = free_tcp_port();
    Process p = start_parrot(port);
    const int listening = open_fd_count(p.pid());

    Fd first = connect_tcp(port, after(timeout()));
    echo_once(first.get(), "one");

    // The next client queues: nothing comes back until the first has gone.
    Fd second = connect_tcp(port, after(timeout()));
    write_all(second.get(), "two");
    EXPECT_FALSE(wait_readable(second.get(), after(milliseconds(300))));
    first.reset();
    EXPECT_EQ(read_exact(second.get(), 3, after(timeout())), "two");
    second.reset();

    // Third: resets its connection instead of closing it; the server goes on.
    Fd third = connect_tcp(port, after(timeout()));
    echo_once(third.get(), "three");
    write_all(third.get(), std::string(8192, 't'));
    set_reset_on_close(third.get());
    third.reset();

    Fd fourth = connect_tcp(port, after(timeout()));
    echo_once(fourth.get(), "four");
    fourth.reset();

    // A sixth client already waiting behind the fifth is never served.
    Fd fifth = connect_tcp(port, after(timeout()));
    Fd sixth = connect_tcp(port, after(timeout()));
    write_all(sixth.get(), "six");
    echo_once(fifth.get(), "five");
    // Every client served before was closed: the server holds the fifth alone.
    EXPECT_EQ(settle_counts(p.pid(), listening + 1, thread_count(p.pid()), after(timeout())).first, listening + 1);
    fifth.reset();
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    EXPECT_EQ(p.output(), "");
    EXPECT_EQ(p.errors(), "");
    EXPECT_EQ(read_until_eof(sixth.get(), after(timeout())), "");
}

TEST(ParrotAcceptFails, TheFirstAcceptEndsTheServerWithAceptError)
{
    Injection fault(Fault{"accept", 1, 1, "EMFILE"});
    Process p = Process::start({PARROT_BIN, std::to_string(free_tcp_port())}, fault.options());
    EXPECT_EQ(p.wait_exit_code(timeout()), 1);
    EXPECT_EQ(p.errors(), "acept() error\n");
    EXPECT_EQ(p.output(), "");
    EXPECT_EQ(fault.hits(), 1);
}

// Two clients are served whole; the third accept fails and the server ends
// at once, whichever client it was waiting for.
TEST(ParrotAcceptFails, ALaterAcceptEndsTheServerAfterTheClientsServed)
{
    Injection fault(Fault{"accept", 3, 1, "ECONNABORTED"});
    const uint16_t port = free_tcp_port();
    Process p = Process::start({PARROT_BIN, std::to_string(port)}, fault.options());
    ASSERT_TRUE(wait_listening(port, after(timeout())));
    for (const char* text : {"one", "two"}) {
        Fd c = connect_tcp(port, after(timeout()));
        ASSERT_TRUE(c);
        echo_once(c.get(), text);
    }
    EXPECT_EQ(p.wait_exit_code(timeout()), 1);
    EXPECT_EQ(p.errors(), "acept() error\n");
    EXPECT_EQ(fault.hits(), 1);
}

// The echo of the first block is cut short (or lost): the rest of that block
// is not sent later, the next block comes back whole, and the server serves
// its five clients and ends normally.
TEST(ParrotSendFails, OnlyThatEchoSuffersAndTheServerGoesOn)
{
    for (const auto& [fault_def, first] :
         {std::pair<Fault, std::string>{Fault{"send", 1, 1, "EIO", 3}, "abc"},
          std::pair<Fault, std::string>{Fault{"send", 1, 1, "EPIPE"}, ""}}) {
        SCOPED_TRACE(first.empty() ? "failed send" : "short send");
        Injection fault(fault_def);
        const uint16_t port = free_tcp_port();
        Process p = Process::start({PARROT_BIN, std::to_string(port)}, fault.options());
        ASSERT_TRUE(wait_listening(port, after(timeout())));

        Fd c = connect_tcp(port, after(timeout()));
        ASSERT_TRUE(write_all(c.get(), "abcdef"));
        // The first block must have been echoed before the next is sent, or
        // one read could take both.
        ASSERT_TRUE(fault.wait_hits(1, timeout()));
        if (!first.empty()) {
            EXPECT_EQ(read_exact(c.get(), first.size(), after(timeout())), first);
        }
        ASSERT_TRUE(write_all(c.get(), "xyz"));
        EXPECT_EQ(read_exact(c.get(), 3, after(timeout())), "xyz");
        EXPECT_FALSE(wait_readable(c.get(), after(milliseconds(200)))) << "the cut echo was completed";
        c.reset();

        for (int i = 2; i <= 5; i++) {
            Fd next = connect_tcp(port, after(timeout()));
            ASSERT_TRUE(next);
            echo_once(next.get(), "client " + std::to_string(i));
        }
        EXPECT_EQ(p.wait_exit_code(timeout()), 0);
        EXPECT_EQ(p.errors(), "");
        EXPECT_EQ(fault.hits(), 1);
    }
}
