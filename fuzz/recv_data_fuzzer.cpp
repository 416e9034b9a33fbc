// The serial helper library's print path, recv_data, fed arbitrary bytes that
// arrive in arbitrary chunks. The device is a non-blocking pipe recorded in
// poll_events as serial_config would record a terminal; the fuzzer holds the
// write end.
//
// Two link-time seams in this program (they take the place of the C library's
// functions while a run is in recv_data, and pass through otherwise):
// - poll: each wait delivers the next chunk of the input into the pipe, and
//   once the input is all delivered closes the write end, so that poll
//   reports the hang-up that ends recv_data. Every wait thus finds data or
//   the hang-up, and no run waits out the one-second limit.
// - usleep: the 5 ms pause before each read returns at once; the chunk is
//   already in the pipe, so the pause has nothing to gather.
//
// Checks: recv_data waits on poll_events only, with one record and at most
// 1000 ms (what is left of the second since the last input: a clock tick or
// a pause between a read and the next wait makes it a little less);
// it wakes at most once per byte delivered plus the end (it does not spin);
// it returns only at the end of the input; what it prints is, read by read,
// the bytes of each read up to its first zero byte, nothing more and nothing
// from an earlier read.
//
// Input: see ChunkedInput. Each plan step is the size of the next chunk
// (0 to 255; 0 delivers nothing new when bytes are still queued).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "serial/serial.h"

namespace {

constexpr std::size_t READ_SIZE = 32;  // recv_data's buffer

struct Feed {
    bool active = false;
    fuzzsupport::ChunkedInput* in = nullptr;
    int read_fd = -1;
    int write_fd = -1;
    std::size_t written = 0;   // bytes put into the pipe
    std::size_t consumed = 0;  // bytes the reads have taken, as foreseen
    std::size_t waits = 0;
    std::size_t pauses = 0;
    std::string expected;  // what recv_data must print
};

Feed feed;

int real_poll(struct pollfd* fds, nfds_t count, int timeout_ms)
{
    struct timespec ts;
    ts.tv_sec = timeout_ms / 1000;
    ts.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
    return ::ppoll(fds, count, timeout_ms >= 0 ? &ts : nullptr, nullptr);
}

// Delivers the next chunk and foresees what the read after this wait takes.
void deliver()
{
    int queued = 0;
    FUZZ_CHECK(::ioctl(feed.read_fd, FIONREAD, &queued) == 0);
    fuzzsupport::ChunkedInput& in = *feed.in;
    if (feed.write_fd >= 0 && feed.written < in.stream_size) {
        std::size_t n = in.next_step();
        if (n == 0 && queued == 0)
            n = 1;
        if (n > in.stream_size - feed.written)
            n = in.stream_size - feed.written;
        if (n > 0) {
            ssize_t w = ::write(feed.write_fd, in.stream + feed.written, n);
            FUZZ_CHECK(w > 0);
            feed.written += static_cast<std::size_t>(w);
            queued += static_cast<int>(w);
        }
    }
    if (feed.write_fd >= 0 && feed.written == in.stream_size) {
        ::close(feed.write_fd);
        feed.write_fd = -1;
    }
    // poll reports POLLIN while bytes are queued; the read then takes up to
    // 32 of them, and prints them up to the first zero byte.
    std::size_t take = static_cast<std::size_t>(queued) < READ_SIZE ? static_cast<std::size_t>(queued) : READ_SIZE;
    const char* chunk = reinterpret_cast<const char*>(in.stream + feed.consumed);
    feed.expected.append(chunk, ::strnlen(chunk, take));
    feed.consumed += take;
}

}  // namespace

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout_ms)
{
    if (!feed.active)
        return real_poll(fds, count, timeout_ms);
    FUZZ_CHECK(fds == &poll_events);
    FUZZ_CHECK(count == 1);
    FUZZ_CHECK(timeout_ms > 0 && timeout_ms <= 1000);
    feed.waits++;
    FUZZ_CHECK(feed.waits <= feed.in->stream_size + 2);
    deliver();
    return real_poll(fds, count, timeout_ms);
}

extern "C" int usleep(useconds_t us)
{
    if (!feed.active) {
        struct timespec ts;
        ts.tv_sec = us / 1000000;
        ts.tv_nsec = static_cast<long>(us % 1000000) * 1000L;
        return ::nanosleep(&ts, nullptr);
    }
    feed.pauses++;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Standard output goes to a file that each run empties and reads back.
    std::FILE* out = std::tmpfile();
    FUZZ_CHECK(out != nullptr);
    std::fflush(stdout);
    FUZZ_CHECK(::dup2(fileno(out), STDOUT_FILENO) == STDOUT_FILENO);
    std::fclose(out);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::ChunkedInput in(data, size);
    int fds[2];
    FUZZ_CHECK(::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0);
    // The input must fit in the pipe, as the writer never waits.
    if (in.stream_size > static_cast<std::size_t>(::fcntl(fds[1], F_GETPIPE_SZ))) {
        ::close(fds[0]);
        ::close(fds[1]);
        return -1;  // not added to the corpus
    }

    std::fflush(stdout);
    FUZZ_CHECK(::ftruncate(STDOUT_FILENO, 0) == 0);
    FUZZ_CHECK(std::fseek(stdout, 0, SEEK_SET) == 0);

    feed = Feed();
    feed.in = &in;
    feed.read_fd = fds[0];
    feed.write_fd = fds[1];
    poll_events.fd = fds[0];
    poll_events.events = POLLIN | POLLERR;
    poll_events.revents = 0;

    feed.active = true;
    recv_data(fds[0]);
    feed.active = false;

    FUZZ_CHECK(feed.waits > 0);  // the seam is in place
    FUZZ_CHECK(feed.written == in.stream_size);
    FUZZ_CHECK(feed.write_fd == -1);
    FUZZ_CHECK(feed.consumed == in.stream_size);
    int left = -1;
    FUZZ_CHECK(::ioctl(fds[0], FIONREAD, &left) == 0 && left == 0);
    FUZZ_CHECK(feed.pauses <= feed.waits);

    std::fflush(stdout);
    off_t printed = ::lseek(STDOUT_FILENO, 0, SEEK_END);
    FUZZ_CHECK(printed >= 0 && static_cast<std::size_t>(printed) == feed.expected.size());
    std::string got(feed.expected.size(), '\0');
    FUZZ_CHECK(::pread(STDOUT_FILENO, &got[0], got.size(), 0) == printed);
    FUZZ_CHECK(got == feed.expected);

    ::close(fds[0]);
    return 0;
}
