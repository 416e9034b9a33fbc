// The support library of the tests: processes.h, sockets.h, terminals.h and faults.h, in that order.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "faults.h"
#include "sockets.h"
#include "terminals.h"

#ifndef TESTSUPPORT_EMULATOR
#define TESTSUPPORT_EMULATOR ""
#endif
#ifndef TESTSUPPORT_TIMEOUT_SCALE
#define TESTSUPPORT_TIMEOUT_SCALE 1
#endif
#ifndef TESTSUPPORT_PTEST_DIR
#define TESTSUPPORT_PTEST_DIR "/usr/lib/board-toolset/ptest"
#endif

namespace testsupport {

// A write to a dead program then fails with EPIPE for the test to report, instead of ending the test binary.
static const bool sigpipe_ignored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;

namespace {

// Appends what a non-blocking fd holds now; sets eof at its end or on an error (EIO: a pty's slave is gone).
void read_available(int fd, std::string& acc, bool& eof)
{
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof(buf))) != 0;) {
        if (n > 0)
            acc.append(buf, static_cast<size_t>(n));
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        else if (errno != EINTR)
            break;
    }
    eof = true;
}

// Blank- or semicolon-separated words (a CMake list), those of `otherwise` when list is null.
std::vector<std::string> split_list(const char* list, const char* otherwise = "")
{
    std::string s = list ? list : otherwise;
    std::replace(s.begin(), s.end(), ';', ' ');
    std::istringstream in(s);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

void open_pipe(Fd& read_end, Fd& write_end)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        std::abort();
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
}

// A checker that prefixes the programs on the host, such as "valgrind -q --error-exitcode=99".
const std::vector<std::string>& wrapper_prefix()
{
    static const std::vector<std::string> prefix = split_list(std::getenv("TOOLSET_TEST_WRAPPER"));
    return prefix;
}

// The root above the installed tests' folder, or else the build tree's top (the nearest CMakeCache.txt above).
struct Place { bool installed; std::string root; };

const Place& place()
{
    static const Place p = [] {
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
        const std::string path = exe.string(), dir = TESTSUPPORT_PTEST_DIR "/tests/";
        const size_t at = path.rfind(dir);
        if (!ec && at != std::string::npos && path.find('/', at + dir.size()) == std::string::npos)
            return Place{true, path.substr(0, at)};
        for (fs::path d = exe.parent_path(); !ec && d.has_relative_path(); d = d.parent_path())
            if (fs::exists(d / "CMakeCache.txt", ec))
                return Place{false, d.string() + "/"};
        return Place{false, ""};
    }();
    return p;
}

// The fields of /proc/<pid>/stat from the state on (the name before may hold blanks and parentheses).
std::vector<std::string> stat_fields(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    if (!std::getline(f, all) || all.rfind(')') == std::string::npos)
        return {};
    std::istringstream rest(all.substr(all.rfind(')') + 1));
    return {std::istream_iterator<std::string>(rest), std::istream_iterator<std::string>()};
}

int count_entries(const std::string& dir)
{
    std::error_code ec;
    int n = 0;
    for (std::filesystem::directory_iterator i(dir, ec), end; !ec && i != end; i.increment(ec))
        n++;
    return ec ? -1 : n;
}

// The first row of /proc/net/tcp whose ports are these (the remote one 0 for a listening socket).
TcpEnd tcp_row(unsigned local, unsigned remote)
{
    std::ifstream f("/proc/net/tcp");
    for (std::string line; std::getline(f, line);) {
        unsigned lport = 0, rport = 0, st = 0, tr = 0;
        unsigned long when = 0;
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%x %x %*x:%*x %x:%lx", &lport, &rport, &st, &tr, &when) == 5 &&
            lport == local && rport == remote)
            return {static_cast<int>(st), static_cast<int>(tr), static_cast<long>(when)};
    }
    return {};
}

bool poll_one(int fd, short events, Deadline d)
{
    pollfd p{fd, events, 0};
    int r;
    while ((r = ::poll(&p, 1, ms_left(d))) < 0 && errno == EINTR) {
    }
    return r > 0;
}

}  // namespace

milliseconds timeout(milliseconds host)
{
    if (!wrapper_prefix().empty())
        return host * 10;
    static const long scale = [] {
        const char* s = std::getenv("TOOLSET_TEST_TIMEOUT_SCALE");
        const long n = s ? std::strtol(s, nullptr, 10) : 0;
        return n > 0 && n <= 100 ? n : TESTSUPPORT_TIMEOUT_SCALE;
    }();
    return under_emulator() ? host * 4 : host * scale;
}

const char* program(const char* built, const char* installed)
{
    // The texts live as long as the binary, like the literals they stand for.
    static std::mutex m;
    static std::map<std::string, std::string> paths;
    const Place& p = place();
    std::lock_guard<std::mutex> lock(m);
    return paths.emplace(built, p.root + (p.installed ? installed : built)).first->second.c_str();
}

const std::vector<std::string>& emulator_prefix()
{
    // TOOLSET_TEST_EMULATOR: a board build runs some tests on the build machine, under user-mode qemu.
    static const std::vector<std::string> prefix =
        split_list(std::getenv("TOOLSET_TEST_EMULATOR"), TESTSUPPORT_EMULATOR);
    return prefix;
}

bool under_emulator() { return !emulator_prefix().empty(); }

int ms_left(Deadline d)
{
    const Deadline now = mono_ms();
    return d > now ? static_cast<int>(std::min<Deadline>(d - now, 1000000)) : 0;
}

bool poll_until(const std::function<bool()>& done, Deadline d, milliseconds step)
{
    for (; !done(); std::this_thread::sleep_for(step))
        if (mono_ms() >= d)
            return false;
    return true;
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/toolset-test-XXXXXX";
    path_ = ::mkdtemp(tmpl) ? tmpl : "";
    EXPECT_FALSE(path_.empty()) << "mkdtemp failed";
}

TempDir::~TempDir()
{
    if (std::error_code ec; !path_.empty())
        std::filesystem::remove_all(path_, ec);
}

bool Until::met(const std::string& acc, bool ended, size_t from) const
{
    if (lines)
        return lines(lines_of(acc));
    return text.empty() ? acc.size() >= bytes || ended : acc.find(text, from) != std::string::npos;
}

Process Process::start(const std::vector<std::string>& argv, const SpawnOptions& opts)
{
    std::vector<std::string> full = opts.host_program ? std::vector<std::string>()
                                    : under_emulator() ? emulator_prefix() : wrapper_prefix();
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args(full.size() + 1);  // ends in a null pointer
    std::transform(full.begin(), full.end(), args.begin(), [](std::string& a) { return a.data(); });

    Process p;
    Fd tty, child_in, child_out, child_err;
    if (opts.pty) {
        Pty pty = open_pty(false);
        termios t{};
        // No echo: the output holds only what the program writes.
        if (tcgetattr(pty.slave.get(), &t) == 0) {
            t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(pty.slave.get(), TCSANOW, &t);
        }
        tty = std::move(pty.slave);
        p.out_.reset(::fcntl(pty.master.get(), F_DUPFD_CLOEXEC, 0));
        p.in_ = std::move(pty.master);
    } else {
        open_pipe(child_in, p.in_);
        open_pipe(p.out_, child_out);
    }
    open_pipe(p.err_, child_err);
    // A file that cannot be opened leaves the pipe or terminal in its place.
    if (Fd f(::open(opts.stdin_file.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)); f)
        child_in = std::move(f);
    if (Fd f(::open(opts.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)); f)
        child_out = std::move(f);

    p.pid_ = ::fork();
    if (p.pid_ < 0)
        std::abort();
    if (p.pid_ == 0) {
        if (!opts.pty)
            ::setpgid(0, 0);
        else if (::setsid() > 0)
            ::ioctl(tty.get(), TIOCSCTTY, 0);
        const int to[] = {opts.close_stdin ? -1 : child_in ? child_in.get() : tty.get(),
                          opts.close_stdout ? -1 : child_out ? child_out.get() : tty.get(), child_err.get()};
        for (int fd = 0; fd < 1024; fd++)
            fd < 3 && to[fd] >= 0 ? ::dup2(to[fd], fd) : ::close(fd);
        for (int s = 1; s < NSIG; s++)
            ::signal(s, std::count(opts.ignored.begin(), opts.ignored.end(), s) ? SIG_IGN : SIG_DFL);
        sigset_t mask;
        sigemptyset(&mask);
        for (int s : opts.blocked)
            sigaddset(&mask, s);
        ::sigprocmask(SIG_SETMASK, &mask, nullptr);
        if (!opts.cwd.empty() && ::chdir(opts.cwd.c_str()) != 0)
            ::_exit(126);
        for (const auto& e : opts.env)  // putenv: this copy of opts lives until the exec
            e.find('=') == std::string::npos ? ::unsetenv(e.c_str()) : ::putenv(const_cast<char*>(e.c_str()));
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    if (!opts.pty)
        ::setpgid(p.pid_, p.pid_);  // here too, so no signal can race the child's own call
    for (int fd : {p.out_.get(), p.err_.get()})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return p;
}

Process::~Process()
{
    if (pid_ <= 0 || !err_)  // moved from: the streams went with the process
        return;
    ::kill(-pid_, SIGKILL);
    if (!reaped_) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void Process::pump(Deadline d)
{
    // poll() passes over a negative descriptor (a stream ended or closed); with both so, it waits 10 ms at most.
    pollfd p[2] = {{out_eof_ ? -1 : out_.get(), POLLIN, 0}, {err_eof_ ? -1 : err_.get(), POLLIN, 0}};
    if (::poll(p, 2, p[0].fd < 0 && p[1].fd < 0 ? std::min(10, ms_left(d)) : ms_left(d)) <= 0)
        return;
    if (p[0].revents)
        read_available(out_.get(), out_text_, out_eof_);
    if (p[1].revents)
        read_available(err_.get(), err_text_, err_eof_);
}

bool Process::reap()
{
    reaped_ = reaped_ || ::waitpid(pid_, &status_, WNOHANG) == pid_;
    return reaped_;
}

bool Process::read_until(const Until& u, milliseconds t, Stream s)
{
    const std::string& text = s == Errors ? err_text_ : out_text_;
    const bool& eof = s == Errors ? err_eof_ : out_eof_;
    const Deadline d = after(t);
    while (!u.met(text, eof)) {
        if (eof || mono_ms() >= d)
            return false;
        // Lines are looked at every 50 ms, not after each read of a busy output.
        const Deadline step = u.lines ? std::min(d, after(milliseconds(50))) : d;
        do
            pump(step);
        while (u.lines && !eof && mono_ms() < step);
    }
    return true;
}

std::optional<int> Process::wait(milliseconds t)
{
    const Deadline d = after(t);
    for (; !reap(); pump(std::min(d, after(milliseconds(10)))))
        if (mono_ms() >= d)
            return std::nullopt;
    // A pty passes the last output on a little after the writer has gone; a descendant may still hold the streams.
    const Deadline tail = after(milliseconds(200));
    while (((out_ && !out_eof_) || (err_ && !err_eof_)) && mono_ms() < tail)
        pump(tail);
    return status_;
}

std::optional<int> Process::wait_exit_code(milliseconds t)
{
    const std::optional<int> st = wait(t);
    return st ? std::optional<int>(WIFEXITED(*st) ? WEXITSTATUS(*st) : -1) : std::nullopt;
}

int open_fd_count(pid_t pid) { return count_entries("/proc/" + (pid ? std::to_string(pid) : "self") + "/fd"); }
int thread_count(pid_t pid) { return count_entries("/proc/" + std::to_string(pid) + "/task"); }

std::pair<int, int> settle_counts(pid_t pid, int fds, int threads, Deadline d)
{
    std::pair<int, int> now;
    poll_until([&] { return (now = {open_fd_count(pid), thread_count(pid)}) == std::make_pair(fds, threads); }, d,
               milliseconds(20));
    return now;
}

int count_lines(const std::string& text, const std::string& line)
{
    int n = 0;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        n += l == line;
    return n;
}

std::string strip_cr(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    const std::string t = strip_cr(text);
    for (size_t start = 0, nl; (nl = t.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(t.substr(start, nl - start));
    return out;
}

pid_t child_of(pid_t pid, milliseconds t)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    long child = -1;
    return poll_until([&] { return static_cast<bool>(std::ifstream(path) >> child); }, after(t)) ? child : -1;
}

char proc_state(pid_t pid)
{
    const std::vector<std::string> f = stat_fields(pid);
    return f.empty() ? 0 : f[0][0];
}

long cpu_ticks(pid_t pid)
{
    // utime and stime, fields 14 and 15 of the line (the state is field 3).
    const std::vector<std::string> f = stat_fields(pid);
    return f.size() > 12 ? std::stol(f[11]) + std::stol(f[12]) : -1;
}

bool wait_state(pid_t pid, char state, milliseconds t)
{
    return poll_until([&] { return proc_state(pid) == state; }, after(t), milliseconds(5));
}

bool wait_ended(pid_t pid, milliseconds t)
{
    return poll_until([&] { return proc_state(pid) == 0 || proc_state(pid) == 'Z'; }, after(t), milliseconds(5));
}

std::vector<std::string> CountRun::other_texts() const
{
    std::vector<std::string> out;
    std::transform(others.begin(), others.end(), std::back_inserter(out), [](const auto& o) { return o.second; });
    return out;
}

CountRun split_count(const std::vector<std::string>& lines)
{
    CountRun run;
    for (const auto& l : lines) {
        if (l.empty() || l.size() >= 10 || l.find_first_not_of("0123456789") != std::string::npos) {
            run.others.emplace_back(run.last, l);
            continue;
        }
        run.in_order = run.in_order && std::stoi(l) == run.last + 1;
        run.last = std::stoi(l);
    }
    return run;
}

FifoDir::FifoDir()
{
    EXPECT_EQ(::mkfifo(dir.file("myfifo").c_str(), 0600), 0);
    writer.reset(::open(dir.file("myfifo").c_str(), O_RDWR | O_CLOEXEC));
    EXPECT_TRUE(writer);
}

void FifoDir::put(const std::string& data) { ASSERT_TRUE(write_all(writer.get(), data)); }

void expect_exit(Process& p, int code, const std::string& out, const std::string& err)
{
    EXPECT_EQ(p.wait_exit_code(timeout()), code);
    EXPECT_EQ(p.output(), out);
    EXPECT_EQ(p.errors(), err);
}

std::string run_tool(const std::vector<std::string>& argv, milliseconds t)
{
    SpawnOptions o;
    o.host_program = true;
    o.env = {"LC_ALL=C"};
    Process p = Process::start(argv, o);
    EXPECT_EQ(p.wait_exit_code(t), 0) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << ": " << p.errors();
    return p.output();
}

bool write_all(int fd, const void* data, size_t len)
{
    for (const char* p = static_cast<const char*>(data); len > 0;) {
        const ssize_t n = ::write(fd, p, len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            poll_one(fd, POLLOUT, after(milliseconds(1000)));
        else if (n <= 0)
            return false;
        else
            p += n, len -= static_cast<size_t>(n);
    }
    return true;
}

bool read_until(int fd, std::string& acc, const Until& u, Deadline d)
{
    char buf[4096];
    bool ended = false;
    // Only the new bytes (and a text's length before them) are searched: a long reader keeps up with its peer.
    for (size_t from = 0; !u.met(acc, ended, from);) {
        if (ended || !poll_one(fd, POLLIN, d))
            return false;
        from = acc.size() >= u.text.size() ? acc.size() - u.text.size() + 1 : 0;
        const size_t want = u.text.empty() && !u.lines ? std::min(sizeof(buf), u.bytes - acc.size()) : sizeof(buf);
        const ssize_t r = ::read(fd, buf, want);
        if (r > 0)
            acc.append(buf, static_cast<size_t>(r));
        else if (r == 0 || errno == ECONNRESET || errno == EIO)
            ended = true;
        else if (errno != EINTR && errno != EAGAIN)
            return false;
    }
    return true;
}

Got read_until(int fd, const Until& u, Deadline d)
{
    Got g;
    g.met = read_until(fd, g, u, d);
    return g;
}

void PrintTo(const Got& g, std::ostream* os) { *os << ::testing::PrintToString(static_cast<const std::string&>(g)); }

int queued(int fd)
{
    int n = -1;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool wait_listening(uint16_t port, Deadline d)
{
    return poll_until([&] { return tcp_row(port, 0).state == 0x0A; }, d);
}

Fd connect_tcp(uint16_t port, Deadline d)
{
    Fd s;
    poll_until([&] { return static_cast<bool>(s = connect_bounded(port, d)); }, d);
    return s;
}

Process start_server(const std::string& bin, uint16_t port, const SpawnOptions& o, const std::string& arg)
{
    Process p = Process::start({bin, arg.empty() ? std::to_string(port) : arg}, o);
    EXPECT_TRUE(wait_listening(port, after(timeout()))) << bin << " " << arg << " does not listen on " << port;
    return p;
}

Fd connect_bounded(uint16_t port, Deadline d, int rcvbuf)
{
    Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    if (rcvbuf > 0)
        ::setsockopt(c.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(c.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 && errno != EINPROGRESS)
        return Fd();
    int err = -1;
    socklen_t len = sizeof(err);
    if (!poll_one(c.get(), POLLOUT, d) || ::getsockopt(c.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
        return Fd();
    ::fcntl(c.get(), F_SETFL, 0);
    return c;
}

TcpEnd server_end(uint16_t server_port, int client)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(client, reinterpret_cast<sockaddr*>(&a), &len);
    return tcp_row(server_port, ntohs(a.sin_port));
}

void set_reset_on_close(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

void echo_once(int fd, const std::string& data)
{
    ASSERT_TRUE(write_all(fd, data));
    EXPECT_EQ(read_until(fd, data.size(), after(timeout())), data);
}

Fd echoed(uint16_t port, const std::string& text)
{
    Fd c = connect_tcp(port, after(timeout()));
    EXPECT_TRUE(c) << "no connection for " << text;
    echo_once(c.get(), text);
    return c;
}

void expect_quiet(int fd, const std::string& what) { EXPECT_FALSE(read_until(fd, 1, after(milliseconds(200)))) << what; }

std::vector<Fd> join_clients(uint16_t port, size_t n, std::vector<Fd> clients, int rcvbuf)
{
    for (size_t i = 0; i < n; i++) {
        Fd c = connect_bounded(port, after(timeout()), rcvbuf);
        if (!c || !write_all(c.get(), "j", 1) || read_until(c.get(), 1, after(timeout())) != "j") {
            // A relay that does not serve one client serves no more: do not wait out the deadline for each.
            ADD_FAILURE() << "client " << clients.size() << " was not served";
            return clients;
        }
        clients.push_back(std::move(c));
    }
    if (clients.empty())
        return clients;
    // Numbered, so that no reader stops at an earlier join's marker (with n = 0 those are still unread).
    static int joins = 0;
    const std::string marker = "<joined " + std::to_string(++joins) + ">";
    write_all(clients.back().get(), marker);
    for (auto& c : clients) {
        std::string got;
        EXPECT_TRUE(read_until(c.get(), got, marker, after(timeout())));
        EXPECT_EQ(got.size() - got.find(marker), marker.size()) << "bytes after the marker";
    }
    return clients;
}

void expect_server_command_line(const std::string& bin, const std::string& usage,
                                const std::function<std::vector<Fd>(uint16_t port)>& serve)
{
    Process none = Process::start({bin}), two = Process::start({bin, "1", "2"});
    expect_exit(none, 255, usage, "");
    expect_exit(two, 255, usage, "");

    const uint16_t held = free_tcp_port();
    Process trailing = start_server(bin, held, {}, std::to_string(held) + "x");
    const uint16_t cut = free_tcp_port();
    Process wrapped = start_server(bin, cut, {}, std::to_string(65536 + cut));
    Process second = Process::start({bin, std::to_string(held)});
    expect_exit(second, 1, "", "bind() error\n");

    const uint16_t port = free_tcp_port();
    Process first = start_server(bin, port);
    std::vector<Fd> clients = serve(port);
    first.signal(SIGKILL);
    ASSERT_TRUE(first.wait(timeout()));
    // The server's side closed first: its ends of these connections wait out TIME-WAIT on the port.
    for (auto& c : clients)
        EXPECT_TRUE(read_until(c.get(), kEnd, after(timeout())));
    clients.clear();
    Process again = start_server(bin, port);
    serve(port);

    for (Process* p : {&trailing, &wrapped, &again}) {
        EXPECT_TRUE(p->running()) << bin << " ended";
        p->read_until("\n", milliseconds(1), Errors);
        EXPECT_EQ(p->errors(), "");
    }
}

bool make_raw(int fd)
{
    termios t{};
    return tcgetattr(fd, &t) == 0 && (cfmakeraw(&t), tcsetattr(fd, TCSANOW, &t) == 0);
}

std::string terminal_settings(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return std::string("unreadable: ") + std::strerror(errno);
    int exclusive = -1;  // stays so where unreadable, as under the emulator
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    std::ostringstream s;
    s << std::oct << "iflag=" << t.c_iflag << " oflag=" << t.c_oflag << " cflag=" << t.c_cflag << " lflag=" << t.c_lflag
      << std::dec << " ispeed=" << cfgetispeed(&t) << " ospeed=" << cfgetospeed(&t) << " exclusive=" << exclusive
      << " cc=";
    for (cc_t c : t.c_cc)
        s << static_cast<int>(c) << ',';
    return s.str();
}

Pty open_pty(bool raw)
{
    Pty p;
    p.master.reset(::posix_openpt(O_RDWR | O_NOCTTY));
    char name[128];
    if (!p.master || ::grantpt(p.master.get()) != 0 || ::unlockpt(p.master.get()) != 0 ||
        ::ptsname_r(p.master.get(), name, sizeof(name)) != 0)
        return Pty();
    p.slave_path = name;
    p.slave.reset(::open(name, O_RDWR | O_NOCTTY));
    return !p.slave || (raw && !make_raw(p.slave.get())) ? Pty() : std::move(p);
}

SpawnOptions Injection::options(SpawnOptions o) const
{
    const std::string preload = std::string("LD_PRELOAD=") + FAULTSHIM_BIN;
    // FAULT_SHORT=-1, like no FAULT_SHORT, makes a write or send fail.
    o.env.insert(o.env.end(), {under_emulator() ? "QEMU_SET_ENV=" + preload : preload,
                               "FAULT_CALL=" + fault_.call, "FAULT_NTH=" + std::to_string(fault_.nth),
                               "FAULT_COUNT=" + (fault_.count == 0 ? std::string("all") : std::to_string(fault_.count)),
                               "FAULT_ERRNO=" + fault_.error, "FAULT_SHORT=" + std::to_string(fault_.short_len),
                               "FAULT_LOG=" + dir_.file("log")});
    // The preloaded library comes before a sanitizer's runtime (and passes every call on to it).
    const char* asan = std::getenv("ASAN_OPTIONS");
    o.env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                    "verify_asan_link_order=0");
    return o;
}

int Injection::hits() const
{
    std::ifstream log(dir_.file("log"));  // a line for each strike of the one call
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(log), {}, '\n'));
}

bool Injection::wait_hits(int n, milliseconds t) const { return poll_until([&] { return hits() >= n; }, after(t)); }

}  // namespace testsupport
