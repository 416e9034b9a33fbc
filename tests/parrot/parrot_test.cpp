#include "faults.h"
#include "sockets.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>

using namespace testsupport;

TEST(ParrotCommandLine, UsagePortTextBindErrorAndRestartWhileTheConnectionLingers)
{
    auto serve = [](uint16_t port) { std::vector<Fd> c; c.push_back(echoed(port, "hello")); return c; };
    expect_server_command_line(PARROT_BIN, std::string("Usage: ") + PARROT_BIN + " <port>\n", serve);
}

TEST(ParrotEcho, EchoesExactlyWhatEachOfFiveClientsSendsInTurnThenExitsZero)
{
    uint16_t port = free_tcp_port();
    Process p = start_server(PARROT_BIN, port);
    const int listening = open_fd_count(p.pid());
    Fd first = echoed(port, "hello");
    expect_quiet(first.get(), "more than was sent came back");
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<char>(i * 13);
    echo_once(first.get(), block);
    const int f = first.get();
    ASSERT_EQ(::send(f, "AB", 2, 0) + ::send(f, "C", 1, MSG_OOB) + ::send(f, "DE", 2, 0), 5);
    EXPECT_EQ(read_until(f, 5, after(timeout())), "ABCDE");

    // The next client queues: nothing comes back until the first has gone.
    Fd second = connect_tcp(port, after(timeout()));
    write_all(second.get(), "two");
    EXPECT_FALSE(read_until(second.get(), 1, after(milliseconds(300))));
    first.reset();
    EXPECT_EQ(read_until(second.get(), 3, after(timeout())), "two");
    second.reset();

    // Third: resets its connection instead of closing it; the server goes on.
    Fd third = echoed(port, "three");
    write_all(third.get(), std::string(8192, 't'));
    set_reset_on_close(third.get());
    third.reset();

    echoed(port, "four");

    // A sixth client already waiting behind the fifth is never served.
    Fd fifth = connect_tcp(port, after(timeout()));
    Fd sixth = connect_tcp(port, after(timeout()));
    write_all(sixth.get(), "six");
    echo_once(fifth.get(), "five");
    // Every client served before was closed: the server holds the fifth alone.
    EXPECT_EQ(settle_counts(p.pid(), listening + 1, thread_count(p.pid()), after(timeout())).first, listening + 1);
    fifth.reset();
    expect_exit(p, 0, "", "");
    EXPECT_EQ(read_until(sixth.get(), kEnd, after(timeout())), "");
}

// A failed send cuts or loses only that echo; a failed accept ends the server (the first: a transcript).
TEST(ParrotCallFails, AFailedAcceptEndsTheServerAndAFailedSendOnlyThatEcho)
{
    const struct {
        Fault fault;
        int served;          // clients the server serves before it ends
        const char* first;   // send faults: what comes back of the first client's first block
        int status;
        const char* err;
    } cases[] = {{{"accept", 3, 1, "ECONNABORTED"}, 2, nullptr, 1, "acept() error\n"},
                 {{"send", 1, 1, "EIO", 3}, 5, "abcdef", 0, ""},
                 {{"send", 1, 1, "EPIPE"}, 5, "", 0, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.call + " " + c.fault.error);
        Injection fault(c.fault);
        const uint16_t port = free_tcp_port();
        Process p = Process::start({PARROT_BIN, std::to_string(port)}, fault.options());
        if (c.first != nullptr) {
            Fd first = connect_tcp(port, after(timeout()));
            ASSERT_TRUE(write_all(first.get(), "abcdef"));
            // Echoed before the next block is sent, or one read could take both.
            ASSERT_TRUE(fault.wait_hits(1, timeout()));
            EXPECT_EQ(read_until(first.get(), std::strlen(c.first), after(timeout())), c.first);
            echo_once(first.get(), "xyz");
            expect_quiet(first.get(), "more than the echo");
        }
        for (int i = c.first != nullptr ? 2 : 1; i <= c.served; i++)
            echoed(port, "client " + std::to_string(i));
        expect_exit(p, c.status, "", c.err);
        EXPECT_EQ(fault.hits(), 1);
    }
}
