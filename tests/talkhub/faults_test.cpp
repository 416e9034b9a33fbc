// The chat relay with failing accepts, thread starts and sends.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>

using namespace testsupport;

namespace {

const std::string kJoined = "Connected Client IP: 127.0.0.1\r\n";

// The thread sanitizer's runtime starts a thread of its own in a program the
// first time the program starts one.
#ifdef __SANITIZE_THREAD__
constexpr int kRuntimeThreads = 1;
#else
constexpr int kRuntimeThreads = 0;
#endif

// The relay with one fault, standard output on a terminal so that each
// "Connected" line shows up as printed: the client it names is in the table
// and has its thread by then.
struct Relay {
    Injection fault;
    uint16_t port = free_tcp_port();
    Process proc;
    int base_fds = -1, base_threads = -1;

    explicit Relay(const Fault& f)
        : fault(f), proc(Process::start({TALKHUB_BIN, std::to_string(port)}, fault.options(on_pty())))
    {
        EXPECT_TRUE(wait_listening(port, after(timeout())));
        base_fds = open_fd_count(proc.pid());
        base_threads = thread_count(proc.pid());
    }

    ~Relay()
    {
        EXPECT_TRUE(proc.running()) << "the relay ended";
        proc.wait_errors("\n", milliseconds(1));
        EXPECT_EQ(proc.errors(), "");
    }

    // Connects a client and waits until the relay has announced `joined`
    // clients in all.
    Fd join(int joined)
    {
        Fd c = connect_tcp(port, after(timeout()));
        EXPECT_TRUE(c);
        std::string lines;
        for (int i = 0; i < joined; i++)
            lines += kJoined;
        EXPECT_TRUE(proc.wait_output(lines, timeout())) << proc.output();
        return c;
    }

    int announced() const { return count_lines(strip_cr(proc.output()), "Connected Client IP: 127.0.0.1"); }

    // Waits until the relay holds exactly `clients` client sockets and
    // threads beyond what it had when it started listening.
    void expect_holds(int clients)
    {
        const int threads = base_threads + clients + (announced() > 0 ? kRuntimeThreads : 0);
        const auto now = settle_counts(proc.pid(), base_fds + clients, threads, after(timeout()));
        EXPECT_EQ(now.first, base_fds + clients) << "descriptors";
        EXPECT_EQ(now.second, threads) << "threads";
    }
};

// Every client receives exactly what `from` sends, once.
void expect_relayed(std::vector<Fd>& clients, int from, const std::string& text)
{
    ASSERT_TRUE(write_all(clients[from].get(), text));
    for (auto& c : clients)
        EXPECT_EQ(read_exact(c.get(), text.size(), after(timeout())), text);
    for (auto& c : clients)
        expect_quiet(c.get());
}

}  // namespace

class TalkhubAcceptFails : public ::testing::TestWithParam<const char*> {};

// The relay's second accept fails. EMFILE makes it pause before it accepts
// again, ECONNABORTED makes it try again at once; either way nothing is
// registered for the failed call, and the clients that come are served.
TEST_P(TalkhubAcceptFails, NothingIsRegisteredAndLaterClientsRelay)
{
    Relay r(Fault{"accept", 2, 1, GetParam()});
    std::vector<Fd> clients;
    clients.push_back(r.join(1));
    clients.push_back(r.join(2));
    clients.push_back(r.join(3));
    EXPECT_EQ(r.fault.hits(), 1);
    EXPECT_EQ(r.announced(), 3);
    r.expect_holds(3);

    expect_relayed(clients, 0, "ping");
    expect_relayed(clients, 1, "pong");

    clients.clear();
    r.expect_holds(0);
}

INSTANTIATE_TEST_SUITE_P(Errors, TalkhubAcceptFails, ::testing::Values("EMFILE", "ECONNABORTED"));

// Out of descriptors for good: the relay keeps trying at a steady pace, not
// in a busy loop, and registers nobody; a waiting client is neither served
// nor closed.
TEST(TalkhubAcceptAlwaysFails, PausesBetweenAttemptsAndRegistersNobody)
{
    Relay r(Fault{"accept", 1, 0, "EMFILE"});
    const auto t0 = Clock::now();
    Fd waiting = connect_tcp(r.port, after(timeout()));
    ASSERT_TRUE(waiting);
    EXPECT_FALSE(wait_readable(waiting.get(), after(milliseconds(1000)))) << "served or closed";
    const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    const int hits = r.fault.hits();
    EXPECT_GE(hits, 2) << "the relay stopped trying";
    // The relay pauses 100 ms after each such failure; a busy loop would make
    // thousands of attempts.
    EXPECT_LE(hits, ms / 50 + 5) << "attempts in " << ms << " ms";
    EXPECT_EQ(r.announced(), 0);
    r.expect_holds(0);
}

// The second client is taken into the table and then out again when its
// thread cannot start: it sees its connection closed, and the others are
// served as if it had never come.
TEST(TalkhubThreadStartFails, ThatClientIsClosedAndTheRelayGoesOn)
{
    Relay r(Fault{"pthread_create", 2, 1, "EAGAIN"});
    std::vector<Fd> clients;
    clients.push_back(r.join(1));
    Fd refused = connect_tcp(r.port, after(timeout()));
    ASSERT_TRUE(refused);
    EXPECT_TRUE(wait_eof(refused.get(), after(timeout()))) << "the client without a thread stays connected";
    EXPECT_EQ(r.fault.hits(), 1);
    clients.push_back(r.join(2));
    EXPECT_EQ(r.announced(), 2);
    r.expect_holds(2);

    expect_relayed(clients, 0, "ping");
    expect_relayed(clients, 1, "pong");
    refused.reset();
    clients.clear();
    r.expect_holds(0);
}

// No thread can start at all: every client is closed at once and nothing of
// any of them stays behind in the relay.
TEST(TalkhubThreadStartFails, EveryClientIsClosedAndNothingLeaks)
{
    const int tries = 40;
    Relay r(Fault{"pthread_create", 1, 0, "EAGAIN"});
    for (int i = 0; i < tries; i++) {
        Fd c = connect_tcp(r.port, after(timeout()));
        ASSERT_TRUE(c);
        ASSERT_TRUE(wait_eof(c.get(), after(timeout()))) << "client " << i;
    }
    EXPECT_EQ(r.fault.hits(), tries);
    EXPECT_EQ(r.announced(), 0);
    r.expect_holds(0);
}

struct SendFault {
    const char* name;
    Fault fault;
    std::string first_copy;  // what the first client gets of "hello world"
    bool cut_off;            // whether that client is cut off after it
};

void PrintTo(const SendFault& s, std::ostream* os) { *os << s.name; }

class TalkhubSendFails : public ::testing::TestWithParam<SendFault> {};

// The first send of the relay goes to the first client in the table. A failed
// copy is not retried and that client stays. A copy cut short (as a send
// time-out cuts it) would leave a gap in that client's stream: the client
// keeps the part it got and is cut off. Nothing else is disturbed, and the
// next block reaches everybody else whole.
TEST_P(TalkhubSendFails, OnlyThatCopySuffersAndTheRelayGoesOn)
{
    const SendFault& f = GetParam();
    Relay r(f.fault);
    std::vector<Fd> clients;
    clients.push_back(r.join(1));
    clients.push_back(r.join(2));

    ASSERT_TRUE(write_all(clients[0].get(), "hello world"));
    EXPECT_EQ(read_exact(clients[1].get(), 11, after(timeout())), "hello world");
    if (f.cut_off) {
        EXPECT_EQ(read_until_eof(clients[0].get(), after(timeout())), f.first_copy);
        r.expect_holds(1);
        clients.erase(clients.begin());
    }
    ASSERT_TRUE(write_all(clients.back().get(), "second"));
    if (!f.cut_off) {
        EXPECT_EQ(read_exact(clients[0].get(), f.first_copy.size() + 6, after(timeout())), f.first_copy + "second");
    }
    EXPECT_EQ(read_exact(clients.back().get(), 6, after(timeout())), "second");
    for (auto& c : clients)
        expect_quiet(c.get());
    EXPECT_EQ(r.fault.hits(), 1);
    r.expect_holds(static_cast<int>(clients.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Sends, TalkhubSendFails,
    ::testing::Values(SendFault{"Short", Fault{"send", 1, 1, "EIO", 3}, "hel", true},
                      SendFault{"Broken", Fault{"send", 1, 1, "EPIPE"}, "", false}),
    [](const ::testing::TestParamInfo<SendFault>& i) { return std::string(i.param.name); });
