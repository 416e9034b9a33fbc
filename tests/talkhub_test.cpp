// Black-box tests of the chat relay over loopback TCP.
#include "testsupport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

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
        EXPECT_TRUE(c);
        std::string got;
        write_all(c.get(), "j", 1);
        EXPECT_TRUE(read_until(c.get(), got, "j", after(timeout())));
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

// Checks that nothing more arrives on fd for a short while.
void expect_quiet(int fd)
{
    EXPECT_FALSE(wait_readable(fd, after(milliseconds(200)))) << "unexpected bytes";
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

    // A place that frees up can be taken again.
    clients[0].reset();
    write_all(clients[1].get(), "x");  // the old entry may still be there; drain it
    for (size_t i = 1; i < clients.size(); i++)
        EXPECT_EQ(read_exact(clients[i].get(), 1, after(timeout())), "x");
    clients.erase(clients.begin());
    clients = join(r.port, 1, std::move(clients));
    EXPECT_EQ(clients.size(), 256u);
}
