// Black-box tests of the chat relay over loopback TCP: its command line, the
// relay of blocks, the client table, its log, slow clients, failing accepts,
// thread starts and sends (faultshim), and a soak.
#include "faults.h"
#include "sockets.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace testsupport;

namespace {

const std::string kConnected = "Connected Client IP: 127.0.0.1";
// The relay's first n lines, ended as a terminal (eol "\r\n") or a pipe shows them.
std::string connected_lines(int n, const std::string& eol)
{
    std::string lines;
    for (int i = 0; i < n; i++)
        lines += kConnected + eol;
    return lines;
}

// The relay on a free port, by default with standard output on a terminal so
// that each "Connected" line shows up as printed: the client it names is in
// the table and has its thread by then.
struct Relay {
    uint16_t port = free_tcp_port();
    Process proc;
    // Descriptors and threads while it listens, before any client came.
    std::pair<int, int> base{counts()};

    explicit Relay(const SpawnOptions& o = on_pty()) : proc(start_server(TALKHUB_BIN, port, o)) {}
    // The relay with one fault injected; `fault` outlives it.
    explicit Relay(const Injection& fault) : Relay(fault.options(on_pty())) {}

    ~Relay()
    {
        // Whatever the test did, the relay must still run and must not have
        // complained (a sanitizer report would land on standard error).
        EXPECT_TRUE(proc.running()) << "the relay ended";
        proc.read_until("\n", milliseconds(1), Errors);
        EXPECT_EQ(proc.errors(), "");
    }

    std::pair<int, int> counts() const { return {open_fd_count(proc.pid()), thread_count(proc.pid())}; }
    void expect_counts(std::pair<int, int> want, milliseconds t = timeout())
    {
        EXPECT_EQ(settle_counts(proc.pid(), want.first, want.second, after(t)), want) << "descriptors, threads";
    }
    // Waits until the relay holds exactly `clients` sockets and threads beyond `base`.
    void expect_holds(int clients) { expect_counts({base.first + clients, base.second + clients}); }

    // Connects a client and waits until the relay has announced `joined`
    // clients in all. Sends nothing, so no send of the relay is spent on it.
    Fd connect_announced(int joined)
    {
        Fd c = connect_tcp(port, after(timeout()));
        EXPECT_TRUE(c);
        EXPECT_TRUE(proc.read_until(connected_lines(joined, "\r\n"), timeout())) << proc.output();
        return c;
    }
    int announced() const { return count_lines(strip_cr(proc.output()), kConnected); }
};

// Joins one more client (`clients` read its joining too) and returns it.
Fd join_one(uint16_t port, std::vector<Fd>& clients)
{
    clients = join_clients(port, 1, std::move(clients));
    Fd c = std::move(clients.back());
    clients.pop_back();
    return c;
}

// Every client receives exactly what `from` sends, and (unless there are too
// many clients to wait a while for each) only once.
void expect_relayed(std::vector<Fd>& clients, size_t from, const std::string& text, bool once = true)
{
    ASSERT_TRUE(write_all(clients[from].get(), text));
    for (auto& c : clients)
        EXPECT_EQ(read_until(c.get(), text.size(), after(timeout())), text);
    for (size_t i = 0; once && i < clients.size(); i++)
        expect_quiet(clients[i].get());
}

// Byte k of sender s in a tagged stream: s in the top two bits, k counted in
// the low six, so that a receiver can take the stream apart again.
char tagged(size_t s, size_t k) { return static_cast<char>((s << 6) | (k & 0x3f)); }

// Takes a tagged stream apart, checks the bytes of senders 0 to senders - 1
// for loss, duplication and order (skips higher tags); returns their counts.
std::vector<size_t> untag(const std::string& stream, size_t senders)
{
    std::vector<size_t> next(senders, 0);
    for (unsigned char b : stream) {
        const size_t s = b >> 6;
        if (s >= senders)
            continue;
        if (static_cast<char>(b) != tagged(s, next[s])) {
            ADD_FAILURE() << "sender " << s << " at byte " << next[s];
            break;
        }
        next[s]++;
    }
    return next;
}

// ---- the command line ----

// Three clients, so that several connections linger after a kill.
TEST(TalkhubCommandLine, UsagePortTextBindErrorAndRestartWhileConnectionsLinger)
{
    expect_server_command_line(TALKHUB_BIN, std::string("Usage : ") + TALKHUB_BIN + " <port>\n",
                               [](uint16_t port) { return join_clients(port, 3); });
}

// ---- the relay of blocks and the client table ----

// The four senders' tags together cover all 256 byte values.
TEST(TalkhubRelay, ConcurrentSendersReachEveryClientInOneIdenticalOrder)
{
    const size_t senders = 4, listeners = 4, per_sender = 48 * 1024, total = senders * per_sender;
    Relay r;
    auto clients = join_clients(r.port, senders + listeners);

    std::vector<std::string> got(clients.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients.size(); i++)
        threads.emplace_back([&, i] { got[i] = read_until(clients[i].get(), total, after(timeout(milliseconds(30000)))); });
    for (size_t s = 0; s < senders; s++) {
        threads.emplace_back([&, s] {
            std::string data(per_sender, '\0');
            for (size_t k = 0; k < per_sender; k++)
                data[k] = tagged(s, k);
            // Uneven pieces, so the relay's reads split the stream anywhere.
            for (size_t off = 0, piece = 700 + 97 * s; off < per_sender; off += piece)
                write_all(clients[s].get(), data.data() + off, std::min(piece, per_sender - off));
        });
    }
    for (auto& t : threads)
        t.join();

    // The first client's stream whole (so, `total` bytes) and the same in all.
    EXPECT_EQ(untag(got[0], senders), std::vector<size_t>(senders, per_sender));
    for (size_t i = 0; i < clients.size(); i++)
        EXPECT_TRUE(got[i] == got[0]) << "client " << i << " saw another order: " << got[i].size() << " bytes";
}

// Every client in the table gets each block once, whole and in order, and
// each join is reported. One block holds every byte value (7 is odd), zero
// included, and is longer than one read of the relay; it comes from either
// of two senders, the sender's own copy too; an urgent byte keeps its place. Clients leave from amid, the
// start and the end of the table and one joins. A client that falls silent
// is probed after a minute (keep-alive armed with a 60 s idle time, not the
// system's two hours), so a peer that vanished gives its place back.
TEST(TalkhubTable, EveryClientGetsEachBlockOnceWholeAsOthersJoinAndLeaveAndASilentOneIsProbed)
{
    Relay r;
    auto clients = join_clients(r.port, 3);  // X, Y, Z
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<char>(i * 7);
    expect_relayed(clients, 0, block);
    expect_relayed(clients, 1, block);
    const int z = clients[2].get();
    ASSERT_EQ(::send(z, "AB", 2, 0) + ::send(z, "C", 1, MSG_OOB) + ::send(z, "DE", 2, 0), 5);
    for (auto& c : clients)
        EXPECT_EQ(read_until(c.get(), 5, after(timeout())), "ABCDE");
    EXPECT_TRUE(r.proc.read_until(connected_lines(3, "\r\n"), timeout()));
    clients.erase(clients.begin() + 1);  // Y leaves
    expect_relayed(clients, 0, "from-x");
    clients = join_clients(r.port, 1, std::move(clients));  // W
    expect_relayed(clients, 1, "from-z");
    // The first and the last entries leave the same way.
    clients.erase(clients.begin());
    clients.pop_back();
    expect_relayed(clients, 0, "alone");
    TcpEnd end;
    EXPECT_TRUE(poll_until([&] { return (end = server_end(r.port, clients[0].get())).timer == 2; }, after(timeout())))
        << "state " << end.state << ", timer " << end.timer;
    EXPECT_GT(end.ticks, 0);
    EXPECT_LE(end.ticks, 60 * 100) << "clock ticks to the first probe";
}

TEST(TalkhubTable, PeersThatResetTheirConnectionsDoNotStopTheRelay)
{
    Relay r;
    auto keep = join_clients(r.port, 2);
    std::string block(1024, 'r');
    for (int round = 0; round < 30; round++) {
        Fd resetting = join_one(r.port, keep);
        set_reset_on_close(resetting.get());
        // Keep the relay writing to the peer while its reset arrives.
        std::thread sender([&] {
            for (int i = 0; i < 50; i++)
                write_all(keep[0].get(), block);
        });
        resetting.reset();
        sender.join();
        for (auto& c : keep)
            EXPECT_EQ(read_until(c.get(), 50 * block.size(), after(timeout())).size(), 50 * block.size());
    }
    write_all(keep[1].get(), "still here");
    EXPECT_EQ(read_until(keep[0].get(), 10, after(timeout())), "still here");
}

// ---- the log on standard output ----

TEST(TalkhubLog, EachLineReachesAFileAtOnceAndAStopLosesNone)
{
    uint16_t port = free_tcp_port();
    TempDir dir;
    SpawnOptions o;
    o.stdout_file = dir.file("log");
    Process p = start_server(TALKHUB_BIN, port, o);
    auto clients = join_clients(port, 5);
    // Client threads print the lines, so they are awaited; a file gives
    // nothing to block on, so it is read again until the deadline. A
    // block-buffered log stays empty.
    auto lines = [&] {
        Fd f(::open(o.stdout_file.c_str(), O_RDONLY));
        return count_lines(read_until(f.get(), kEnd, after(timeout())), kConnected);
    };
    poll_until([&] { return lines() >= 5; }, after(timeout()));
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(timeout()));
    EXPECT_EQ(lines(), 5);
}

// The relay goes on when nobody takes its log: standard output closed (with
// standard input open or closed too), or a pipe whose reader has gone.
// Standard descriptors the caller left closed are not taken by the relay's
// own sockets: its "Connected" lines never reach a client.
TEST(TalkhubLog, ALostLogNeitherStopsTheRelayNorReachesAClient)
{
    struct {
        const char* what;
        bool close_stdin, close_stdout;
    } cases[] = {{"standard output closed", false, true}, {"standard input and output closed", true, true},
                 {"the log's reader gone", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SpawnOptions o;
        o.close_stdin = c.close_stdin;
        o.close_stdout = c.close_stdout;
        Relay r(o);
        if (!c.close_stdout)
            r.proc.close_output();
        Fd first = connect_tcp(r.port, after(timeout()));
        write_all(first.get(), "first");
        std::string got;
        EXPECT_TRUE(read_until(first.get(), got, "first", after(timeout())));
        for (int done = 0; done < 200; done += 25)  // "Connected" lines to fill any buffer
            join_clients(r.port, 25);
        write_all(first.get(), "<end>");
        EXPECT_TRUE(read_until(first.get(), got, "<end>", after(timeout())));
        EXPECT_EQ(got.find("Connected"), std::string::npos);
    }
}

// Nobody reads the log, a pipe of one page (about 130 lines): the relay goes
// on accepting. Newcomers are in the table and receive every block at once;
// once the log is read, every line is there and the newcomers are heard too.
TEST(TalkhubLog, ABlockedLogNeitherStopsAcceptingNorRelayingAndLosesNoLine)
{
    const int newcomers = 200;
    Relay r(SpawnOptions{});
    ASSERT_GE(fcntl(r.proc.out(), F_SETPIPE_SZ, 4096), 0);
    auto clients = join_clients(r.port, 2);
    // One at a time, each accepted (the relay holds one more descriptor)
    // before the next comes, as a burst would overflow the listen queue.
    for (int i = 0; i < newcomers; i++) {
        clients.push_back(connect_tcp(r.port, after(timeout())));
        const int fds = r.base.first + static_cast<int>(clients.size());
        if (!clients.back() || !poll_until([&] { return open_fd_count(r.proc.pid()) == fds; }, after(timeout()))) {
            ADD_FAILURE() << "newcomer " << i << " was not accepted";
            return;
        }
    }
    expect_relayed(clients, 0, "while the log is blocked", false);
    EXPECT_TRUE(r.proc.read_until(connected_lines(2 + newcomers, "\n"), timeout()));
    expect_relayed(clients, clients.size() - 1, "after the log drained", false);
    EXPECT_EQ(r.announced(), 2 + newcomers);
}

// ---- clients that stop reading ----

// The relay, a steady sender and a steady reader, and its descriptor and
// thread counts with just those two connected.
struct BusyRelay : Relay {
    static constexpr size_t total = 12 * 1024 * 1024;
    std::vector<Fd> steady = join_clients(port, 2);
    std::pair<int, int> held = counts();

    // Sends `total` patterned bytes from the steady sender while both steady
    // clients, and `slow` after a pause, read them all and get them whole.
    void pump(Fd* slow = nullptr)
    {
        std::string data(total, '\0');
        for (size_t i = 0; i < total; i++)
            data[i] = static_cast<char>(i % 251);
        const char* names[] = {"the sender's own copy", "the steady reader's copy", "the slow client's copy"};
        std::vector<Fd*> readers{&steady[0], &steady[1]};
        if (slow)
            readers.push_back(slow);
        std::vector<std::string> got(readers.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < readers.size(); i++)
            threads.emplace_back([&, i] {
                // The pause is what is tested: half a second, a quarter of the bound.
                if (readers[i] == slow)
                    std::this_thread::sleep_for(milliseconds(500));
                got[i] = read_until(readers[i]->get(), total, after(timeout(milliseconds(60000))));
            });
        threads.emplace_back([&] { write_all(steady[0].get(), data); });
        for (auto& t : threads)
            t.join();
        for (size_t i = 0; i < got.size(); i++)
            EXPECT_TRUE(got[i] == data) << names[i] << ": " << got[i].size() << " of " << total;
    }
};

// A client that stops reading is cut off and the others lose nothing; then
// one that pauses below the bound keeps its connection and every byte.
TEST(TalkhubSlowClients, OneThatStopsReadingIsCutOffAndOneThatPausesKeepsItsConnectionAndEveryByte)
{
    BusyRelay r;
    {
        // The stuck client shares the joins' bytes, then never reads again.
        // Its receive buffer keeps its small initial size while it does not
        // read (a buffer smaller than a loopback segment would only slow it).
        Fd stuck = join_one(r.port, r.steady);
        r.pump();
        EXPECT_TRUE(read_until(stuck.get(), kEnd, after(timeout()))) << "the stuck client was not cut off";
    }
    r.steady = join_clients(r.port, 1, std::move(r.steady));
    expect_relayed(r.steady, 2, "served");
    Fd slow = std::move(r.steady.back());
    r.steady.pop_back();
    r.pump(&slow);
    write_all(r.steady[0].get(), "after");
    EXPECT_EQ(read_until(slow.get(), 5, after(timeout())), "after");
    slow.reset();
    r.expect_counts(r.held);
}

// Eight clients that stop reading stand ahead of a healthy one in the table,
// which sends block after block and reads each back before the next. A
// broadcast hands every client what it can take at once, then waits one bound
// for all that are full together and cuts those off at one moment. So while
// the healthy client holds any one block, the count of stuck connections
// still open changes once (twice when a sample falls amid the shut-downs); a
// bound per client would step it down one by one, a bound apart, before the
// healthy client got its copy. Each stuck client keeps a gapless prefix.
TEST(TalkhubSlowClients, ManyThatStopReadingCostOneBoundTogetherAndKeepAPrefixWithoutAGap)
{
    const int n_stuck = 8;
    const size_t block = 1024, max_blocks = 20000, blocks_after = 20;
    Relay r;
    std::vector<Fd> stuck = join_clients(r.port, n_stuck);
    Fd healthy = join_one(r.port, stuck);
    auto open_stuck = [&] {
        int n = 0;
        for (auto& c : stuck)
            n += server_end(r.port, c.get()).state == 1;
        return n;
    };
    ASSERT_EQ(open_stuck(), n_stuck);

    std::atomic<size_t> held{0};
    std::atomic<int> still_open{n_stuck};
    std::atomic<bool> done{false};
    int most_changes = 0;
    std::thread sampler([&] {
        size_t at = 0;
        int changes = 0;
        while (!done) {
            const size_t h = held;
            const int now = open_stuck();
            if (h != at)
                at = h, changes = 0;
            if (now != still_open)
                still_open = now, most_changes = std::max(most_changes, ++changes);
            std::this_thread::sleep_for(milliseconds(10));
        }
    });
    std::string sent;
    bool lost = false;
    for (size_t k = 0, after_cut = 0; k < max_blocks && after_cut < blocks_after; k++) {
        std::string b(block, '\0');
        for (size_t i = 0; i < block; i++)
            b[i] = static_cast<char>((k * 7 + i) % 251);
        sent += b;
        if (!write_all(healthy.get(), b) || read_until(healthy.get(), block, after(timeout())) != b) {
            lost = true;
            break;
        }
        held = k + 1;
        after_cut += still_open == 0;
    }
    done = true;
    sampler.join();
    // A relay that waits on the stuck clients for good holds the healthy
    // client's block until the kernel gives up on them (TCP_USER_TIMEOUT, 90
    // s), far past the bound; their copies then have nothing more to show.
    ASSERT_FALSE(lost) << "the healthy client lost block " << held;
    EXPECT_EQ(still_open, 0) << "stuck clients not cut off";
    EXPECT_LE(most_changes, 2) << "steps in the count of stuck clients while the healthy one held one block";
    for (auto& c : stuck) {
        const std::string got = read_until(c.get(), kEnd, after(timeout()));
        EXPECT_LT(got.size(), sent.size());
        EXPECT_TRUE(sent.compare(0, got.size(), got) == 0) << "a stuck client's " << got.size() << " bytes";
    }
}

// The relay stopped and continued (Ctrl-Z, then bg) four times while it
// waits for a client that pauses: that client's stream of numbered lines
// arrives whole and in order, and it stays connected.
TEST(TalkhubSlowClients, StopsOfTheRelayWhileAClientPausesLoseNoBlockAndCutNobody)
{
    const size_t lines = 1500000, stops = 4;
    Relay r;
    auto clients = join_clients(r.port, 1);                            // the sender
    clients = join_clients(r.port, 1, std::move(clients), 64 * 1024);  // the pausing reader
    std::string data;
    char line[16];
    for (size_t i = 0; i < lines; i++)
        data.append(line, static_cast<size_t>(std::snprintf(line, sizeof(line), "%07zu\n", i)));

    std::string own;
    std::thread sender([&] { write_all(clients[0].get(), data); });
    std::thread own_copy([&] { own = read_until(clients[0].get(), data.size(), after(timeout(milliseconds(60000)))); });
    std::string got;
    for (size_t s = 0; s < stops; s++) {
        got += read_until(clients[1].get(), data.size() / (stops + 2), after(timeout()));
        // The pause is what is tested: 0.6 s and the stop, below the bound.
        std::this_thread::sleep_for(milliseconds(300));
        r.proc.signal(SIGSTOP);
        EXPECT_TRUE(wait_state(r.proc.pid(), 'T', timeout()));
        r.proc.signal(SIGCONT);
        std::this_thread::sleep_for(milliseconds(300));
    }
    got += read_until(clients[1].get(), data.size() - got.size(), after(timeout(milliseconds(60000))));
    sender.join();
    own_copy.join();
    EXPECT_TRUE(got == data) << got.size() << " of " << data.size() << " bytes";
    EXPECT_TRUE(own == data) << "the sender's own copy: " << own.size() << " bytes";
    expect_relayed(clients, 0, "still connected");
}

// ---- failing accepts, thread starts and sends ----

// One call of the relay fails once. Its second accept: EMFILE makes it accept
// again with its spare descriptor given up, ECONNABORTED makes it try again
// at once, and the waiting client is then served. The second client's
// thread start (the log thread's is the first): that client
// is taken into the table and out again, and sees its connection closed. Its
// first send, which goes to the first client in the table: a failed copy is
// not retried and that client stays; a send cut short, interrupted or finding
// the buffer full goes on with the rest, and that client gets the block whole.
// Either way nothing stays registered for the failed call, nothing else is
// disturbed, and the next blocks reach everybody.
struct FaultCase {
    const char* name;
    Fault fault;
    bool cut_off;     // whether the client it strikes sees its connection closed
    bool copy_lost;   // whether the first client misses the first block
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
    if (f.cut_off) {
        Fd refused = connect_tcp(r.port, after(timeout()));
        ASSERT_TRUE(refused);
        EXPECT_TRUE(read_until(refused.get(), kEnd, after(timeout()))) << "the client without a thread stays connected";
    }
    clients.push_back(r.connect_announced(2));
    clients.push_back(r.connect_announced(3));

    const std::string hello = "hello world";
    ASSERT_TRUE(write_all(clients[0].get(), hello));
    for (size_t i = 1; i < clients.size(); i++)
        EXPECT_EQ(read_until(clients[i].get(), hello.size(), after(timeout())), hello);
    const std::string first_copy = f.copy_lost ? "" : hello;
    EXPECT_EQ(read_until(clients[0].get(), first_copy.size(), after(timeout())), first_copy);
    // A copy that failed outright left nothing behind in the first client's stream.
    expect_relayed(clients, 1, "pong");
    expect_relayed(clients, 2, "second");
    EXPECT_EQ(fault.hits(), 1);
    EXPECT_EQ(r.announced(), 3);
    r.expect_holds(3);
    clients.clear();
    r.expect_holds(0);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, TalkhubCallFails,
    ::testing::Values(FaultCase{"AcceptEMFILE", Fault{"accept", 2, 1, "EMFILE"}, false, false},
                      FaultCase{"AcceptECONNABORTED", Fault{"accept", 2, 1, "ECONNABORTED"}, false, false},
                      FaultCase{"ThreadStart", Fault{"pthread_create", 3, 1, "EAGAIN"}, true, false},
                      FaultCase{"SendShort", Fault{"send", 1, 1, "EIO", 3}, false, false},
                      FaultCase{"SendInterrupted", Fault{"send", 1, 1, "EINTR"}, false, false},
                      FaultCase{"SendFull", Fault{"send", 1, 1, "EAGAIN"}, false, false},
                      FaultCase{"SendBroken", Fault{"send", 1, 1, "EPIPE"}, false, true}),
    [](const ::testing::TestParamInfo<FaultCase>& i) { return std::string(i.param.name); });

// Out of descriptors for good: the relay keeps trying at a steady pace, not
// in a busy loop, and registers nobody; a waiting client is neither served
// nor closed.
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
    // The relay tries once more with its spare descriptor given up, then
    // pauses 100 ms; a busy loop would make thousands of attempts.
    EXPECT_LE(hits, ms / 50 + 5) << "attempts in " << ms << " ms";
    EXPECT_EQ(r.announced(), 0);
    r.expect_holds(0);
}

// No thread can start at all: every client is closed at once and nothing of
// any of them stays behind in the relay.
TEST(TalkhubThreadStartFails, EveryClientIsClosedAndNothingLeaks)
{
    const int tries = 40;
    Injection fault(Fault{"pthread_create", 2, 0, "EAGAIN"});  // the log thread's start succeeds
    Relay r(fault);
    for (int i = 0; i < tries; i++) {
        Fd c = connect_tcp(r.port, after(timeout()));
        ASSERT_TRUE(c);
        ASSERT_TRUE(read_until(c.get(), kEnd, after(timeout()))) << "client " << i;
    }
    EXPECT_EQ(fault.hits(), tries);
    EXPECT_EQ(r.announced(), 0);
    r.expect_holds(0);
}

// ---- soak ----

// Many clients join, talk and leave (some resetting their connections) while
// steady clients broadcast. Afterwards the relay holds exactly the
// descriptors and threads of the clients still connected, and every steady
// client has received the same, complete stream.
TEST(TalkhubSoak, ChurnLeavesOnlyTheSteadyClientsAndTheirIdenticalStreams)
{
    const size_t steady = 4, broadcasters = 2, workers = 4, per_block = 256;
    // Connect/leave cycles per churning thread (TOOLSET_SOAK_CYCLES in the slow run).
    const char* n = std::getenv("TOOLSET_SOAK_CYCLES");
    const int cycles = n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : 500;
    SpawnOptions quiet;
    quiet.stdout_file = "/dev/null";  // a line per client, thousands of them
    Relay r(quiet);
    std::vector<Fd> clients = join_clients(r.port, steady);
    // What the relay holds with only the steady clients connected.
    const auto held = r.counts();
    std::vector<std::string> got(steady);
    std::vector<std::thread> threads;
    // Tags 0 and 1 are the broadcasters', 2 the churners', 3 the end markers.
    // Each broadcaster ends its stream with a marker of its own, sent from its
    // own connection: the relay passes one client's bytes on in order, so the
    // marker follows that broadcaster's last block to everyone.
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
                // Join, talk, see the own message come back, leave: a client
                // never leaves before the relay took it in, as people do.
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
    EXPECT_EQ(untag(got[0], broadcasters), sent);
    // Only the steady clients remain: one descriptor and one thread each.
    r.expect_counts(held, timeout(milliseconds(10000)));
}

}  // namespace
