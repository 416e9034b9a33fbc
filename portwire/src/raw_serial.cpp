// raw_serial: the Linux serial port behind the serial channel interface.
//
// Threads: one thread drives a channel. cancelOperation() alone may run on a
// second thread while the first is inside waitfordata(); the two meet only
// through the cancellation pipe (a byte in it means "cancel pending"), so no
// member takes a lock. close() must not run while another thread waits.
#include "portwire/raw_serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "line_setup.h"
#include "toolset/monoclock.h"

namespace orv {
namespace hal {

// The factory and release live here because they need the port class.
serial_rxtx* serial_rxtx::CreateRxTx()
{
    return new arch::net::raw_serial();
}

void serial_rxtx::ReleaseRxTx(serial_rxtx* channel)
{
    delete channel;  // virtual destructor; a raw_serial closes itself first
}

}  // namespace hal

namespace arch {
namespace net {

namespace {

// Microseconds of the deadline (on mono_us()) still to go, never negative.
std::int64_t micros_left(std::uint64_t deadline)
{
    const std::uint64_t now = mono_us();
    return deadline > now ? static_cast<std::int64_t>(deadline - now) : 0;
}

// Waits on fds for at most micros (microseconds, not negative). ppoll
// rather than select: any descriptor number can be watched, and the time
// keeps its microseconds.
int poll_for(pollfd* fds, nfds_t count, std::int64_t micros)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(micros / 1000000);
    ts.tv_nsec = static_cast<long>(micros % 1000000) * 1000;
    return ::ppoll(fds, count, &ts, nullptr);
}

// Bytes queued in fd's input; -1 when the request fails.
int queued_bytes(int fd)
{
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) == -1)
        return -1;
    return count;
}

// Removes the cancellation bytes pending when the drain starts. Counting them
// first bounds the drain: it stops even if the read end could not be made
// non-blocking at open, and a canceller that keeps writing cannot hold the
// wait in it past its time-out.
void drain_pipe(int fd)
{
    int pending = queued_bytes(fd);
    char bytes[64];
    while (pending > 0) {
        const ssize_t n = ::read(fd, bytes, std::min(pending, static_cast<int>(sizeof(bytes))));
        if (n <= 0)
            break;
        pending -= static_cast<int>(n);
    }
}

// Pauses for micros, waking early when a cancellation byte arrives in the
// pipe (read end pipe_rd, -1 when absent); the next pass then sees the byte.
// A failed poll only shortens the pause: the next pass reports failures.
void pause_or_cancel(int pipe_rd, std::int64_t micros)
{
    if (micros <= 0)
        return;
    if (pipe_rd == -1) {
        ::usleep(static_cast<useconds_t>(micros));
        return;
    }
    pollfd pipe_end = {pipe_rd, POLLIN, 0};
    poll_for(&pipe_end, 1, micros);
}

// Pause between passes when the bound rate gives no transfer estimate, and the
// shortest pause otherwise: the port stays readable while bytes are queued, so
// without them a pass would poll it in a busy loop.
constexpr std::int64_t kUnratedPauseMicros = 1000;
constexpr std::int64_t kMinPauseMicros = 100;
// Longest pause that passes finding no new byte grow to (they double each
// time): a line gone quiet part-way costs a few passes a second, and a byte
// that comes after all is seen at most this late.
constexpr std::int64_t kMaxIdlePauseMicros = 20000;

}  // namespace

raw_serial::raw_serial()
{
    _opened = false;
    _baud_rate = 0;
    _open_flags = 0;
    _port_fd = -1;
    _init();
}

raw_serial::~raw_serial()
{
    raw_serial::close();
}

void raw_serial::_init()
{
    _port_name[0] = '\0';
    _port_fd = -1;
    _cancel_pipe[0] = -1;
    _cancel_pipe[1] = -1;
    _rx_count = 0;
    _tx_count = 0;
    _cancelled = false;
    _saved_line_form = LINE_NOT_SAVED;
}

void raw_serial::flush(std::uint32_t /*flags*/)
{
    // On a closed channel the descriptor is -1 and the call fails harmlessly.
    ::tcflush(_port_fd, TCIFLUSH);
}

std::int32_t raw_serial::bind(const char* path, std::uint32_t baud, std::uint32_t flags)
{
    // A null path, or one of 200 characters or more (no room for the
    // terminating zero), is refused whole: nothing stored changes. Cutting a
    // long path would open some other device.
    if (path == nullptr)
        return 0;
    const size_t len = ::strnlen(path, sizeof(_port_name));
    if (len >= sizeof(_port_name))
        return 0;
    std::memset(_port_name, 0, sizeof(_port_name));
    std::memcpy(_port_name, path, len);
    _baud_rate = baud;
    _open_flags = flags;
    return 1;
}

std::int32_t raw_serial::open()
{
    return open(_port_name, _baud_rate, _open_flags);
}

std::int32_t raw_serial::open(const char* path, std::uint32_t baud, std::uint32_t /*flags*/)
{
    if (isOpened())
        close();
    if (path == nullptr)
        return 0;

    // Refused with EBUSY when another program holds the port through TIOCEXCL.
    _port_fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (_port_fd == -1)
        return 0;

    // Only a terminal device is a port: a regular file, a pipe or /dev/null
    // given by mistake is closed again before anything touches it, so the
    // requests later sent to the "port" cannot land in someone's file. The
    // check is the plain terminal-settings query, which pseudo-terminals,
    // real UARTs and user-mode emulators all answer.
    if (!::isatty(_port_fd)) {
        ::close(_port_fd);
        _port_fd = -1;
        errno = ENOTTY;
        return 0;
    }

    // One program at a time: two sharing a port would take each other's
    // bytes. A port another program holds is closed again before anything
    // of its holder's is touched. The lock is advisory, between programs
    // that take it; TIOCEXCL makes the kernel refuse any further open, except
    // to root (and an emulator may ignore it: the lock still holds). A device
    // that cannot be locked at all is used unlocked.
    if (::flock(_port_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(_port_fd);
        _port_fd = -1;
        errno = EBUSY;
        return 0;
    }
    (void)::ioctl(_port_fd, TIOCEXCL);

    // Saved before our own settings replace them, for close() to put back.
    _saved_line_form = save_line_settings(_port_fd, _saved_line);

    // A rate or setting the device refuses does not make the open fail.
    apply_line_settings(_port_fd, baud);
    ::tcflush(_port_fd, TCIFLUSH);  // drop what arrived before

    if (::fcntl(_port_fd, F_SETFL, O_NONBLOCK) != 0) {
        close();
        return 0;
    }

    // Open first: clearDTR() does nothing on a channel that is not open.
    _cancelled = false;
    _opened = true;
    clearDTR();

    // Without the pipe the channel still works; its waits just cannot be cancelled.
    int ends[2];
    if (::pipe(ends) != 0)
        return 1;
    _cancel_pipe[0] = ends[0];
    _cancel_pipe[1] = ends[1];

    // A read end left blocking still works: the drain reads only what is
    // pending. Its failure must not skip the write end below.
    int fl = ::fcntl(_cancel_pipe[0], F_GETFL);
    if (fl != -1)
        (void)::fcntl(_cancel_pipe[0], F_SETFL, fl | O_NONBLOCK);

    // A write end left blocking would block cancelOperation() for good once
    // the pipe is full: then run without the pipe, as when it cannot be made.
    fl = ::fcntl(_cancel_pipe[1], F_GETFL);
    if (fl == -1 || ::fcntl(_cancel_pipe[1], F_SETFL, fl | O_NONBLOCK) == -1) {
        ::close(_cancel_pipe[0]);
        ::close(_cancel_pipe[1]);
        _cancel_pipe[0] = -1;
        _cancel_pipe[1] = -1;
    }
    return 1;
}

void raw_serial::close()
{
    if (_port_fd != -1) {
        // The port is left as it was found: a console given by mistake gets
        // its echo, line editing and rate back. The restore first lets the
        // queued output (a last stop request, say) go out at the rate it was
        // written at. A port gone away (EIO) is closed all the same.
        (void)restore_line_settings(_port_fd, _saved_line, _saved_line_form);
        // A pseudo-terminal keeps the exclusive flag while its master is
        // open, which would refuse the next open of the port. Closing the
        // descriptor drops the lock.
        (void)::ioctl(_port_fd, TIOCNXCL);
        ::close(_port_fd);
        _port_fd = -1;
    }
    _saved_line_form = LINE_NOT_SAVED;
    if (_cancel_pipe[0] != -1)
        ::close(_cancel_pipe[0]);
    if (_cancel_pipe[1] != -1)
        ::close(_cancel_pipe[1]);
    _cancel_pipe[0] = -1;
    _cancel_pipe[1] = -1;
    _cancelled = false;
    _opened = false;
}

std::int32_t raw_serial::senddata(const unsigned char* data, std::uint32_t size)
{
    if (!isOpened())
        return 0;
    if (size == 0 || data == nullptr)
        return 0;

    // Non-blocking: a full output queue ends the loop with a short count and
    // nothing retries. A write of 0 bytes also ends it, so the loop cannot spin.
    _tx_count = 0;
    while (_tx_count < size) {
        const ssize_t n = ::write(_port_fd, data + _tx_count, size - _tx_count);
        if (n <= 0)
            break;
        _tx_count += static_cast<std::uint32_t>(n);
    }
    return static_cast<std::int32_t>(_tx_count);
}

std::int32_t raw_serial::recvdata(unsigned char* buffer, std::uint32_t size)
{
    if (!isOpened())
        return 0;
    ssize_t n = 0;
    if (buffer != nullptr && size != 0) {
        n = ::read(_port_fd, buffer, size);
        if (n < 0)
            n = 0;  // also the answer of the non-blocking port when nothing arrived
    }
    _rx_count = static_cast<std::uint32_t>(n);
    return static_cast<std::int32_t>(_rx_count);
}

void raw_serial::setDTR()
{
    if (!isOpened())
        return;
    int bits = TIOCM_DTR;
    ::ioctl(_port_fd, TIOCMBIS, &bits);  // result deliberately unchecked
}

void raw_serial::clearDTR()
{
    if (!isOpened())
        return;
    int bits = TIOCM_DTR;
    ::ioctl(_port_fd, TIOCMBIC, &bits);  // result deliberately unchecked
}

std::int32_t raw_serial::getTermBaudBitmap(std::uint32_t baud)
{
    static_assert(B1200 == 0x9 && B38400 == 0xF && B57600 == 0x1001 && B4000000 == 0x100F,
                  "Linux terminal speed codes");
    static const struct {
        std::uint32_t rate;
        std::int32_t code;
    } table[] = {
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& entry : table) {
        if (entry.rate == baud)
            return entry.code;
    }
    return -1;
}

std::int32_t raw_serial::waitfordata(std::uint32_t want, std::uint32_t timeout_ms, std::uint32_t* returned)
{
    std::uint32_t local_count = 0;
    if (returned == nullptr)
        returned = &local_count;
    *returned = 0;

    const int port_fd = _port_fd;
    const int pipe_rd = _cancel_pipe[0];
    // Time since the call began is measured on the monotonic clock, so the
    // pauses between passes count too.
    const std::uint64_t deadline = mono_us() + std::uint64_t{timeout_ms} * 1000u;

    if (isOpened()) {
        const int queued = queued_bytes(port_fd);
        if (queued == -1)
            return WAIT_FAILED;
        *returned = static_cast<std::uint32_t>(queued);
        // Enough already: no poll, and a pending cancellation stays pending.
        if (*returned >= want)
            return WAIT_READY;
    }

    std::uint32_t seen = *returned;  // queued count of the last pass
    std::int64_t idle_pause = 0;     // grows while passes find no new byte
    for (;;) {
        // Closed meanwhile (or never open).
        if (!isOpened() || port_fd < 0) {
            *returned = 0;
            return WAIT_FAILED;
        }

        pollfd fds[2] = {{port_fd, POLLIN, 0}, {pipe_rd, POLLIN, 0}};
        const int ready = poll_for(fds, pipe_rd != -1 ? 2 : 1, micros_left(deadline));
        // A signal included: no retry. A descriptor that is not open fails
        // the wait too.
        if (ready < 0 || ((fds[0].revents | fds[1].revents) & POLLNVAL)) {
            *returned = 0;
            return WAIT_FAILED;
        }
        if (ready == 0) {
            *returned = 0;
            return WAIT_TIMEOUT;
        }

        // A cancellation wins over data that arrived in the same pass.
        if (pipe_rd != -1 && fds[1].revents != 0) {
            drain_pipe(pipe_rd);
            *returned = 0;
            return WAIT_TIMEOUT;
        }

        const int queued = queued_bytes(port_fd);
        if (queued == -1)
            return WAIT_FAILED;
        *returned = static_cast<std::uint32_t>(queued);
        if (*returned >= want)
            return WAIT_READY;

        // Out of time: the bytes that did arrive stay queued for recvdata().
        const std::int64_t left = micros_left(deadline);
        if (left == 0) {
            *returned = 0;
            return WAIT_TIMEOUT;
        }

        // The port stays readable while bytes are queued, so the passes are
        // paced by the time the missing bytes need on the line (8 bits a
        // byte, 64-bit arithmetic so no wanted count overflows). When that
        // does not fit in the time left they cannot all arrive before the
        // deadline: wait out the time left instead of polling. With no rate
        // bound (0) there is no estimate; a short fixed pause keeps the pass
        // from spinning. Every pause wakes on a cancellation.
        std::int64_t pause;
        if (_baud_rate == 0) {
            pause = kUnratedPauseMicros;
        } else {
            const std::uint64_t missing = static_cast<std::uint64_t>(want) - *returned;
            const std::uint64_t estimate = missing * 8000000u / _baud_rate;
            pause = static_cast<std::uint64_t>(left) > estimate ? static_cast<std::int64_t>(estimate) : left;
        }
        pause = std::max(pause, kMinPauseMicros);

        // A pass that found no new byte means the line has gone quiet part-way:
        // the pauses double from there, up to kMaxIdlePauseMicros, instead of
        // polling the quiet line at the rate the bytes would need.
        if (*returned == seen) {
            idle_pause = std::min(std::max(idle_pause, pause / 2) * 2, kMaxIdlePauseMicros);
            pause = std::max(pause, idle_pause);
        } else {
            idle_pause = 0;
        }
        seen = *returned;
        pause_or_cancel(pipe_rd, std::min(pause, left));
    }
}

void raw_serial::cancelOperation()
{
    _cancelled = true;
    if (_cancel_pipe[1] == -1)
        return;
    // Unchecked: when the pipe is full a byte is already pending.
    const ssize_t ignored = ::write(_cancel_pipe[1], "x", 1);
    (void)ignored;
}

std::int32_t raw_serial::rxqueue_count()
{
    if (!isOpened())
        return 0;
    const int queued = queued_bytes(_port_fd);
    return queued == -1 ? 0 : queued;
}

std::int32_t raw_serial::waitforsent(std::uint32_t /*timeout*/, std::uint32_t* returned)
{
    if (returned != nullptr)
        *returned = _tx_count;
    return 0;
}

std::int32_t raw_serial::waitforrecv(std::uint32_t /*timeout*/, std::uint32_t* returned)
{
    if (!isOpened())
        return -1;
    if (returned != nullptr)
        *returned = _rx_count;
    return 0;
}

}  // namespace net
}  // namespace arch
}  // namespace orv
