// The log, slow and stuck peers and closed descriptors are rows of the hostile matrix.
#include "faults.h"
#include "sockets.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

using namespace testsupport;

namespace {

const std::string kConnected = "Connected Client IP: 127.0.0.1";

// Output on a terminal, where a "Connected" line shows up as printed: its client has its thread by then.
struct Relay {
    uint16_t port = free_tcp_port();
    Process proc;
    std::pair<int, int> base{counts()};  // descriptors and threads before any client came

    explicit Relay(const SpawnOptions& o = on_pty()) : proc(start_server(TALKHUB_BIN, port, o)) {}
    explicit Relay(const Injection& fault) : Relay(fault.options(on_pty())) {}
    ~Relay()
    {
        EXPECT_TRUE(proc.running()) << "the relay ended";
        proc.read_until("\n", milliseconds(1), Errors);
        EXPECT_EQ(proc.errors(), "");
    }

    std::pair<int, int> counts() const { return {open_fd_count(proc.pid()), thread_count(proc.pid())}; }
    void expect_counts(std::pair<int, int> want, milliseconds t = timeout())
    {
        EXPECT_EQ(settle_counts(proc.pid(), want.first, want.second, after(t)), want) << "descriptors, threads";
    }
    void expect_holds(int clients) { expect_counts({base.first + clients, base.second + clients}); }

    bool wait_announced(int joined)
    {
        std::string lines;
        for (int i = 0; i < joined; i++)
            lines += kConnected + "\r\n";
        return proc.read_until(lines, timeout());
    }
    // Sends nothing, so that no send of the relay is spent on it.
    Fd connect_announced(int joined)
    {
        Fd c = connect_tcp(port, after(timeout()));
        EXPECT_TRUE(c);
        EXPECT_TRUE(wait_announced(joined)) << proc.output();
        return c;
    }
    int announced() const { return count_lines(strip_cr(proc.output()), kConnected); }
};

void expect_relayed(std::vector<Fd>& clients, size_t from, const std::string& text)
{
    ASSERT_TRUE(write_all(clients[from].get(), text));
    for (auto& c : clients)
        EXPECT_EQ(read_until(c.get(), text.size(), after(timeout())), text);
    for (auto& c : clients)
        expect_quiet(c.get());
}

// Sender s in the top two bits, its byte count in the low six.
char tagged(size_t s, size_t k) { return static_cast<char>((s << 6) | (k & 0x3f)); }

// Three clients, so that several connections linger after a kill.
TEST(TalkhubCommandLine, UsagePortTextBindErrorAndRestartWhileConnectionsLinger)
{
    expect_server_command_line(TALKHUB_BIN, std::string("Usage : ") + TALKHUB_BIN + " <port>\n",
                               [](uint16_t port) { return join_clients(port, 3); });
}

// Blocks longer than one read of the relay; leaving from amid, the start and the end of the table.
TEST(TalkhubTable, EveryClientGetsEachBlockOnceWholeAsOthersJoinAndLeaveAndASilentOneIsProbed)
{
    Relay r;
    auto clients = join_clients(r.port, 3);
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<char>(i * 7);
    expect_relayed(clients, 0, block);
    expect_relayed(clients, 1, block);
    const int z = clients[2].get();
    ASSERT_EQ(::send(z, "AB", 2, 0) + ::send(z, "C", 1, MSG_OOB) + ::send(z, "DE", 2, 0), 5);
    for (auto& c : clients)
        EXPECT_EQ(read_until(c.get(), 5, after(timeout())), "ABCDE");
    EXPECT_TRUE(r.wait_announced(3));
    clients.erase(clients.begin() + 1);
    expect_relayed(clients, 0, "from-x");
    clients = join_clients(r.port, 1, std::move(clients));
    expect_relayed(clients, 1, "from-z");
    clients.erase(clients.begin());
    clients.pop_back();
    expect_relayed(clients, 0, "alone");
    TcpEnd end;
    EXPECT_TRUE(poll_until([&] { return (end = server_end(r.port, clients[0].get())).timer == 2; }, after(timeout())))
        << "state " << end.state << ", timer " << end.timer;
    EXPECT_GT(end.ticks, 0);
    EXPECT_LE(end.ticks, 60 * 100) << "clock ticks to the first probe";
}

// EMFILE gives the spare descriptor up; the log thread's start is the first; the first send is to the first client.
struct FaultCase {
    const char* name;
    Fault fault;
    int cut_off;     // clients that see their connection closed
    bool copy_lost;  // whether the first client misses the first block
};
void PrintTo(const FaultCase& f, std::ostream* os) { *os << f.name; }

class TalkhubCallFails : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TalkhubCallFails, OnlyThatClientOrCopySuffersAndTheRelayGoesOn)
{
    const FaultCase& f = GetParam();
    Injection fault(f.fault);
    Relay r(fault);
    std::vector<Fd> clients;
    clients.push_back(r.connect_announced(1));
    for (int i = 0; i < f.cut_off; i++) {
        Fd refused = connect_tcp(r.port, after(timeout()));
        ASSERT_TRUE(refused);
        ASSERT_TRUE(read_until(refused.get(), kEnd, after(timeout()))) << "client " << i << " without a thread stays";
    }
    const int joined = f.fault.count == 0 ? 1 : 3;
    for (int i = 2; i <= joined; i++)
        clients.push_back(r.connect_announced(i));

    const std::string hello = "hello world";
    ASSERT_TRUE(write_all(clients[0].get(), hello));
    for (size_t i = 1; i < clients.size(); i++)
        EXPECT_EQ(read_until(clients[i].get(), hello.size(), after(timeout())), hello);
    const std::string first_copy = f.copy_lost ? "" : hello;
    EXPECT_EQ(read_until(clients[0].get(), first_copy.size(), after(timeout())), first_copy);
    for (size_t i = 0; i < clients.size(); i++)
        expect_relayed(clients, i, "next " + std::to_string(i));
    EXPECT_EQ(fault.hits(), std::max(f.cut_off, 1));
    EXPECT_EQ(r.announced(), joined);
    r.expect_holds(joined);
    clients.clear();
    r.expect_holds(0);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, TalkhubCallFails,
    ::testing::Values(FaultCase{"AcceptEMFILE", Fault{"accept", 2, 1, "EMFILE"}, 0, false},
                      FaultCase{"AcceptECONNABORTED", Fault{"accept", 2, 1, "ECONNABORTED"}, 0, false},
                      FaultCase{"ThreadStart", Fault{"pthread_create", 3, 1, "EAGAIN"}, 1, false},
                      FaultCase{"ThreadStartAlways", Fault{"pthread_create", 3, 0, "EAGAIN"}, 40, false},
                      FaultCase{"SendShort", Fault{"send", 1, 1, "EIO", 3}, 0, false},
                      FaultCase{"SendInterrupted", Fault{"send", 1, 1, "EINTR"}, 0, false},
                      FaultCase{"SendFull", Fault{"send", 1, 1, "EAGAIN"}, 0, false},
                      FaultCase{"SendBroken", Fault{"send", 1, 1, "EPIPE"}, 0, true}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

// Out of descriptors for good: a waiting client is neither served nor closed.
TEST(TalkhubAcceptAlwaysFails, PausesBetweenAttemptsAndRegistersNobody)
{
    Injection fault(Fault{"accept", 1, 0, "EMFILE"});
    Relay r(fault);
    const Deadline t0 = mono_ms();
    Fd waiting = connect_tcp(r.port, after(timeout()));
    ASSERT_TRUE(waiting);
    EXPECT_FALSE(read_until(waiting.get(), 1, after(milliseconds(1000)))) << "served or closed";
    const auto ms = ms_since(t0);
    const int hits = fault.hits();
    EXPECT_GE(hits, 2) << "the relay stopped trying";
    // One more try with the spare given up, then 100 ms; a busy loop makes thousands.
    EXPECT_LE(hits, ms / 50 + 5) << "attempts in " << ms << " ms";
    EXPECT_EQ(r.announced(), 0);
    r.expect_holds(0);
}

// Half of the churners leave with a reset; TOOLSET_SOAK_CYCLES sets the cycles in the slow run.
TEST(TalkhubSoak, ChurnLeavesOnlyTheSteadyClientsAndTheirIdenticalStreams)
{
    const size_t steady = 4, broadcasters = 2, workers = 4, per_block = 256;
    const char* n = std::getenv("TOOLSET_SOAK_CYCLES");
    const int cycles = n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : 500;
    SpawnOptions quiet;
    quiet.stdout_file = "/dev/null";
    Relay r(quiet);
    std::vector<Fd> clients = join_clients(r.port, steady);
    const auto held = r.counts();
    std::vector<std::string> got(steady);
    std::vector<std::thread> threads;
    // Tags: 0 and 1 the broadcasters', 2 the churners', 3 an end marker after its broadcaster's last block.
    auto end = [](size_t b) { return std::string(8, tagged(3, b)); };
    for (size_t i = 0; i < steady; i++)
        threads.emplace_back([&, i] {
            for (size_t b = 0; b < broadcasters; b++)
                read_until(clients[i].get(), got[i], end(b), after(timeout(milliseconds(120000))));
        });

    std::atomic<bool> churning{true};
    std::vector<size_t> sent(broadcasters, 0);
    for (size_t b = 0; b < broadcasters; b++)
        threads.emplace_back([&, b] {
            std::string block(per_block, '\0');
            while (churning) {
                for (size_t k = 0; k < per_block; k++, sent[b]++)
                    block[k] = tagged(b, sent[b]);
                write_all(clients[b].get(), block);
                std::this_thread::sleep_for(milliseconds(2));
            }
            write_all(clients[b].get(), end(b));
        });

    std::vector<std::thread> churners;
    for (size_t w = 0; w < workers; w++)
        churners.emplace_back([&, w] {
            for (int c = 0; c < cycles; c++) {
                // A client never leaves before the relay took it in, as people do.
                Fd fd = connect_tcp(r.port, after(timeout()));
                ASSERT_TRUE(fd);
                const char tag = tagged(2, (w << 4) | (c & 0xf));
                write_all(fd.get(), std::string(17, tag));
                std::string seen;
                ASSERT_TRUE(read_until(fd.get(), seen, std::string(1, tag), after(timeout())));
                if ((c + w) % 2 == 0)
                    set_reset_on_close(fd.get());
            }
        });
    for (auto& t : churners)
        t.join();
    churning = false;
    for (auto& t : threads)
        t.join();

    for (size_t i = 0; i < steady; i++) {
        for (size_t b = 0; b < broadcasters; b++)
            ASSERT_NE(got[i].find(end(b)), std::string::npos) << "client " << i << " missed the end of " << b;
        EXPECT_TRUE(got[i] == got[0]) << "client " << i << " saw another stream (" << got[i].size()
                                      << " bytes, the first client " << got[0].size() << ")";
    }
    // The broadcasters' bytes in order, none lost or doubled; the churners' skipped.
    std::vector<size_t> next(broadcasters, 0);
    for (unsigned char c : got[0]) {
        const size_t b = c >> 6;
        if (b < broadcasters && static_cast<char>(c) != tagged(b, next[b]++)) {
            ADD_FAILURE() << "sender " << b << " at byte " << next[b] - 1;
            break;
        }
    }
    EXPECT_EQ(next, sent);
    r.expect_counts(held, timeout(milliseconds(10000)));
}

}  // namespace
