#include "hostile.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

namespace testsupport {

namespace {

constexpr int kPage = 4096;

}  // namespace

Hostile::Hostile(Condition c) : cond(c)
{
    if (c == Condition::HungUpTerminal)
        tty = open_pty(false);
}

SpawnOptions Hostile::options(SpawnOptions o) const
{
    switch (cond) {
    case Condition::ClosedStdFds:
        o.close_stdin = o.close_stdout = true;
        break;
    case Condition::DevFull:
        o.stdout_file = "/dev/full";
        break;
    case Condition::HungUpTerminal:
        o.stdin_file = tty.slave_path;
        break;
    case Condition::InputDirectory:
        o.stdin_file = "/";
        break;
    default:
        break;
    }
    return o;
}

void Hostile::started(Process& p) const
{
    if (cond == Condition::UnreadPipe) {
        EXPECT_EQ(::fcntl(p.out(), F_SETPIPE_SZ, kPage), kPage) << std::strerror(errno);
    }
    if (cond == Condition::GoneReader)
        p.close_output();
}


long group_ticks(pid_t pid)
{
    long t = std::max(cpu_ticks(pid), 0L);
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t c; children >> c;)
        t += std::max(cpu_ticks(c), 0L);
    return t;
}

void expect_no_spin(Process& p, const std::string& what, bool read_output)
{
    // Over half a second a spinning process takes about 50 ticks; one that
    // waits takes none, or a few for a sanitizer's own thread or its start. Its
    // output is read meanwhile, or a full pipe would stop the spin.
    const long before = group_ticks(p.pid());
    const Deadline end = after(milliseconds(500));
    if (read_output)
        p.wait_output("\x01\x02\x03", milliseconds(500));
    std::this_thread::sleep_until(end);
    const long used = group_ticks(p.pid()) - before;
#if defined(__SANITIZE_THREAD__)
    // The thread sanitizer's own thread visits every thread of the program
    // several times a second: with a full relay's 256 that takes up to a
    // third of a core. Half a core is still well below a spin.
    const long limit = 25;
#else
    // On the emulated board a program's start and loading alone takes
    // several ticks of its slower processor; a quarter of a core is still
    // far from a spin.
    const long limit = 12;
#endif
    EXPECT_LE(used, limit) << what << ": " << used << " ticks of processor time in half a second";
}

int queued(int fd)
{
    int n = -1;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool wait_pipe_full(int fd, int room, milliseconds t)
{
    return poll_until([&] { return queued(fd) > kPage - room; }, after(t));
}

}  // namespace testsupport
