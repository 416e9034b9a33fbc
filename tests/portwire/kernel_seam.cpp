// No <termios.h> here: its struct termios conflicts with <asm/termbits.h>, which termios2 needs.
#include "kernel_seam.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <mutex>

#include "faultplan.h"

extern "C" {
int __real_ioctl(int fd, unsigned long request, ...);
int __real_fcntl(int fd, int cmd, ...);
int __real_pipe(int fds[2]);
int __real_open(const char* path, int flags, ...);
ssize_t __real_write(int fd, const void* buf, size_t len);
}

namespace testsupport {

const unsigned long kTCSETS2 = TCSETS2;

namespace {

std::mutex mtx;  // guards everything below
std::condition_variable changed;
std::vector<IoctlCall> log;
int last_read_end = -1;

// The armed fault, the calls of its name since it was armed, and how often it struck.
fault_plan injected = {nullptr, 0, 0, 0, -1};
unsigned long seen = 0;
int hits = 0;

template <typename F>
auto locked(F f)
{
    std::lock_guard<std::mutex> lock(mtx);
    return f();
}

bool fail_now(const char* call)
{
    return locked([call] {
        if (injected.call == nullptr || std::strcmp(injected.call, call) != 0 || !fault_strikes(&injected, call, ++seen))
            return false;
        hits++;
        errno = injected.err;
        return true;
    });
}

// With mtx held.
int fionreads(int fd)
{
    return static_cast<int>(std::count_if(log.begin(), log.end(), [fd](const IoctlCall& c) {
        return c.fd == fd && c.request == FIONREAD;
    }));
}

LineRecord to_record(const struct termios2& t)
{
    const bool cc_all_zero = std::all_of(std::begin(t.c_cc), std::end(t.c_cc), [](cc_t c) { return c == 0; });
    return {t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_line, cc_all_zero, t.c_ispeed, t.c_ospeed};
}

}  // namespace

void reset_seam()
{
    locked([] {
        log.clear();
        last_read_end = -1;
    });
    inject(nullptr, 0, 0, 0);
}

void inject(const char* call, int nth, int count, int err, int short_len)
{
    locked([=] {
        injected = fault_plan{call, static_cast<unsigned long>(nth), static_cast<unsigned long>(count), err, short_len};
        seen = 0;
        hits = 0;
    });
}

int injected_hits() { return locked([] { return hits; }); }
std::vector<IoctlCall> ioctl_calls() { return locked([] { return log; }); }
int fionread_count(int fd) { return locked([fd] { return fionreads(fd); }); }
int last_pipe_read_end() { return locked([] { return last_read_end; }); }

bool wait_fionread(int fd, int n, Deadline deadline)
{
    std::unique_lock<std::mutex> lock(mtx);
    return changed.wait_for(lock, milliseconds(ms_left(deadline)), [&] { return fionreads(fd) >= n; });
}

std::optional<LineRecord> read_line_settings(int fd)
{
    struct termios2 t {};
    if (__real_ioctl(fd, TCGETS2, &t) != 0)
        return std::nullopt;
    return to_record(t);
}

}  // namespace testsupport

using namespace testsupport;

extern "C" {
// Every request the channel makes takes one pointer argument, or none.
int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    struct stat st {};
    (void)::fstat(fd, &st);
    IoctlCall call{fd, request, 0, st.st_rdev, std::nullopt};
    if ((request == TIOCMBIS || request == TIOCMBIC) && arg != nullptr)
        call.int_arg = *static_cast<const int*>(arg);
    if (request == TCSETS2 && arg != nullptr)
        call.line = to_record(*static_cast<const struct termios2*>(arg));

    const int saved_result = __real_ioctl(fd, request, arg);
    const int saved_errno = errno;
    locked([&] { log.push_back(call); });
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
    return fail_now("fcntl") ? -1 : __real_fcntl(fd, cmd, arg);
}

int __wrap_pipe(int fds[2])
{
    if (fail_now("pipe") || __real_pipe(fds) != 0)
        return -1;
    locked([fds] { last_read_end = fds[0]; });
    return 0;
}

int __wrap_open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int mode = (flags & O_CREAT) != 0 ? va_arg(ap, int) : 0;
    va_end(ap);
    return fail_now("open") ? -1 : __real_open(path, flags, mode);
}

// A call that fails when armed under the name call, and is passed on otherwise.
#define FAILING(type, name, call, params, args) \
    type __real_##name params;                  \
    type __wrap_##name params { return fail_now(call) ? -1 : __real_##name args; }

FAILING(int, ppoll, "ppoll", (struct pollfd* fds, nfds_t n, const struct timespec* t, const sigset_t* ss),
        (fds, n, t, ss))
// Fortified builds call the checked ppoll.
FAILING(int, __ppoll_chk, "ppoll",
        (struct pollfd* fds, nfds_t n, const struct timespec* t, const sigset_t* ss, size_t len), (fds, n, t, ss, len))
FAILING(ssize_t, read, "read", (int fd, void* buf, size_t len), (fd, buf, len))

ssize_t __wrap_write(int fd, const void* buf, size_t len)
{
    if (fail_now("write")) {
        const long short_len = locked([] { return injected.short_len; });
        if (short_len < 0)
            return -1;
        len = std::min(len, static_cast<size_t>(short_len));
    }
    return __real_write(fd, buf, len);
}
}  // extern "C"
