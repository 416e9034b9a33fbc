// Test support, processes: start a program (through the emulator in the
// cross build) on pipes or a pseudo-terminal, gather its output, stop it by
// its own process group, and look at processes in /proc. Also the time base
// and the descriptor owner that the other support headers build on.
// Everything here is bounded in time.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "toolset/monoclock.h"

namespace testsupport {

using std::chrono::milliseconds;

// A moment on the monotonic clock, mono_ms(): every wait is bounded by one.
using Deadline = std::uint64_t;
inline Deadline after(milliseconds ms) { return mono_ms() + static_cast<std::uint64_t>(ms.count()); }
// Milliseconds until d (0 once it has passed), as poll() takes them.
int ms_left(Deadline d);
// Milliseconds since t0, an earlier mono_ms().
inline std::int64_t ms_since(Deadline t0) { return static_cast<std::int64_t>(mono_ms() - t0); }

// The bound for one step of a test, a limit and never a pause: scaled up
// under the emulator and under a checker (TOOLSET_TEST_WRAPPER).
milliseconds timeout(milliseconds host = milliseconds(5000));

// Calls done() until it holds or the deadline passes, `step` apart: for state
// that offers nothing to block on (/proc, a file). True when done() held.
bool poll_until(const std::function<bool()>& done, Deadline d, milliseconds step = milliseconds(10));

// True when the program under test runs under user-mode emulation.
bool under_emulator();
// The emulator command that must prefix a target program, empty on the host.
const std::vector<std::string>& emulator_prefix();

// The path of a program or library a test uses (the P_BIN macros): the
// installed path under the root above the installed tests' folder when this
// binary runs from there, else `built` (relative to the build tree's top)
// under the top found above the binary. So the binaries the build tested are
// the ones packaged, and hold no build folder.
const char* program(const char* built, const char* installed);

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

struct SpawnOptions {
    // Standard input and output of the child on a new pseudo-terminal, which
    // becomes its controlling terminal (the child leads a new session);
    // otherwise on pipes. Standard error is always a pipe of its own.
    bool pty = false;
    // Start a host program directly, not through the emulator or checker.
    bool host_program = false;
    // Working directory of the child; empty keeps the current one.
    std::string cwd;
    // Variables set (NAME=value) or, without '=', removed in the child.
    std::vector<std::string> env;
    // Files for standard input or output instead of a pipe or pty (a
    // terminal given here is not the controlling one).
    std::string stdin_file;
    std::string stdout_file;
    // Standard input or output left closed, as `<&-` and `>&-` leave them.
    bool close_stdin = false;
    bool close_stdout = false;
    // Signals blocked, and signals ignored, through the exec, as a launcher
    // may leave them (otherwise none: all take their default action).
    std::vector<int> blocked, ignored;
};

// The usual options for a program that should see a terminal.
inline SpawnOptions on_pty() { SpawnOptions o; o.pty = true; return o; }

class Process {
public:
    static Process start(const std::vector<std::string>& argv, const SpawnOptions& opts = {});

    Process(Process&&) noexcept;  // move-constructible only
    ~Process();  // kills the whole process group and reaps the child

    pid_t pid() const { return pid_; }
    // The child's input and output (pipe or pty master).
    int in() const { return in_.get(); }
    int out() const { return out_.get(); }
    void close_input() { in_.reset(); }
    // Closes the reading end of the child's standard output.
    void close_output() { out_.reset(); out_eof_ = true; }

    // Output gathered so far by the read calls below.
    const std::string& output() const { return out_text_; }
    const std::string& errors() const { return err_text_; }

    // Reads output until it holds needle or the deadline passes.
    bool wait_output(const std::string& needle, milliseconds t) { return wait_text(out_text_, out_eof_, needle, t); }
    bool wait_errors(const std::string& needle, milliseconds t) { return wait_text(err_text_, err_eof_, needle, t); }

    // Waits for the child to end, gathering its output meanwhile. Returns the
    // raw wait status, or nothing when the deadline passed first.
    std::optional<int> wait(milliseconds t);
    // Exit status of a child that exited normally, else -1.
    std::optional<int> wait_exit_code(milliseconds t);

    void signal_group(int sig) { ::kill(-pid_, sig); }
    void signal(int sig);
    bool running() { return !reap(); }

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

// Waits for the program to end; expects its exit status and all it wrote.
void expect_exit(Process& p, int code, const std::string& out, const std::string& err);
// Runs a host tool (in the C locale) and returns its standard output; fails
// the test on a non-zero status.
std::string run_tool(const std::vector<std::string>& argv, milliseconds t = milliseconds(120000));

// Counts the lines of text that equal line exactly.
int count_lines(const std::string& text, const std::string& line);
// Strips the carriage returns a terminal adds before newlines.
std::string strip_cr(const std::string& text);
// The complete lines of text, without the carriage returns a terminal adds;
// an unfinished last line is left out.
std::vector<std::string> lines_of(const std::string& text);

// Reads the program's output until `done` holds for its complete lines.
// False when the deadline passes or the output ends first.
bool wait_for(Process& p, const std::function<bool(const std::vector<std::string>&)>& done,
              milliseconds t);
// Reads the program's output until every process holding it has closed it.
void drain(Process& p, milliseconds t);

// ---- processes in /proc ----

// Open descriptors and threads of a process (0: this one); -1 when unknown.
int open_fd_count(pid_t pid = 0);
int thread_count(pid_t pid);
// Waits until pid holds exactly fds descriptors and threads threads; returns
// the counts seen last (the wanted ones unless the deadline passed).
std::pair<int, int> settle_counts(pid_t pid, int fds, int threads, Deadline d);
// Waits for the first child of pid to exist and returns it, or -1.
pid_t child_of(pid_t pid, milliseconds t);
// The state letter of a process ('S', 'T', 'Z', ...), or 0 when it is gone.
char proc_state(pid_t pid);
// The processor time (user and system) used, in clock ticks; -1 when gone.
long cpu_ticks(pid_t pid);
// Waits until the process is in the given state.
bool wait_state(pid_t pid, char state, milliseconds t);
// Waits until the process has ended (a zombie or gone).
bool wait_ended(pid_t pid, milliseconds t);
// Expects the program (and its children) to use next to no processor time
// over a half-second window (one of several where the bounds are scaled),
// reading its output unless told not to: a program that waits must not spin.
void expect_no_spin(Process& p, const std::string& what, bool read_output = true);

// ---- the process tools ----

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

}  // namespace testsupport
