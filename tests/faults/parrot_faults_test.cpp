// The echo server with failing accepts and sends.
#include "faults.h"

#include <gtest/gtest.h>

using namespace faults;

namespace {

void echo_once(int fd, const std::string& data)
{
    ASSERT_TRUE(write_all(fd, data));
    EXPECT_EQ(read_exact(fd, data.size(), after(timeout())), data);
}

}  // namespace

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
