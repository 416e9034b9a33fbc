// Soak of the chat relay: many clients join, talk and leave (some resetting
// their connections) while steady clients broadcast. Afterwards the relay
// holds exactly the descriptors and threads of the clients still connected,
// and every steady client has received the same, complete stream.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

using namespace testsupport;

namespace {

// Connect/leave cycles per churning thread; the slow run sets its own count
// through TOOLSET_SOAK_CYCLES.
int soak_cycles()
{
    const char* n = std::getenv("TOOLSET_SOAK_CYCLES");
    return n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : 500;
}

// Stream bytes: top two bits tell the source, the low six count.
constexpr unsigned char kChurnTag = 2 << 6;
constexpr unsigned char kEndTag = 3 << 6;

}  // namespace

TEST(TalkhubSoak, ChurnLeavesOnlyTheSteadyClientsAndTheirIdenticalStreams)
{
    const size_t steady = 4, broadcasters = 2, workers = 4, per_block = 256;
    const int cycles = soak_cycles();
    uint16_t port = free_tcp_port();
    SpawnOptions quiet;
    quiet.stdout_file = "/dev/null";  // a line per client, thousands of them
    Process relay = Process::start({TALKHUB_BIN, std::to_string(port)}, quiet);
    ASSERT_TRUE(wait_listening(port, after(timeout())));

    std::vector<Fd> clients;
    for (size_t i = 0; i < steady; i++) {
        clients.push_back(connect_tcp(port, after(timeout())));
        std::string got;
        write_all(clients.back().get(), "\x80", 1);
        ASSERT_TRUE(read_until(clients.back().get(), got, std::string(1, '\x80'), after(timeout())));
    }
    // What the relay holds besides its steady clients, counted while only
    // they are connected: a checker's own helper thread (the thread sanitizer
    // starts one with the first client) is then already there.
    const int base_fds = open_fd_count(relay.pid()) - static_cast<int>(steady);
    const int base_threads = thread_count(relay.pid()) - static_cast<int>(steady);
    ASSERT_GT(base_fds, 0);
    std::vector<std::string> got(steady);
    std::vector<std::thread> threads;
    // Each broadcaster ends its stream with a marker of its own, sent from its
    // own connection: the relay passes one client's bytes on in order, so the
    // marker follows that broadcaster's last block to everyone.
    auto end = [](size_t b) { return std::string(8, static_cast<char>(kEndTag | b)); };
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
                    block[k] = static_cast<char>((b << 6) | (sent[b] & 0x3f));
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
                Fd fd = connect_tcp(port, after(timeout()));
                ASSERT_TRUE(fd);
                const char tag = static_cast<char>(kChurnTag | (w << 4) | (c & 0xf));
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

    // Every steady client saw one and the same stream, each broadcaster's
    // bytes complete and in order.
    // Earlier clients also got the join bytes of later ones first, so the
    // last one's stream is the common tail of all.
    for (size_t i = 0; i < steady; i++)
        for (size_t b = 0; b < broadcasters; b++)
            ASSERT_NE(got[i].find(end(b)), std::string::npos) << "client " << i << " missed the end of " << b;
    const std::string& stream = got[steady - 1];
    for (size_t i = 0; i < steady; i++)
        EXPECT_TRUE(got[i].size() >= stream.size() &&
                    got[i].compare(got[i].size() - stream.size(), stream.size(), stream) == 0)
            << "client " << i << " saw another stream (" << got[i].size() << " bytes, the last client "
            << stream.size() << ")";
    std::vector<size_t> next(broadcasters, 0);
    for (unsigned char byte : stream) {
        size_t src = byte >> 6;
        if (src >= broadcasters)
            continue;
        ASSERT_EQ(byte & 0x3f, next[src] & 0x3f) << "broadcaster " << src << " at " << next[src];
        next[src]++;
    }
    for (size_t b = 0; b < broadcasters; b++)
        EXPECT_EQ(next[b], sent[b]);

    // Only the steady clients remain: one descriptor and one thread each.
    auto counts = settle_counts(relay.pid(), base_fds + static_cast<int>(steady),
                         base_threads + static_cast<int>(steady), after(timeout(milliseconds(10000))));
    EXPECT_EQ(counts.first, base_fds + static_cast<int>(steady)) << "descriptors";
    EXPECT_EQ(counts.second, base_threads + static_cast<int>(steady)) << "threads";
    EXPECT_TRUE(relay.running());
    relay.wait_errors("\n", milliseconds(1));
    EXPECT_EQ(relay.errors(), "");
}
