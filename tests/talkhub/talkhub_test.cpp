// Black-box tests of the chat relay over loopback TCP.
#include "testsupport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>

#include <functional>
#include <map>
#include <thread>

using namespace testsupport;

namespace {

struct Relay {
    uint16_t port;
    Process proc;

    // Standard output on a terminal, so that each line shows up as printed.
    // Listens on a free port, or on what the port text `arg` makes of p.
    explicit Relay(uint16_t p = free_tcp_port(), const std::string& arg = "")
        : port(p), proc(Process::start({TALKHUB_BIN, arg.empty() ? std::to_string(p) : arg}, on_pty()))
    {
        EXPECT_TRUE(wait_listening(port, after(timeout())));
    }

    ~Relay()
    {
        // Whatever the test did, the relay must still run and must not have
        // complained (a sanitizer report would land on standard error).
        EXPECT_TRUE(proc.running());
        proc.wait_errors("\n", milliseconds(1));
        EXPECT_EQ(proc.errors(), "");
    }
};

// Connects n clients and returns once every one of them is in the relay's
// table and nothing from the joining is left unread: each client sends a
// byte and waits for its own copy (so it is registered), then the last one
// sends a marker that everybody reads up to.
std::vector<Fd> join(uint16_t port, size_t n, std::vector<Fd> clients = {})
{
    const std::string marker = "<joined>";
    for (size_t i = 0; i < n; i++) {
        Fd c = connect_tcp(port, after(timeout()));
        std::string got;
        if (!c || !write_all(c.get(), "j", 1) || !read_until(c.get(), got, "j", after(timeout()))) {
            // A relay that does not serve one client serves no more: stop
            // here rather than wait out the deadline once for each.
            ADD_FAILURE() << "client " << clients.size() << " was not served";
            return clients;
        }
        clients.push_back(std::move(c));
    }
    write_all(clients.back().get(), marker);
    for (auto& c : clients) {
        std::string got;
        EXPECT_TRUE(read_until(c.get(), got, marker, after(timeout())));
        EXPECT_EQ(got.size() - got.find(marker), marker.size()) << "bytes after the marker";
    }
    return clients;
}

// Lets n clients join and leave again, 25 at a time: enough "Connected"
// lines to fill any output buffer.
void churn(uint16_t port, int n)
{
    for (int done = 0; done < n; done += 25)
        join(port, 25);
}

}  // namespace

TEST(TalkhubCommandLine, WrongArgumentCountPrintsUsageAndExits255)
{
    for (auto args : std::vector<std::vector<std::string>>{{TALKHUB_BIN}, {TALKHUB_BIN, "1", "2"}}) {
        Process p = Process::start(args);
        EXPECT_EQ(p.wait_exit_code(timeout()), 255);
        EXPECT_EQ(p.output(), std::string("Usage : ") + TALKHUB_BIN + " <port>\n");
        EXPECT_EQ(p.errors(), "");
    }
}

TEST(TalkhubCommandLine, PortHeldByAnotherSocketIsABindError)
{
    Relay first;
    Process second = Process::start({TALKHUB_BIN, std::to_string(first.port)});
    EXPECT_EQ(second.wait_exit_code(timeout()), 1);
    EXPECT_EQ(second.errors(), "bind() error\n");
    EXPECT_EQ(second.output(), "");
}

TEST(TalkhubCommandLine, PortTextIsReadUpToTheFirstNonDigitAndCutTo16Bits)
{
    uint16_t p1 = free_tcp_port();
    Relay trailing(p1, std::to_string(p1) + "x");

    uint16_t p2 = free_tcp_port();
    Relay wrapped(p2, std::to_string(65536 + p2));
}

TEST(TalkhubRelay, LoneClientGetsItsOwnBytesBackAndEachJoinIsReported)
{
    Relay r;
    auto clients = join(r.port, 2);
    std::string all;
    for (int v = 0; v < 256; v++)
        all += static_cast<char>(v);
    write_all(clients[0].get(), all);
    EXPECT_EQ(read_exact(clients[0].get(), all.size(), after(timeout())), all);
    EXPECT_EQ(read_exact(clients[1].get(), all.size(), after(timeout())), all);
    EXPECT_TRUE(r.proc.wait_output("Connected Client IP: 127.0.0.1\r\nConnected Client IP: 127.0.0.1\r\n",
                                   timeout()));
}

// Each sender tags every byte with its number in the top two bits and counts
// in the low six, so that each receiver can take its stream apart again and
// check every sender's bytes for loss, duplication and order; the four
// senders together cover all 256 byte values.
TEST(TalkhubRelay, ConcurrentSendersReachEveryClientInOneIdenticalOrder)
{
    const size_t senders = 4, listeners = 4, per_sender = 48 * 1024;
    Relay r;
    auto clients = join(r.port, senders + listeners);
    const size_t total = senders * per_sender;

    std::vector<std::string> got(clients.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < clients.size(); i++)
        threads.emplace_back([&, i] { got[i] = read_exact(clients[i].get(), total, after(timeout(milliseconds(30000)))); });
    for (size_t s = 0; s < senders; s++) {
        threads.emplace_back([&, s] {
            std::string data(per_sender, '\0');
            for (size_t k = 0; k < per_sender; k++)
                data[k] = static_cast<char>((s << 6) | (k & 0x3f));
            // Uneven pieces, so the relay's reads split the stream anywhere.
            for (size_t off = 0, piece = 700 + 97 * s; off < per_sender; off += piece)
                write_all(clients[s].get(), data.data() + off, std::min(piece, per_sender - off));
        });
    }
    for (auto& t : threads)
        t.join();

    for (size_t i = 0; i < clients.size(); i++) {
        ASSERT_EQ(got[i].size(), total) << "client " << i;
        EXPECT_TRUE(got[i] == got[0]) << "client " << i << " saw another order";
    }
    std::map<int, size_t> next;
    for (unsigned char b : got[0]) {
        int s = b >> 6;
        ASSERT_EQ(b & 0x3f, next[s] & 0x3f) << "sender " << s << " at byte " << next[s];
        next[s]++;
    }
    for (size_t s = 0; s < senders; s++)
        EXPECT_EQ(next[static_cast<int>(s)], per_sender);
}

TEST(TalkhubRelay, ALargeBlockArrivesWholeAndInOrder)
{
    Relay r;
    auto clients = join(r.port, 2);
    std::string block(3000, '\0');
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<char>(i * 7);
    write_all(clients[1].get(), block);
    for (auto& c : clients)
        EXPECT_EQ(read_exact(c.get(), block.size(), after(timeout())), block);
}

TEST(TalkhubTable, LeavingAndJoiningKeepsEveryOtherClientServedOnce)
{
    Relay r;
    auto clients = join(r.port, 3);  // X, Y, Z
    Fd y = std::move(clients[1]);
    clients.erase(clients.begin() + 1);
    y.reset();

    // Y's entry goes; X and Z each still get every block exactly once.
    write_all(clients[0].get(), "from-x");
    for (auto& c : clients) {
        EXPECT_EQ(read_exact(c.get(), 6, after(timeout())), "from-x");
        expect_quiet(c.get());
    }

    clients = join(r.port, 1, std::move(clients));  // W
    write_all(clients[1].get(), "from-z");
    for (auto& c : clients) {
        EXPECT_EQ(read_exact(c.get(), 6, after(timeout())), "from-z");
        expect_quiet(c.get());
    }

    // The first and the last entries leave the same way.
    clients.front().reset();
    clients.back().reset();
    write_all(clients[1].get(), "alone");
    EXPECT_EQ(read_exact(clients[1].get(), 5, after(timeout())), "alone");
    expect_quiet(clients[1].get());
}

TEST(TalkhubTable, PeersThatResetTheirConnectionsDoNotStopTheRelay)
{
    Relay r;
    auto keep = join(r.port, 2);
    std::string block(1024, 'r');
    for (int round = 0; round < 30; round++) {
        keep = join(r.port, 1, std::move(keep));
        Fd resetting = std::move(keep.back());
        keep.pop_back();
        set_reset_on_close(resetting.get());
        // Keep the relay writing to the peer while its reset arrives.
        std::thread sender([&] {
            for (int i = 0; i < 50; i++)
                write_all(keep[0].get(), block);
        });
        resetting.reset();
        sender.join();
        for (auto& c : keep)
            EXPECT_EQ(read_exact(c.get(), 50 * block.size(), after(timeout())).size(), 50 * block.size());
    }
    write_all(keep[1].get(), "still here");
    EXPECT_EQ(read_exact(keep[0].get(), 10, after(timeout())), "still here");
}

TEST(TalkhubTable, HoldsExactly256ClientsAndTurnsThe257thAway)
{
    Relay r;
    auto clients = join(r.port, 256);

    Fd extra = connect_tcp(r.port, after(timeout()));
    ASSERT_TRUE(extra);
    EXPECT_TRUE(wait_eof(extra.get(), after(timeout()))) << "the 257th client was not closed";

    write_all(clients[255].get(), "all");
    for (auto& c : clients)
        EXPECT_EQ(read_exact(c.get(), 3, after(timeout())), "all");

    // A place that frees up can be taken again. The relay takes a leaving
    // client out of the table before it closes its socket and ends its
    // thread: once both counts have dropped by one, the place is free.
    const int fds = open_fd_count(r.proc.pid()), threads = thread_count(r.proc.pid());
    clients[0].reset();
    clients.erase(clients.begin());
    EXPECT_EQ(settle_counts(r.proc.pid(), fds - 1, threads - 1, after(timeout())), std::make_pair(fds - 1, threads - 1));
    clients = join(r.port, 1, std::move(clients));
    EXPECT_EQ(clients.size(), 256u);
}

// ---- the log on standard output ----

TEST(TalkhubLog, EachLineReachesAFileAtOnceAndAStopLosesNone)
{
    uint16_t port = free_tcp_port();
    const std::string log = ::testing::TempDir() + "talkhub_log_" + std::to_string(port) + ".txt";
    SpawnOptions o;
    o.stdout_file = log;
    Process p = Process::start({TALKHUB_BIN, std::to_string(port)}, o);
    ASSERT_TRUE(wait_listening(port, after(timeout())));
    auto clients = join(port, 5);
    // A client is served before its line is printed, so the lines are
    // awaited; a regular file gives nothing to wait on, so it is read again
    // every 10 ms until the deadline. A block-buffered log stays empty.
    auto lines = [&] {
        Fd f(::open(log.c_str(), O_RDONLY));
        return count_lines(read_until_eof(f.get(), after(timeout())), "Connected Client IP: 127.0.0.1");
    };
    for (Deadline d = after(timeout()); lines() < 5 && Clock::now() < d;)
        std::this_thread::sleep_for(milliseconds(10));
    p.signal(SIGTERM);
    ASSERT_TRUE(p.wait(timeout()));
    EXPECT_EQ(lines(), 5);
    ::unlink(log.c_str());
}

TEST(TalkhubLog, RelayOutlivesTheReaderOfItsLog)
{
    uint16_t port = free_tcp_port();
    Process p = Process::start({TALKHUB_BIN, std::to_string(port)});
    ASSERT_TRUE(wait_listening(port, after(timeout())));
    p.close_output();
    churn(port, 200);
    auto clients = join(port, 2);
    write_all(clients[0].get(), "alive");
    EXPECT_EQ(read_exact(clients[1].get(), 5, after(timeout())), "alive");
    EXPECT_TRUE(p.running());
}

// ---- start and restart ----

TEST(TalkhubCommandLine, RestartsOnItsPortWhileTheLastRunsConnectionsLinger)
{
    uint16_t port = free_tcp_port();
    std::vector<Fd> clients;
    {
        Process first = Process::start({TALKHUB_BIN, std::to_string(port)});
        ASSERT_TRUE(wait_listening(port, after(timeout())));
        clients = join(port, 3);
        first.signal(SIGKILL);
        ASSERT_TRUE(first.wait(timeout()));
    }
    // The relay's side closed first, so its ends of these connections now
    // wait out TIME-WAIT on the port.
    for (auto& c : clients)
        EXPECT_TRUE(wait_eof(c.get(), after(timeout())));
    clients.clear();
    Relay again(port);
    join(port, 1);
}

// Standard descriptors the caller left closed are not taken by the relay's
// own sockets: its "Connected" lines never reach a client.
TEST(TalkhubCommandLine, ClosedStandardDescriptorsStayOutOfTheClientsStreams)
{
    for (bool close_stdin : {false, true}) {
        uint16_t port = free_tcp_port();
        SpawnOptions o;
        o.close_stdin = close_stdin;
        o.close_stdout = true;
        Process p = Process::start({TALKHUB_BIN, std::to_string(port)}, o);
        ASSERT_TRUE(wait_listening(port, after(timeout())));
        Fd first = connect_tcp(port, after(timeout()));
        write_all(first.get(), "first");
        std::string got;
        EXPECT_TRUE(read_until(first.get(), got, "first", after(timeout())));
        churn(port, 200);
        write_all(first.get(), "<end>");
        EXPECT_TRUE(read_until(first.get(), got, "<end>", after(timeout())));
        EXPECT_EQ(got.find("Connected"), std::string::npos) << "with standard input " << (close_stdin ? "closed" : "open");
        EXPECT_TRUE(p.running());
    }
}

// ---- clients that stop reading ----

namespace {

// The relay, a steady sender and a steady reader, and its descriptor and
// thread counts with just those two connected.
struct BusyRelay : Relay {
    std::vector<Fd> steady = join(port, 2);
    std::pair<int, int> base{open_fd_count(proc.pid()), thread_count(proc.pid())};

    // Sends `total` patterned bytes from the steady sender while both steady
    // clients and `more` read them all; returns what the steady reader got.
    std::string pump(size_t total, const std::function<std::string()>& more = nullptr,
                     std::string* more_got = nullptr)
    {
        std::string data(total, '\0');
        for (size_t i = 0; i < total; i++)
            data[i] = static_cast<char>(i % 251);
        std::string got[2];
        std::vector<std::thread> threads;
        for (int i = 0; i < 2; i++)
            threads.emplace_back([&, i] { got[i] = read_exact(steady[i].get(), total, after(timeout(milliseconds(60000)))); });
        if (more)
            threads.emplace_back([&] { *more_got = more(); });
        threads.emplace_back([&] { write_all(steady[0].get(), data); });
        for (auto& t : threads)
            t.join();
        EXPECT_TRUE(got[0] == data) << "the sender's own copy: " << got[0].size();
        EXPECT_TRUE(got[1] == data) << "the steady reader's copy: " << got[1].size();
        return got[1];
    }

    // Joins one more client, which the caller reads or leaves unread. Its
    // receive buffer keeps its small initial size while it does not read
    // (a buffer smaller than a loopback segment would only slow it down).
    Fd join_another()
    {
        steady = join(port, 1, std::move(steady));
        Fd c = std::move(steady.back());
        steady.pop_back();
        return c;
    }
};

}  // namespace

TEST(TalkhubSlowClients, OneThatStopsReadingIsCutOffAndTheOthersLoseNothing)
{
    BusyRelay r;
    const size_t total = 12 * 1024 * 1024;
    {
        // The stuck client shares the joins' bytes, then never reads again.
        Fd stuck = r.join_another();
        r.pump(total);
        EXPECT_TRUE(wait_eof(stuck.get(), after(timeout()))) << "the stuck client was not cut off";
    }
    r.steady = join(r.port, 1, std::move(r.steady));
    write_all(r.steady[2].get(), "served");
    for (auto& c : r.steady)
        EXPECT_EQ(read_exact(c.get(), 6, after(timeout())), "served");
    r.steady.pop_back();
    auto now = settle_counts(r.proc.pid(), r.base.first, r.base.second, after(timeout()));
    EXPECT_EQ(now, r.base) << "descriptors and threads";
}

TEST(TalkhubSlowClients, OneThatPausesBelowTheBoundKeepsItsConnectionAndEveryByte)
{
    BusyRelay r;
    const size_t total = 12 * 1024 * 1024;
    Fd slow = r.join_another();
    std::string slow_got;
    std::string got = r.pump(total, [&] {
        // The pause is what is tested: half a second, a quarter of the bound.
        std::this_thread::sleep_for(milliseconds(500));
        return read_exact(slow.get(), total, after(timeout(milliseconds(60000))));
    }, &slow_got);
    EXPECT_TRUE(slow_got == got) << "the slow client lost bytes: " << slow_got.size() << " of " << total;
    write_all(r.steady[0].get(), "after");
    EXPECT_EQ(read_exact(slow.get(), 5, after(timeout())), "after");
}
