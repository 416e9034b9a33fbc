// Wrapped system calls for the portwire test, and the termios2 read-back.
//
// Uses the kernel's <asm/termbits.h> and <asm/ioctls.h> for struct termios2
// and TCGETS2/TCSETS2; glibc's <termios.h> defines a conflicting struct
// termios, so this file must never include <termios.h>.
#include "kernel_seam.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <mutex>

extern "C" {
int __real_ioctl(int fd, unsigned long request, ...);
int __real_fcntl(int fd, int cmd, ...);
int __real_pipe(int fds[2]);
int __wrap_ioctl(int fd, unsigned long request, ...);
int __wrap_fcntl(int fd, int cmd, ...);
int __wrap_pipe(int fds[2]);
}

namespace seam {

const unsigned long kTCSETS2 = TCSETS2;
const unsigned long kTIOCMBIS = TIOCMBIS;
const unsigned long kTIOCMBIC = TIOCMBIC;
const unsigned long kFIONREAD = FIONREAD;
const int kTIOCM_DTR = TIOCM_DTR;

namespace {

std::mutex mtx;  // guards everything below
std::condition_variable changed;
std::vector<IoctlCall> log;
bool pipe_fails = false;
bool pipe_read_blocking = false;
int blocking_read_end = -1;
int pipe_floor = -1;
int last_read_end = -1;

LineRecord to_record(const struct termios2& t)
{
    LineRecord r;
    r.iflag = t.c_iflag;
    r.oflag = t.c_oflag;
    r.cflag = t.c_cflag;
    r.lflag = t.c_lflag;
    r.line = t.c_line;
    r.cc_all_zero = true;
    for (cc_t c : t.c_cc)
        r.cc_all_zero = r.cc_all_zero && c == 0;
    r.ispeed = t.c_ispeed;
    r.ospeed = t.c_ospeed;
    return r;
}

int move_up(int fd, int floor)
{
    const int high = __real_fcntl(fd, F_DUPFD, floor);
    if (high == -1)
        return -1;
    ::close(fd);
    return high;
}

}  // namespace

void reset()
{
    std::lock_guard<std::mutex> lock(mtx);
    log.clear();
    pipe_fails = false;
    pipe_read_blocking = false;
    blocking_read_end = -1;
    pipe_floor = -1;
    last_read_end = -1;
}

std::vector<IoctlCall> calls()
{
    std::lock_guard<std::mutex> lock(mtx);
    return log;
}

int fionread_count(int fd)
{
    std::lock_guard<std::mutex> lock(mtx);
    int n = 0;
    for (const auto& c : log)
        n += c.fd == fd && c.request == FIONREAD;
    return n;
}

bool wait_fionread(int fd, int n, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(mtx);
    return changed.wait_until(lock, deadline, [&] {
        int seen = 0;
        for (const auto& c : log)
            seen += c.fd == fd && c.request == FIONREAD;
        return seen >= n;
    });
}

void fail_next_pipe()
{
    std::lock_guard<std::mutex> lock(mtx);
    pipe_fails = true;
}

void keep_next_pipe_read_blocking()
{
    std::lock_guard<std::mutex> lock(mtx);
    pipe_read_blocking = true;
}

void set_pipe_floor(int floor)
{
    std::lock_guard<std::mutex> lock(mtx);
    pipe_floor = floor;
}

int last_pipe_read_end()
{
    std::lock_guard<std::mutex> lock(mtx);
    return last_read_end;
}

std::optional<LineRecord> read_line_settings(int fd)
{
    struct termios2 t {};
    if (__real_ioctl(fd, TCGETS2, &t) != 0)
        return std::nullopt;
    return to_record(t);
}

}  // namespace seam

using namespace seam;

// Every request here takes one pointer argument (or none), which is passed on.
int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    IoctlCall call{fd, request, 0, 0, std::nullopt};
    struct stat st;
    if (::fstat(fd, &st) == 0)
        call.rdev = st.st_rdev;
    if ((request == TIOCMBIS || request == TIOCMBIC) && arg != nullptr)
        call.int_arg = *static_cast<const int*>(arg);
    if (request == TCSETS2 && arg != nullptr)
        call.line = to_record(*static_cast<const struct termios2*>(arg));

    const int saved_result = __real_ioctl(fd, request, arg);
    const int saved_errno = errno;
    {
        std::lock_guard<std::mutex> lock(mtx);
        log.push_back(call);
    }
    changed.notify_all();
    errno = saved_errno;
    return saved_result;
}

int __wrap_fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (cmd == F_GETFL) {
        std::lock_guard<std::mutex> lock(mtx);
        if (fd == blocking_read_end) {
            blocking_read_end = -1;
            errno = EBADF;
            return -1;
        }
    }
    return __real_fcntl(fd, cmd, arg);
}

int __wrap_pipe(int fds[2])
{
    std::lock_guard<std::mutex> lock(mtx);
    if (pipe_fails) {
        pipe_fails = false;
        errno = EMFILE;
        return -1;
    }
    if (__real_pipe(fds) != 0)
        return -1;
    if (pipe_floor >= 0) {
        fds[0] = move_up(fds[0], pipe_floor);
        fds[1] = move_up(fds[1], pipe_floor);
    }
    if (pipe_read_blocking) {
        pipe_read_blocking = false;
        blocking_read_end = fds[0];
    }
    last_read_end = fds[0];
    return 0;
}
