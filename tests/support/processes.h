// Programs (through the emulator in the cross build) on pipes or a terminal, ended by process group; /proc.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

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

// A moment on mono_ms(): every wait is bounded by one.
using Deadline = std::uint64_t;
inline Deadline after(milliseconds ms) { return mono_ms() + static_cast<std::uint64_t>(ms.count()); }
int ms_left(Deadline d);  // as poll() takes it, 0 once passed
inline std::int64_t ms_since(Deadline t0) { return static_cast<std::int64_t>(mono_ms() - t0); }

// A bound, never a pause: scaled up under the emulator, a checker (TOOLSET_TEST_WRAPPER) or TOOLSET_TEST_TIMEOUT_SCALE.
milliseconds timeout(milliseconds host = milliseconds(5000));
// For state that offers nothing to block on (/proc, a file): true when done() held by the deadline.
bool poll_until(const std::function<bool()>& done, Deadline d, milliseconds step = milliseconds(10));

bool under_emulator();
const std::vector<std::string>& emulator_prefix();  // empty on the host
// The installed path when this binary runs from the installed tests, else `built` under the build tree's top.
const char* program(const char* built, const char* installed);

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept { reset(o.release()); return *this; }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) { if (fd_ >= 0) ::close(fd_); fd_ = fd; }

private:
    int fd_ = -1;
};

// A fresh directory under /tmp, removed with its contents.
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

// A count of bytes in all, a text, the end (kEnd), or (a process's output) a condition on its complete lines.
struct Until {
    Until(size_t n) : bytes(n) {}
    Until(std::string t) : text(std::move(t)) {}
    Until(const char* t) : text(t) {}
    template <class F, class = decltype(std::declval<F>()(std::vector<std::string>()))>
    Until(F f) : lines(std::move(f)) {}
    // True when acc holds it; a count is also met at the end, a text only when found.
    bool met(const std::string& acc, bool ended, size_t from = 0) const;

    size_t bytes = 0;
    std::string text;
    std::function<bool(const std::vector<std::string>&)> lines;
};
constexpr size_t kEnd = std::string::npos;

struct SpawnOptions {
    // Standard input and output on a new controlling pty (the child leads a session), else pipes; errors on a pipe.
    bool pty = false;
    bool host_program = false;  // not through the emulator or checker
    std::string cwd;
    std::vector<std::string> env;  // NAME=value sets, NAME alone removes
    std::string stdin_file, stdout_file;  // a terminal given here is not the controlling one
    bool close_stdin = false, close_stdout = false;
    std::vector<int> blocked, ignored;  // through the exec, as a launcher may leave them
};
inline SpawnOptions on_pty() { SpawnOptions o; o.pty = true; return o; }

enum Stream { Output, Errors };

class Process {
public:
    static Process start(const std::vector<std::string>& argv, const SpawnOptions& opts = {});
    Process(Process&&) noexcept = default;
    ~Process();  // kills the process group and reaps the child

    pid_t pid() const { return pid_; }
    int in() const { return in_.get(); }
    int out() const { return out_.get(); }
    void close_input() { in_.reset(); }
    void close_output() { out_.reset(); out_eof_ = true; }
    const std::string& output() const { return out_text_; }
    const std::string& errors() const { return err_text_; }

    // Gathers both streams until the one named holds u (Until::met), or its end or the deadline.
    bool read_until(const Until& u, milliseconds t, Stream s = Output);
    // The raw wait status, the output gathered to its end; nothing when the deadline passed first.
    std::optional<int> wait(milliseconds t);
    std::optional<int> wait_exit_code(milliseconds t);  // -1 unless it exited

    void signal_group(int sig) { ::kill(-pid_, sig); }
    void signal(int sig) { if (!reaped_) ::kill(pid_, sig); }
    bool running() { return !reap(); }

private:
    Process() = default;
    void pump(Deadline d);
    bool reap();

    pid_t pid_ = -1;
    int status_ = 0;
    Fd in_, out_, err_;
    bool reaped_ = false, out_eof_ = false, err_eof_ = false;
    std::string out_text_, err_text_;
};

void expect_exit(Process& p, int code, const std::string& out, const std::string& err);
// A host tool's standard output, run in the C locale; a non-zero status fails the test.
std::string run_tool(const std::vector<std::string>& argv, milliseconds t = milliseconds(120000));

int count_lines(const std::string& text, const std::string& line);
std::string strip_cr(std::string text);
// The complete lines, without a terminal's carriage returns.
std::vector<std::string> lines_of(const std::string& text);

// ---- processes in /proc ----

int open_fd_count(pid_t pid = 0);  // 0: this process; -1 when unknown
int thread_count(pid_t pid);
// The counts seen last: the wanted ones unless the deadline passed.
std::pair<int, int> settle_counts(pid_t pid, int fds, int threads, Deadline d);
pid_t child_of(pid_t pid, milliseconds t);  // its first child, -1 when none came
char proc_state(pid_t pid);  // 0 when gone
long cpu_ticks(pid_t pid);  // user and system; -1 when gone
bool wait_state(pid_t pid, char state, milliseconds t);
bool wait_ended(pid_t pid, milliseconds t);  // a zombie or gone

// ---- the process tools ----

// Count lines must run 1, 2, 3, ...; any other line is kept with the count before it (0 first).
struct CountRun {
    bool in_order = true;
    int last = 0;
    std::vector<std::pair<int, std::string>> others;
    std::vector<std::string> other_texts() const;
};
CountRun split_count(const std::vector<std::string>& lines);

// myfifo in a fresh directory, held open both ways: no open waits, and what put() writes waits for the reader.
struct FifoDir {
    TempDir dir;
    Fd writer;
    FifoDir();
    SpawnOptions options(SpawnOptions o = on_pty()) const { o.cwd = dir.path(); return o; }
    void put(const std::string& data);
};

}  // namespace testsupport
