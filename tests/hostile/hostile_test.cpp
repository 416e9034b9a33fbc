// A row a program and condition: it ends as the row says or keeps serving, and never spins, loses or corrupts data.
#include "faults.h"
#include "sockets.h"
#include "terminals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

using namespace testsupport;

namespace {

#define CONDITIONS(X)                                                                                            \
    X(ClosedStdFds) X(DevFull) X(UnreadPipe) X(GoneReader) X(HungUpTerminal) X(InputEof) X(InputDirectory)       \
    X(StopContinue) X(ParentKilled) X(BlockedSignals) X(SlowPeers) X(VanishedPeer) X(FullTable) X(DescriptorLimit)
#define ENUMERATOR(c) c,
#define NAME(c) #c,
enum class C { CONDITIONS(ENUMERATOR) };
const char* const cond_names[] = {CONDITIONS(NAME)};

constexpr int kPage = 4096, kDescriptorLimit = 64;

struct Hostile {
    explicit Hostile(C c) : cond(c), tty(c == C::HungUpTerminal ? open_pty(false) : Pty()) {}
    SpawnOptions options(SpawnOptions o = {}) const
    {
        o.close_stdin = o.close_stdout = cond == C::ClosedStdFds;  // as `<&- >&-` leave them
        if (cond == C::DevFull)
            o.stdout_file = "/dev/full";
        if (cond == C::HungUpTerminal || cond == C::InputDirectory)
            o.stdin_file = cond == C::InputDirectory ? "/" : tty.slave_path;  // not the controlling terminal
        if (cond == C::BlockedSignals) {
            o.blocked = {SIGCHLD, SIGALRM, SIGINT};
            o.ignored = {SIGINT};
        }
        return o;
    }
    Process started(Process p) const
    {
        const rlimit few{kDescriptorLimit, kDescriptorLimit};
        EXPECT_TRUE(cond != C::UnreadPipe || ::fcntl(p.out(), F_SETPIPE_SZ, kPage) == kPage) << std::strerror(errno);
        EXPECT_TRUE(cond != C::DescriptorLimit || ::prlimit(p.pid(), RLIMIT_NOFILE, &few, nullptr) == 0)
            << std::strerror(errno);
        if (cond == C::GoneReader)
            p.close_output();
        return p;
    }
    const C cond;
    Pty tty;  // HungUpTerminal's: the test types on master and hangs up slave
};

// TIOCVHANGUP: every descriptor of the terminal then reads its end; where it cannot be done, the row is skipped.
#define HANG_UP_OR_SKIP(h)                                                                                       \
    if (const int err = ::ioctl((h).tty.slave.get(), TIOCVHANGUP) == 0 ? 0 : errno)                              \
    GTEST_SKIP() << "cannot hang up the terminal (TIOCVHANGUP): " << std::strerror(err)                           \
                 << (err == ENOSYS ? "; user-mode emulation does not pass this request on"                       \
                                   : err == EPERM ? "; it needs CAP_SYS_TTY_CONFIG" : "")

bool wait_pipe_full(int fd, int room, milliseconds t)
{
    return poll_until([&] { return queued(fd) > kPage - room; }, after(t));
}

// A spin takes about 50 ticks in half a second, a wait none (a sanitizer's thread a few). Scaled bounds give as many
// windows, one quiet enough, for a program still starting; output is read meanwhile, or a full pipe stops a spin.
void expect_no_spin(Process& p, const std::string& what, bool read_output = true)
{
#if defined(__SANITIZE_THREAD__)
    const long limit = 25;  // the sanitizer's thread visits all of a full relay's 256 threads several times a second
#else
    const long limit = 12;
#endif
    auto ticks = [&p] {
        long t = std::max(cpu_ticks(p.pid()), 0L);
        std::ifstream children("/proc/" + std::to_string(p.pid()) + "/task/" + std::to_string(p.pid()) + "/children");
        for (pid_t c; children >> c;)
            t += std::max(cpu_ticks(c), 0L);
        return t;
    };
    std::string seen;
    for (long i = 0; i < timeout(milliseconds(500)) / milliseconds(500); i++) {
        const long before = ticks();
        const Deadline end = after(milliseconds(500));
        if (read_output)
            p.read_until(kEnd, milliseconds(500));
        std::this_thread::sleep_for(milliseconds(ms_left(end)));
        const long used = ticks() - before;
        if (used <= limit)
            return;
        seen += " " + std::to_string(used);
    }
    ADD_FAILURE() << what << ": processor ticks in each half second:" << seen << " (at most " << limit << ")";
}

struct Row {
    Row(C c, std::optional<int> s = {}, std::string o = "", std::string e = "")
        : cond(c), status(s), out(std::move(o)), err(std::move(e)) {}
    C cond;
    std::optional<int> status;  // how the program ends; none: it keeps serving
    std::string out, err;       // what it prints, where the row checks it
    const char* bin = nullptr;
    void (*run)(const Row&, Hostile&) = nullptr;  // the program's function below
};

// Named program_condition, as test filters select them.
void PrintTo(const Row& r, std::ostream* os) { *os << std::strrchr(r.bin, '/') + 1 << '_' << cond_names[int(r.cond)]; }

std::string tail(const Process& p) { return p.output().substr(std::max<size_t>(p.output().size(), 300) - 300); }

const std::string connected = "Connected Client IP: 127.0.0.1";

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i % 251);
    return s;
}

// A write of one is atomic and a read of 1024 bytes takes exactly one.
std::string record(int i)
{
    std::string r = "record " + std::to_string(10000 + i).substr(1) + " ";  // "record 0007 "
    r.resize(1023, static_cast<char>('a' + i % 26));
    return r + "\n";
}

void stop(Process& p, bool group = false)
{
    group ? p.signal_group(SIGSTOP) : p.signal(SIGSTOP);
    ASSERT_TRUE(wait_state(p.pid(), 'T', timeout()));
}

void stop_and_continue(Process& p) { stop(p); p.signal(SIGCONT); }

void finish(Process& p, const Row& r, milliseconds t = timeout())
{
    if (r.status) {
        EXPECT_EQ(p.wait_exit_code(t), r.status);
    } else {
        expect_no_spin(p, "idle");
        EXPECT_TRUE(p.running()) << "it ended";
        p.read_until(kEnd, milliseconds(200), Errors);
    }
    EXPECT_EQ(p.errors(), r.err);
}

void relay(const Row& r, Hostile& h)
{
    const uint16_t port = free_tcp_port();
    Process p = h.started(start_server(r.bin, port, h.options()));
    switch (r.cond) {
    case C::SlowPeers:
    case C::VanishedPeer: {
        // One bound per broadcast, not per peer, cuts off peers that never read; a vanished one keeps a small buffer.
        const bool slow = r.cond == C::SlowPeers;
        const int stuck = slow ? 32 : 1;
        const std::string data = pattern((slow ? 4 : 12) * 1024 * 1024);
        const size_t total = data.size();
        std::vector<Fd> c = join_clients(port, stuck, join_clients(port, 2), slow ? 4096 : 0);
        ASSERT_EQ(c.size(), stuck + 2u);
        const std::pair<int, int> held{open_fd_count(p.pid()) - stuck, thread_count(p.pid()) - stuck};
        const Deadline end = after(timeout(milliseconds(60000)));
        // Ends when nothing comes for far longer than peers that do not read may hold a broadcast.
        auto read_steadily = [&](int fd) {
            std::string s;
            for (size_t had = std::string::npos; s.size() < total && s.size() != had && mono_ms() < end;) {
                had = s.size();
                read_until(fd, s, total, std::min(end, after(timeout())));
            }
            return s;
        };
        std::string got[2];
        std::thread sender([&] { write_all(c[0].get(), data); });
        std::thread own([&] { got[0] = read_steadily(c[0].get()); });
        got[1] = read_steadily(c[1].get());
        own.join();
        if (got[0] != data || got[1] != data)
            ::shutdown(c[0].get(), SHUT_RDWR);  // the sender may be blocked on a held relay
        sender.join();
        ASSERT_TRUE(got[0] == data && got[1] == data)
            << "the sender's own copy: " << got[0].size() << ", the reader's: " << got[1].size() << " of " << total;
        for (size_t i = 2; i < c.size(); i++) {
            const std::string part = read_until(c[i].get(), kEnd, after(timeout()));
            EXPECT_TRUE(part.size() < total && data.compare(0, part.size(), part) == 0)
                << "stuck peer " << i << ": " << part.size() << " bytes, not a prefix";
            EXPECT_TRUE(read_until(c[i].get(), kEnd, after(milliseconds(0)))) << "stuck peer " << i << " not cut off";
        }
        c.resize(2);
        EXPECT_EQ(settle_counts(p.pid(), held.first, held.second, after(timeout())), held) << "descriptors, threads";
        c = join_clients(port, 1, std::move(c));
        ASSERT_EQ(c.size(), 3u);
        write_all(c[2].get(), "served");
        for (auto& s : c)
            EXPECT_EQ(read_until(s.get(), 6, after(timeout())), "served");
        break;
    }
    case C::UnreadPipe: {
        const int listening = open_fd_count(p.pid());
        std::vector<Fd> clients = join_clients(port, 1);
        ASSERT_EQ(clients.size(), 1u);
        for (int i = 0; i < 400 && !wait_pipe_full(p.out(), 64, milliseconds(1)); i++) {
            clients.push_back(connect_bounded(port, after(timeout())));
            ASSERT_TRUE(clients.back()) << "client " << i << " was not accepted";
        }
        ASSERT_TRUE(wait_pipe_full(p.out(), 64, timeout())) << "the log does not fill";
        std::vector<Fd> late;  // more than the listen queue holds
        const Deadline d = after(timeout());
        for (int i = 0; i < 20; i++)
            late.push_back(connect_bounded(port, d));
        const int all = static_cast<int>(clients.size() + late.size());
        ASSERT_TRUE(std::all_of(late.begin(), late.end(), [](const Fd& c) { return bool(c); }) &&
                    poll_until([&] { return open_fd_count(p.pid()) == listening + all; }, d))
            << "newcomers are not accepted";
        write_all(clients[0].get(), "<while blocked>");
        for (auto& c : late)
            EXPECT_EQ(read_until(c.get(), 15, d), "<while blocked>") << "a newcomer was not taken in";
        write_all(late.back().get(), "<newcomer>");
        std::string got;
        EXPECT_TRUE(read_until(clients[0].get(), got, "<newcomer>", d)) << "a newcomer was not heard";
        const int churn = 1200;
        const std::pair<int, int> held{open_fd_count(p.pid()), thread_count(p.pid())};
        for (int i = 0; i < churn; i++) {
            // Heard before it leaves, so no burst overflows the listen queue.
            Fd c = connect_bounded(port, after(timeout()));
            ASSERT_TRUE(c && write_all(c.get(), "j") && read_until(c.get(), 1, after(timeout())) == "j")
                << "client " << i << " who leaves at once was not served";
        }
        EXPECT_EQ(settle_counts(p.pid(), held.first, held.second, after(timeout())), held) << "places not freed";
        expect_no_spin(p, "with the log blocked", false);
        int dropped = 0;
        EXPECT_TRUE(p.read_until([&](const auto& ls) {
            for (const auto& l : ls)
                std::sscanf(l.c_str(), "Log blocked: %d Connected Client IP lines dropped", &dropped);
            return count_lines(p.output(), connected) + dropped >= all + churn;
        }, timeout())) << "lines lost";
        EXPECT_EQ(count_lines(p.output(), connected) + dropped, all + churn) << "log lines lost or doubled";
        EXPECT_GT(dropped, 0) << "more lines than the queue holds were kept";
        EXPECT_GT(count_lines(p.output().substr(0, p.output().find("Log blocked")), connected), 1024)
            << "lines dropped while the queue of 1024 had room";
        write_all(late.back().get(), "<drained>");
        EXPECT_TRUE(read_until(clients[0].get(), got, "<drained>", after(timeout())));
        break;
    }
    case C::StopContinue: {
        std::vector<Fd> c = join_clients(port, 2, {}, 4096);
        ASSERT_EQ(c.size(), 2u);
        std::atomic<bool> sending{true}, paused{false};
        std::atomic<size_t> total{SIZE_MAX};  // known once the sender has finished
        std::atomic<size_t> sent{0};
        std::string own, got;
        std::thread sender([&] {
            for (const std::string block = pattern(251 * 256); sending && write_all(c[0].get(), block);)
                sent += block.size();
        });
        auto reader = [&](int fd, std::string& acc, bool pauses) {
            // Nothing comes through two stops in a row.
            for (Deadline idle = after(timeout(milliseconds(10000))); acc.size() < total && mono_ms() < idle;) {
                const size_t had = acc.size();
                if (pauses && paused)
                    std::this_thread::sleep_for(milliseconds(10));
                else if (read_until(fd, acc, kEnd, after(milliseconds(50))))
                    break;
                else if (acc.size() == had)
                    continue;
                idle = after(timeout(milliseconds(10000)));
            }
        };
        std::thread own_copy([&] { reader(c[0].get(), own, false); });
        std::thread paused_reader([&] { reader(c[1].get(), got, true); });
        for (int i = 0; i < 4; i++) {
            std::this_thread::sleep_for(milliseconds(200));
            paused = true;
            // Stopped once the broadcast waits on the paused reader and so holds the sender up.
            const Deadline held = after(milliseconds(1500));
            for (size_t was = SIZE_MAX; was != sent && mono_ms() < held;) {
                was = sent;
                std::this_thread::sleep_for(milliseconds(100));
            }
            // In the last pause two stops outlast the bound: the first may find the buffer making room.
            for (int k = 0; k < (i == 3 ? 2 : 1); k++) {
                stop(p);
                std::this_thread::sleep_for(milliseconds(i == 3 ? 2500 : 0));
                p.signal(SIGCONT);
                std::this_thread::sleep_for(milliseconds(100));
            }
            paused = false;
        }
        sending = false;
        sender.join();
        total = sent.load();
        own_copy.join();
        paused_reader.join();
        EXPECT_TRUE(got == pattern(sent) && own == pattern(sent))
            << "the paused reader got " << got.size() << ", the sender's copy " << own.size() << " of " << sent;
        write_all(c[0].get(), "after");
        EXPECT_EQ(read_until(c[1].get(), 5, after(timeout())), "after");
        break;
    }
    case C::FullTable:
    case C::DescriptorLimit: {
        const bool table = r.cond == C::FullTable;
        std::vector<Fd> clients = join_clients(port, table ? 256 : 0);
        Fd extra;
        while (!extra) {
            Fd c = connect_bounded(port, after(timeout()));
            ASSERT_TRUE(c && clients.size() <= 256) << "client " << clients.size() << " was not accepted";
            if (write_all(c.get(), "j") && read_until(c.get(), 1, after(timeout())) == "j")
                clients.push_back(std::move(c));
            else
                extra = std::move(c);
        }
        EXPECT_TRUE(table ? clients.size() == 256 : clients.size() >= 40) << clients.size() << " clients";
        EXPECT_TRUE(read_until(extra.get(), kEnd, after(timeout()))) << "the client turned away was not closed";
        if (table) {
            write_all(clients[255].get(), "all");
            for (auto& c : clients)
                EXPECT_EQ(read_until(c.get(), 3, after(timeout())), "all");
        }
        // A place is freed before its socket and thread go; at the limit, the spare back, every descriptor is in use.
        const std::pair<int, int> freed{table ? open_fd_count(p.pid()) - 1 : kDescriptorLimit - 1,
                                        thread_count(p.pid()) - 1};
        clients.erase(clients.begin());
        EXPECT_EQ(settle_counts(p.pid(), freed.first, freed.second, after(timeout())), freed);
        join_clients(port, 1, std::move(clients));
        break;
    }
    default: {
        // Enough lines to fill any buffer; none reaches a client through a standard descriptor.
        Fd first = connect_tcp(port, after(timeout()));
        write_all(first.get(), "first");
        std::string got;
        EXPECT_TRUE(read_until(first.get(), got, "first", after(timeout())));
        for (int done = 0; done < 200; done += 25)
            join_clients(port, 25);
        write_all(first.get(), "<end>");
        EXPECT_TRUE(read_until(first.get(), got, "<end>", after(timeout())));
        EXPECT_EQ(got.find("Connected"), std::string::npos);
    }
    }
    finish(p, r);
}

void echo(const Row& r, Hostile& h)
{
    const uint16_t port = free_tcp_port();
    Process p = start_server(r.bin, port, h.options());
    const int listening = open_fd_count(p.pid());
    const bool served = r.cond != C::ClosedStdFds && r.cond != C::DevFull;
    if (served) {
        // Read only after a pause, a block far larger than the buffers blocks the server's send.
        const std::string data = pattern(4 * 1024 * 1024);
        Fd c = connect_tcp(port, after(timeout()));
        std::thread sender([&] { while (write_all(c.get(), data) && r.cond == C::VanishedPeer) {} });
        std::this_thread::sleep_for(milliseconds(300));  // the pause is what is tested
        if (r.cond == C::StopContinue)
            stop_and_continue(p);
        if (r.cond == C::VanishedPeer) {
            expect_no_spin(p, "held by a peer that does not read");
            const Deadline d = after(timeout(milliseconds(15000)));
            EXPECT_TRUE(poll_until([&] { return open_fd_count(p.pid()) == listening; }, d)) << "the idle peer is held";
            ::shutdown(c.get(), SHUT_RDWR);
            sender.join();
        } else {
            std::string got = read_until(c.get(), data.size(), after(timeout(milliseconds(20000))));
            sender.join();
            EXPECT_TRUE(got == data) << "echoed " << got.size() << " of " << data.size() << ", the first difference at "
                                     << std::mismatch(got.begin(), got.end(), data.begin()).first - got.begin();
        }
    }
    for (int i = served ? 2 : 1; i <= 5; i++)
        expect_quiet(echoed(port, "client " + std::to_string(i)).get(), "more than was sent came back");
    finish(p, r);
}

void grabber(const Row& r, Hostile& h)
{
    const bool stopped = r.cond == C::StopContinue;
    const size_t nodes = r.cond == C::UnreadPipe ? 8192 : stopped ? 2000 : 360;
    std::vector<std::string> sim_argv{ZORLAN_SIM_BIN, "--nodes", std::to_string(nodes)};
    if (stopped)
        sim_argv.push_back("--pace");  // a grab of most of a second, to stop it in
    Process sim = Process::start(sim_argv);
    ASSERT_TRUE(sim.read_until("\n", timeout())) << sim.errors();
    const std::string port = sim.output().substr(0, sim.output().find('\n'));
    Process p = h.started(Process::start({r.bin, port}, h.options(stopped ? on_pty() : SpawnOptions{})));
    if (r.cond == C::UnreadPipe || stopped)
        write_all(p.in(), "y\n");
    if (!stopped)
        p.close_input();
    if (r.cond == C::HungUpTerminal) {
        ASSERT_TRUE(p.read_until("Do you want to see all the data? (y/n) ", timeout())) << tail(p) << p.errors();
        HANG_UP_OR_SKIP(h);
    }
    if (stopped) {
        ASSERT_TRUE(p.read_until("waiting for data...", timeout())) << p.errors();
        stop_and_continue(p);
    }
    if (r.cond == C::UnreadPipe) {
        // Buffered a page at a time: after the question no page of the listing fits.
        ASSERT_TRUE(wait_pipe_full(p.out(), 4096, timeout())) << "the output does not fill";
        expect_no_spin(p, "blocked on its output", false);
    }
    finish(p, r, timeout(milliseconds(20000)));
    size_t n = 0;
    for (size_t at = 0; (at = p.output().find(" theta: ", at)) != std::string::npos; at++)
        n++;
    EXPECT_EQ(n, stopped || r.cond == C::UnreadPipe ? nodes : 0) << "nodes listed";
}

void reaper(const Row& r, Hostile& h)
{
    // On a terminal a killed session leader would hang the child up.
    Process p = Process::start({r.bin}, h.options(r.cond == C::ParentKilled ? SpawnOptions{} : on_pty()));
    ASSERT_TRUE(p.read_until([](const auto& ls) { return split_count(ls).last >= 3; }, timeout())) << "no count";
    const pid_t child = child_of(p.pid(), timeout());
    ASSERT_GT(child, 0);
    const bool quick = std::string(r.bin) == REAPFAST_BIN;  // its child ends after one second
    using Texts = std::vector<std::string>;
    if (r.cond == C::ParentKilled) {
        // The child, 50 seconds from its own end, ends with its parent through an interrupt.
        p.signal(SIGTERM);
        EXPECT_TRUE(wait_ended(child, timeout())) << "the child outlived its parent";
        p.read_until(kEnd, timeout());
        EXPECT_EQ(split_count(lines_of(p.output())).other_texts(), Texts{"signo = 2"}) << tail(p);
        return;
    }
    // reapfast's child ends while the parent stands stopped (its SIGCHLD waits) or past an ignored group interrupt.
    r.cond == C::StopContinue ? stop(p) : p.signal_group(SIGINT);
    if (quick) {
        EXPECT_TRUE(wait_ended(child, timeout()));
    }
    if (r.cond == C::StopContinue) {
        std::this_thread::sleep_for(milliseconds(quick ? 0 : 300));
        expect_no_spin(p, "stopped");
        p.signal(SIGCONT);
    }
    const int at = split_count(lines_of(p.output())).last;
    ASSERT_TRUE(p.read_until([&](const auto& ls) { return split_count(ls).last >= at + 10; }, timeout())) << tail(p);
    CountRun run = split_count(lines_of(p.output()));
    EXPECT_TRUE(run.in_order) << tail(p);
    EXPECT_EQ(run.other_texts(), (quick ? Texts{"signo = 17", "(signal)status: 0x6"} : Texts{})) << tail(p);
    EXPECT_TRUE(p.running());
    EXPECT_EQ(proc_state(child) == 0, quick) << "the child's state: " << proc_state(child);
}

void fifo_reader(const Row& r, Hostile& h)
{
    FifoDir f;
    Process p = h.started(Process::start({r.bin}, h.options(f.options({}))));
    const pid_t child = child_of(p.pid(), timeout());
    ASSERT_GT(child, 0);
    switch (r.cond) {
    case C::ClosedStdFds:
        // Read, and never written back into the FIFO, as one on standard output would.
        f.put("read me\n");
        EXPECT_TRUE(poll_until([&] { return queued(f.writer.get()) == 0; }, after(timeout()))) << "the FIFO is unread";
        // Nor is standard input the FIFO, whose text fifokbd would take for typed lines.
        for (const pid_t pid : {p.pid(), child})
            EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/fd/0"), "/dev/null");
        break;
    case C::UnreadPipe: {
        // fifokbd's one reader keeps the records' order.
        std::vector<std::string> want;
        for (int i = 0; i < 20; i++) {
            f.put(record(i));
            want.push_back("Pipe: " + record(i).substr(0, 1023));
        }
        ASSERT_TRUE(wait_pipe_full(p.out(), 1100, timeout())) << "the output does not fill";
        expect_no_spin(p, "blocked on its output", false);
        ASSERT_TRUE(p.read_until([](const auto& ls) { return ls.size() >= 40; }, timeout())) << p.output().size();
        std::vector<std::string> got = lines_of(p.output());
        got.erase(std::remove(got.begin(), got.end(), ""), got.end());
        if (std::string(r.bin) != FIFOKBD_BIN)  // want is in order already
            std::sort(got.begin(), got.end());
        EXPECT_TRUE(got == want) << got.size() << " lines";
        break;
    }
    case C::StopContinue:
        stop(p, true);
        ASSERT_TRUE(wait_state(child, 'T', timeout()));
        f.put("while stopped\n");
        expect_no_spin(p, "stopped");
        EXPECT_GT(queued(f.writer.get()), 0) << "read while stopped";
        p.signal_group(SIGCONT);
        EXPECT_TRUE(p.read_until("Pipe: while stopped\n\n", timeout())) << tail(p);
        break;
    case C::DevFull:
    case C::BlockedSignals:
    case C::ParentKilled:
        if (r.cond == C::DevFull)
            f.put("read me\n");
        else
            ::kill(r.cond == C::ParentKilled ? p.pid() : child, SIGKILL);
        break;
    case C::HungUpTerminal:
        write_all(h.tty.master.get(), "typed\n");
        ASSERT_TRUE(p.read_until("Keyboard : typed\n\n", timeout())) << tail(p);
        HANG_UP_OR_SKIP(h);
        [[fallthrough]];
    default:
        // Input that has ended is left after one empty line; the FIFO is still served.
        if (r.cond == C::InputEof) {
            write_all(p.in(), "typed\n");
            p.close_input();
        }
        EXPECT_TRUE(p.read_until(r.out, timeout())) << tail(p);
        expect_no_spin(p, "after the end of its input");
        f.put("still\n");
        EXPECT_TRUE(p.read_until("Pipe: still\n\n", timeout())) << tail(p);
        EXPECT_TRUE(p.output() == r.out + "Pipe: still\n\n") << tail(p);
    }
    finish(p, r);
    if (r.status) {  // either process ends the other with it, so that nothing more is read and dropped
        EXPECT_TRUE(wait_ended(child, timeout())) << "the child outlived its parent";
        f.put("for the next reader\n");
        EXPECT_FALSE(p.read_until("Pipe:", milliseconds(300))) << tail(p);
    }
    EXPECT_EQ(queued(f.writer.get()), r.status ? 20 : 0) << "written back into the FIFO";
}

void coin(const Row& r, Hostile& h)
{
    Process p = h.started(Process::start({r.bin}, h.options()));
    std::string want = r.out;
    switch (r.cond) {
    case C::UnreadPipe:
        // Blocked on its output it waits, alarm and all.
        for (int i = 0; i < 20; i++) {
            write_all(p.in(), record(i));
            want += "Insert " + record(i).substr(0, 1023) + "\nAfter\n";
        }
        ASSERT_TRUE(wait_pipe_full(p.out(), 1100, timeout())) << "the output does not fill";
        expect_no_spin(p, "blocked on its output", false);
        EXPECT_TRUE(p.read_until(want, timeout()));
        break;
    case C::HungUpTerminal:
        write_all(h.tty.master.get(), "typed\n");
        ASSERT_TRUE(p.read_until("Insert typed\nAfter\n", timeout())) << tail(p);
        HANG_UP_OR_SKIP(h);
        break;
    case C::InputEof:
        write_all(p.in(), std::string(1030, 'x'));
        ASSERT_TRUE(p.read_until("Insert xxxxx\nAfter\n", timeout())) << tail(p);
        p.close_input();
        break;
    case C::StopContinue:
        write_all(p.in(), "one\n");
        ASSERT_TRUE(p.read_until("Insert one\nAfter\n", timeout()));
        stop(p);
        write_all(p.in(), "two\n");
        p.signal(SIGCONT);
        EXPECT_TRUE(p.read_until(want, timeout())) << tail(p);
        break;
    default:  // ended by an error of its input or output, or by its alarm though the launcher blocked it
        p.close_input();
    }
    expect_no_spin(p, "after the end of its input");
    finish(p, r, timeout(milliseconds(20000)));
    EXPECT_TRUE(p.output() == want) << tail(p);
}

void spawn(const Row& r, Hostile& h)
{
    TempDir dir;
    SpawnOptions o;
    o.cwd = dir.path();
    Process p = Process::start({r.bin}, h.options(o));
    EXPECT_EQ(p.wait_exit_code(timeout()), r.status);
    p.read_until(kEnd, timeout());  // ls may end after it, reporting its own write error
    EXPECT_EQ(count_lines(p.errors(), r.err), 1) << p.errors();
}

std::vector<Row> rows()
{
    std::vector<Row> all;
    auto add = [&](void (*run)(const Row&, Hostile&), const char* bin, std::vector<Row> rs) {
        for (Row& r : rs)
            all.push_back((r.bin = bin, r.run = run, r));
    };
    const std::string full = "write error: No space left on device", badf = "write error: Bad file descriptor";
    const std::string reminder = "You must insert coin\n", typed_then_end = "Keyboard : typed\n\nKeyboard : \n";
    add(relay, TALKHUB_BIN, {C::ClosedStdFds, C::DevFull, C::UnreadPipe, C::GoneReader, C::StopContinue, C::SlowPeers,
                             C::VanishedPeer, C::FullTable, C::DescriptorLimit});
    add(echo, PARROT_BIN, {{C::ClosedStdFds, 0}, {C::DevFull, 0}, {C::StopContinue, 0}, {C::SlowPeers, 0},
                           {C::VanishedPeer, 0}});
    add(grabber, SCANGRAB_BIN, {{C::ClosedStdFds, 0}, {C::DevFull, 1, "", full + "\n"}, {C::UnreadPipe, 0},
                                {C::HungUpTerminal, 0}, {C::InputEof, 0}, {C::InputDirectory, 0},
                                {C::StopContinue, 0}});
    for (const char* bin : {REAPALL_BIN, REAPFAST_BIN, REAPBLOCK_BIN, CHILDNOTE_BIN})
        add(reaper, bin, {C::StopContinue});
    add(reaper, REAPALL_BIN, {C::ParentKilled, C::BlockedSignals});
    add(reaper, REAPFAST_BIN, {C::BlockedSignals});
    add(fifo_reader, FIFOTAP_BIN, {C::ClosedStdFds, {C::DevFull, 1, "", full + "\n"}, C::UnreadPipe, C::StopContinue,
                                   {C::ParentKilled, -1}, {C::BlockedSignals, 1}});
    add(fifo_reader, FIFOKBD_BIN,
        {C::ClosedStdFds, {C::DevFull, 1, "", full + "\n"}, C::UnreadPipe, {C::HungUpTerminal, {}, typed_then_end},
         {C::InputEof, {}, typed_then_end}, {C::InputDirectory, {}, "", "read(): Is a directory\n"}, C::StopContinue,
         {C::ParentKilled, -1}, {C::BlockedSignals, 1}});
    add(coin, COINALARM_BIN,
        {{C::ClosedStdFds, 1, "", "read error: Bad file descriptor\n" + badf + "\n"}, {C::DevFull, 1, "", full + "\n"},
         C::UnreadPipe, {C::HungUpTerminal, 0, "Insert typed\nAfter\nAfter\n" + reminder},
         {C::InputEof, 0, "Insert " + std::string(1023, 'x') + "\nAfter\nInsert xxxxx\nAfter\nAfter\n" + reminder},
         {C::InputDirectory, 1, "After\n" + reminder, "read error: Is a directory\n"},
         {C::StopContinue, {}, "Insert one\nAfter\nInsert two\nAfter\n"}, {C::BlockedSignals, 0, "After\n" + reminder}});
    add(spawn, SPAWNLS_BIN, {{C::ClosedStdFds, 1, "", badf}, {C::DevFull, 1, "", full}});
    return all;
}

}  // namespace

class HostileMatrix : public ::testing::TestWithParam<Row> {};

TEST_P(HostileMatrix, Row) { Hostile h(GetParam().cond); GetParam().run(GetParam(), h); }

INSTANTIATE_TEST_SUITE_P(Matrix, HostileMatrix, ::testing::ValuesIn(rows()), ::testing::PrintToStringParamName());
