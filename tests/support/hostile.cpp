#include "hostile.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

constexpr int kPage = 4096;

// utime and stime of one process, or 0 when it is gone.
long ticks_of(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    if (!std::getline(f, all) || all.rfind(')') == std::string::npos)
        return 0;
    // After "pid (name)": state is field 3, utime and stime fields 14 and 15.
    std::istringstream rest(all.substr(all.rfind(')') + 1));
    std::string field;
    long t = 0;
    for (int i = 3; i <= 15 && rest >> field; i++)
        if (i >= 14)
            t += std::stol(field);
    return t;
}

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

std::string Hostile::hang_up()
{
    if (::ioctl(tty.slave.get(), TIOCVHANGUP) == 0)
        return "";
    return std::string("cannot hang up the terminal (TIOCVHANGUP): ") + std::strerror(errno);
}

long group_ticks(pid_t pid)
{
    long t = ticks_of(pid);
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t c; children >> c;)
        t += ticks_of(c);
    return t;
}

void expect_no_spin(Process& p, const std::string& what, bool read_output)
{
    // Over half a second a spinning process takes about 50 ticks; one that
    // waits takes none, or one or two for a sanitizer's own thread. Its
    // output is read meanwhile, or a full pipe would stop the spin.
    const long before = group_ticks(p.pid());
    const Deadline end = after(milliseconds(500));
    if (read_output)
        p.wait_output("\x01\x02\x03", milliseconds(500));
    std::this_thread::sleep_until(end);
    const long used = group_ticks(p.pid()) - before;
    EXPECT_LE(used, 5) << what << ": " << used << " ticks of processor time in half a second";
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
