// Small helpers shared by the benchmark tools: clocks, /proc readings of a
// server process, loopback connections and a tiny option parser.
// Header-only: every tool is one source file plus this header.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

[[noreturn]] inline void die(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("error: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(2);
}

inline int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

inline int64_t thread_cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

inline int64_t process_cpu_ns()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// User plus system time of a whole process (all its threads, live and ended),
// in seconds, from fields 14 and 15 of /proc/PID/stat. Resolution: one clock
// tick (usually 10 ms), so measured intervals should burn a second or more.
// Returns -1 when pid is 0 or the file cannot be read.
inline double proc_cpu_s(int pid)
{
    if (pid <= 0)
        return -1;
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The command name (field 2) may hold spaces; fields count from its ')'.
    const char* p = strrchr(buf, ')');
    if (!p)
        return -1;
    p++;
    unsigned long long utime = 0, stime = 0;
    // Fields 3..15 after the name: state, ppid, pgrp, session, tty, tpgid,
    // flags, minflt, cminflt, majflt, cmajflt, utime, stime.
    if (sscanf(p, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return (double)(utime + stime) / (double)sysconf(_SC_CLK_TCK);
}

struct ProcMem {
    long vm_size_kib = -1;
    long vm_rss_kib = -1;
    long vm_hwm_kib = -1;
    long threads = -1;
};

// VmSize, VmRSS, VmHWM and Threads from /proc/PID/status.
inline ProcMem proc_mem(int pid)
{
    ProcMem m;
    if (pid <= 0)
        return m;
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return m;
    char line[256];
    while (fgets(line, sizeof(line), f)) {
        long v;
        if (sscanf(line, "VmSize: %ld", &v) == 1)
            m.vm_size_kib = v;
        else if (sscanf(line, "VmRSS: %ld", &v) == 1)
            m.vm_rss_kib = v;
        else if (sscanf(line, "VmHWM: %ld", &v) == 1)
            m.vm_hwm_kib = v;
        else if (sscanf(line, "Threads: %ld", &v) == 1)
            m.threads = v;
    }
    fclose(f);
    return m;
}

// Connects to 127.0.0.1:port, retrying while the server is still starting
// (connection refused) until deadline_ns. Returns the descriptor.
inline int connect_loopback(int port, int64_t deadline_ns)
{
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            die("socket: %s", strerror(errno));
        if (connect(fd, (sockaddr*)&a, sizeof(a)) == 0)
            return fd;
        int e = errno;
        close(fd);
        if ((e != ECONNREFUSED && e != EAGAIN && e != EINTR) || now_ns() > deadline_ns)
            die("connect to port %d: %s", port, strerror(e));
        usleep(20 * 1000);
    }
}

inline void set_nodelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// Listening socket on 127.0.0.1:port (the bare comparison servers).
inline int listen_loopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        die("socket: %s", strerror(errno));
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (bind(fd, (sockaddr*)&a, sizeof(a)) != 0)
        die("bind port %d: %s", port, strerror(errno));
    if (listen(fd, 64) != 0)
        die("listen: %s", strerror(errno));
    return fd;
}

// Value at quantile q (0..1) of v, by the nearest-rank rule; v gets sorted.
inline double quantile(std::vector<double>& v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t rank = (size_t)(q * (double)v.size() + 0.999999);
    if (rank < 1)
        rank = 1;
    if (rank > v.size())
        rank = v.size();
    return v[rank - 1];
}

// Options of the form --name value; unknown names are an error.
class Options {
public:
    Options(int argc, char** argv)
    {
        for (int i = 1; i < argc; i++) {
            if (strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc)
                die("bad argument '%s' (options are --name value)", argv[i]);
            names_.push_back(argv[i] + 2);
            values_.push_back(argv[i + 1]);
            used_.push_back(false);
            i++;
        }
    }
    std::string str(const char* name, const char* def)
    {
        for (size_t i = 0; i < names_.size(); i++)
            if (names_[i] == name) {
                used_[i] = true;
                return values_[i];
            }
        if (!def)
            die("option --%s is required", name);
        return def;
    }
    long long num(const char* name, long long def, bool required = false)
    {
        std::string s = str(name, required ? nullptr : "");
        if (s.empty())
            return def;
        char* end = nullptr;
        errno = 0;
        double d = strtod(s.c_str(), &end);  // accepts 1e8 as well as 100000000
        if (errno || *end || d < 0)
            die("option --%s: bad number '%s'", name, s.c_str());
        return (long long)d;
    }
    double real(const char* name, double def)
    {
        std::string s = str(name, "");
        if (s.empty())
            return def;
        char* end = nullptr;
        double d = strtod(s.c_str(), &end);
        if (*end)
            die("option --%s: bad number '%s'", name, s.c_str());
        return d;
    }
    // Call after every option was asked for: catches misspelt names.
    void check_all_used()
    {
        for (size_t i = 0; i < names_.size(); i++)
            if (!used_[i])
                die("unknown option --%s", names_[i].c_str());
    }

private:
    std::vector<std::string> names_, values_;
    std::vector<bool> used_;
};

}  // namespace bench
