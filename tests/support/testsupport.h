// Test support for black-box tests of the toolset's programs and libraries:
// start a program (through the emulator in the cross build), talk to it over
// pipes, a pseudo-terminal or TCP, read with deadlines, and stop it by its
// own process group. Everything here is bounded in time. Also the helpers of
// the process tools' tests and of fault injection (faultshim.c).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;
using std::chrono::milliseconds;

// The usual bound for one step of a test. Emulated runs, and runs under a
// checker named by TOOLSET_TEST_WRAPPER, are slower, so the bound is scaled
// there; it is a limit, never a pause.
milliseconds timeout(milliseconds host = milliseconds(5000));
inline Deadline after(milliseconds ms) { return Clock::now() + ms; }
inline std::int64_t ms_since(Clock::time_point t0)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
}

// True when the program under test runs under user-mode emulation.
bool under_emulator();

// The path of a program or library that a test uses (the P_BIN macros):
// `built` is its place in the build tree, relative to the tree's top, and
// `installed` its installed path. When this test binary runs from the
// installed tests (/usr/lib/board-toolset/ptest/tests/ under some root,
// normally /), the installed one under that root; otherwise the build
// tree's, under the top found above the binary. Deciding by the binary's own
// place lets the very binaries the build tested be packaged, and an unpacked
// copy of the packages be tested in a scratch root; with no build folder in
// them, two builds in different folders give the same bytes.
const char* program(const char* built, const char* installed);

// The emulator command that must prefix a target program, empty on the host.
const std::vector<std::string>& emulator_prefix();

// Calls done() until it holds or the deadline passes, `step` apart: for state
// that offers nothing to block on (/proc, a file). True when done() held.
bool poll_until(const std::function<bool()>& done, Deadline d, milliseconds step = milliseconds(10));

// Owns one descriptor; closes it on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}  // move-only
    Fd& operator=(Fd&& o) noexcept { reset(o.release()); return *this; }  // safe for itself too
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// ---- descriptors with deadlines ----

// Writes all bytes (blocking descriptor); false on error.
bool write_all(int fd, const void* data, size_t len);
bool write_all(int fd, const std::string& s);

// Reads exactly n bytes or until the deadline, end of stream or an error;
// returns what arrived.
std::string read_exact(int fd, size_t n, Deadline d);

// Reads what arrives until the deadline or end of stream.
std::string read_until_eof(int fd, Deadline d);

// Reads until `needle` has been seen in `acc` (which keeps everything read),
// end of stream or the deadline. True when the needle was found.
bool read_until(int fd, std::string& acc, const std::string& needle, Deadline d);

// True when the peer has closed: a read returns 0 (or fails with a reset)
// before the deadline. Data that arrives first is discarded.
bool wait_eof(int fd, Deadline d);

// True when fd becomes readable before the deadline.
bool wait_readable(int fd, Deadline d);

// ---- TCP on loopback ----

// A port that was free a moment ago.
uint16_t free_tcp_port();
// Waits until some socket listens on port (IPv4, any address); does not
// connect, so it consumes no client slot of a server.
bool wait_listening(uint16_t port, Deadline d);
// Connects to 127.0.0.1:port; invalid Fd on failure.
Fd connect_tcp(uint16_t port, Deadline d);
// Makes the next close of fd send a reset instead of a normal end.
void set_reset_on_close(int fd);

// ---- pseudo-terminals ----

struct Pty {
    Fd master;
    Fd slave;
    std::string slave_path;
};
// Opens a pseudo-terminal pair. With raw set, both ends pass bytes unchanged.
Pty open_pty(bool raw);
// Puts a terminal descriptor into raw mode with the plain termios calls.
bool make_raw(int fd);
// Hangs up the terminal of fd (TIOCVHANGUP, as when carrier drops): every
// descriptor of it then reads end of file and fails other requests. Empty on
// success, else why it could not (the request needs CAP_SYS_TTY_CONFIG, and
// an emulator may not pass it on), for a skip message.
std::string hang_up(int fd);

// ---- processes ----

struct SpawnOptions {
    // Standard input and output of the child on a new pseudo-terminal, which
    // becomes its controlling terminal (the child leads a new session);
    // otherwise on pipes. Standard error is always a pipe of its own.
    bool pty = false;
    // Start the program directly, not through the emulator or the checker
    // (host programs).
    bool host_program = false;
    // Working directory of the child; empty keeps the current one.
    std::string cwd;
    // Variables set (NAME=value) or, without '=', removed in the child.
    std::vector<std::string> env;
    // File opened as the child's standard input instead of a pipe or pty;
    // a terminal's path makes it the child's input, not its controlling
    // terminal.
    std::string stdin_file;
    // File that takes the child's standard output instead of a pipe or pty,
    // such as /dev/null for a long run whose output nobody reads.
    std::string stdout_file;
    // Standard input or output left closed in the child, as `<&-` and `>&-`
    // leave them.
    bool close_stdin = false;
    bool close_stdout = false;
};

// The usual options for a program that should see a terminal.
inline SpawnOptions on_pty()
{
    SpawnOptions o;
    o.pty = true;
    return o;
}

class Process {
public:
    static Process start(const std::vector<std::string>& argv, const SpawnOptions& opts = {});

    Process(Process&&) noexcept;  // move-constructible only
    ~Process();  // kills the whole process group and reaps the child

    pid_t pid() const { return pid_; }
    // The descriptor to write the child's input to (pipe or pty master).
    int in() const { return in_.get(); }
    // The descriptor to read the child's output from (pipe or pty master).
    int out() const { return out_.get(); }
    int err() const { return err_.get(); }
    void close_input();
    // Closes the reading end of the child's standard output.
    void close_output();

    // Output gathered so far by the read calls below.
    const std::string& output() const { return out_text_; }
    const std::string& errors() const { return err_text_; }

    // Reads output until it holds needle or the deadline passes.
    bool wait_output(const std::string& needle, milliseconds t);
    bool wait_errors(const std::string& needle, milliseconds t);

    // Waits for the child to end, gathering its output meanwhile. Returns the
    // raw wait status, or nothing when the deadline passed first.
    std::optional<int> wait(milliseconds t);
    // Exit status of a child that exited normally, else -1.
    std::optional<int> wait_exit_code(milliseconds t);

    void signal_group(int sig);
    void signal(int sig);
    bool running();

private:
    Process() = default;
    void pump(Deadline d);
    void take_available();
    // Reaps the child once it has ended; true from then on.
    bool reap();
    // Pumps output until text (one of the two gathered streams) holds needle.
    bool wait_text(const std::string& text, const bool& eof, const std::string& needle, milliseconds t);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    Fd in_, out_, err_;
    bool out_eof_ = false, err_eof_ = false;
    std::string out_text_, err_text_;
};

// Starts a server program that takes its TCP port as its only argument (the
// text `arg` instead of the number when given) and waits until it listens.
Process start_server(const std::string& bin, uint16_t port, const SpawnOptions& o = {}, const std::string& arg = "");
// Waits for the program to end; expects its exit status and all it wrote.
void expect_exit(Process& p, int code, const std::string& out, const std::string& err);

// Open descriptors and threads of a process (by default this one), from
// /proc; -1 when unknown.
int open_fd_count(pid_t pid = 0);
int thread_count(pid_t pid);
// Waits until pid holds exactly fds descriptors and threads threads; returns
// the counts seen last (the wanted ones unless the deadline passed).
std::pair<int, int> settle_counts(pid_t pid, int fds, int threads, Deadline d);

// Counts the lines of text that equal line exactly.
int count_lines(const std::string& text, const std::string& line);
// Strips the carriage returns a terminal adds before newlines.
std::string strip_cr(const std::string& text);

// ---- the process tools ----
// The complete lines of text, without the carriage returns a terminal adds;
// an unfinished last line is left out.
std::vector<std::string> lines_of(const std::string& text);

// Reads the program's output until `done` holds for its complete lines.
// False when the deadline passes or the output ends first.
bool wait_for(Process& p, const std::function<bool(const std::vector<std::string>&)>& done,
              milliseconds t);

// Reads the program's output until every process holding it has closed it.
void drain(Process& p, milliseconds t);

// Waits for the first child of pid to exist and returns it, or -1.
pid_t child_of(pid_t pid, milliseconds t);

// The state letter of a process ('S', 'T', 'Z', ...), or 0 when it is gone.
char proc_state(pid_t pid);
// The processor time the process has used (user and system), in clock
// ticks, from /proc; -1 when it is gone.
long cpu_ticks(pid_t pid);
// Waits until the process is in the given state.
bool wait_state(pid_t pid, char state, milliseconds t);
// Waits until the process has ended (a zombie or gone).
bool wait_ended(pid_t pid, milliseconds t);

// The output of a counting program: the count lines must run 1, 2, 3, ...
// with no step missing or repeated; every other line is kept together with
// the count printed before it (0 before the first).
struct CountRun {
    bool in_order = true;
    int last = 0;
    std::vector<std::pair<int, std::string>> others;
    std::vector<std::string> other_texts() const;
};
CountRun split_count(const std::vector<std::string>& lines);

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// ---- fault injection ----
// One fault: the call named `call` fails from its `nth` call on, `count`
// times in a row (0: every call from there), with `error` (an errno name);
// for write and send, `short_len` >= 0 cuts the call short to that many
// bytes instead.
struct Fault {
    std::string call;
    int nth = 1;
    int count = 1;
    std::string error = "EIO";
    int short_len = -1;
};

// A program run with one fault injected; keeps the log of the faults hit.
class Injection {
public:
    explicit Injection(Fault f) : fault_(std::move(f)) {}

    // `base` with the fault library preloaded and the fault set. On the host
    // the loader reads LD_PRELOAD; under the emulator the variable is handed
    // to the target program's loader alone (QEMU_SET_ENV), as the host
    // loader cannot load a target library into the emulator.
    SpawnOptions options(SpawnOptions base = {}) const;

    // How often the fault has been injected so far.
    int hits() const;
    // Waits until the fault has been injected at least n times.
    bool wait_hits(int n, milliseconds t) const;

private:
    Fault fault_;
    TempDir dir_;
};

// A FIFO named myfifo in a fresh directory (the FIFO readers' working
// directory), held open for reading and writing so that no open waits and
// what the test writes waits in the FIFO until the program reads it.
struct FifoDir {
    TempDir dir;
    Fd writer;
    FifoDir();
    SpawnOptions options(SpawnOptions o = on_pty()) const
    {
        o.cwd = dir.path();
        return o;
    }
    void put(const std::string& data);
};

// Writes data to a socket and expects the same bytes back.
void echo_once(int fd, const std::string& data);
// Expects nothing more to arrive on fd for a short while.
void expect_quiet(int fd, const std::string& what = "unexpected bytes");
// Runs a host tool (in the C locale) and returns its standard output; fails
// the test on a non-zero status.
std::string run_tool(const std::vector<std::string>& argv, milliseconds t = milliseconds(120000));

}  // namespace testsupport
