// Helpers shared by the benchmark tools: /proc readings of a server, loopback
// sockets, the free port, options, and the series runner that starts each
// server, measures it in a child process and writes the medians of the
// repeats as CSV. Header-only: each tool is one source.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "freeport.h"
#include "toolset/monoclock.h"

namespace bench {

inline pid_t running_server = -1;  // the parent's server, stopped by die()

[[noreturn]] inline void die(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("error: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    if (running_server > 0)
        kill(running_server, SIGTERM);
    exit(2);
}

// A CPU-time clock, a thread's or a process's, in microseconds.
inline double cpu_us(clockid_t c)
{
    timespec ts;
    clock_gettime(c, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

// User plus system time of a whole process in seconds, from fields 14 and 15
// of /proc/PID/stat; one clock tick (10 ms) resolution. -1 when unreadable.
inline double proc_cpu_s(int pid)
{
    char path[64], buf[1024] = "";  // read up to sizeof - 1: the end stays 0
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    if (n == 0)
        return -1;
    const char* p = strrchr(buf, ')');  // the command name may hold spaces
    unsigned long long ut, st;
    if (!p || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return -1;
    return (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
}

// VmSize and VmRSS (KiB) and Threads from /proc/PID/status; -1 when absent.
inline std::vector<double> proc_mem(int pid)
{
    std::vector<double> v(3, -1);
    char path[64], line[256];
    snprintf(path, sizeof(path), "/proc/%d/status", pid);
    FILE* f = fopen(path, "r");
    while (f && fgets(line, sizeof(line), f)) {
        sscanf(line, "VmSize: %lf", &v[0]);
        sscanf(line, "VmRSS: %lf", &v[1]);
        sscanf(line, "Threads: %lf", &v[2]);
    }
    if (f)
        fclose(f);
    return v;
}

// A free port by the tests' rule (below the kernel's range for outgoing
// connections, so that the clients' own ports never take it).
inline int free_port()
{
    const int port = free_tcp_port();
    if (port == 0)
        die("no free port");
    return port;
}

// Connects to 127.0.0.1:port, retrying while the server is still starting.
inline int connect_loopback(int port, uint64_t deadline_us)
{
    for (sockaddr_in a = {AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}};;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && connect(fd, (sockaddr*)&a, sizeof(a)) == 0)
            return fd;
        int e = errno;
        close(fd);
        if ((e != ECONNREFUSED && e != EINTR) || mono_us() > deadline_us)
            die("connect to port %d: %s", port, strerror(e));
        usleep(20 * 1000);
    }
}

inline void set_nodelay(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// Value at quantile q (0..1) of v by the nearest-rank rule; v gets sorted.
inline double quantile(std::vector<double>& v, double q)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::clamp<size_t>((size_t)(q * (double)v.size() + 0.999999), 1, v.size()) - 1];
}

// Options --name value, each asked for once; what follows them is rest.
struct Args {
    std::map<std::string, std::string> opt;
    std::vector<std::string> rest;
    Args(int argc, char** argv)
    {
        int i = 1;
        for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2)
            opt[argv[i] + 2] = argv[i + 1];
        rest.assign(argv + i, argv + argc);
    }
    std::string str(const char* name, const char* def)
    {
        std::string v = opt.count(name) ? opt[name] : def;
        opt.erase(name);
        return v;
    }
    double num(const char* name, double def)
    {
        std::string s = str(name, "");
        char* end = nullptr;
        double d = s.empty() ? def : strtod(s.c_str(), &end);  // 1e8 as well as 100000000
        if (!s.empty() && (*end || d < 0))
            die("option --%s: bad number '%s'", name, s.c_str());
        return d;
    }
    void done()  // after every option was asked for: catches misspelt names
    {
        if (!opt.empty())
            die("unknown option --%s", opt.begin()->first.c_str());
    }
};

inline std::string fmt(double v)
{
    char b[32];
    snprintf(b, sizeof(b), v >= 1000 || v <= -1000 ? "%.0f" : "%.4g", v);
    return b;
}

// Appends a row to the CSV file (the header first when the file is new) and shows it.
inline void csv(const std::string& file, const std::string& header, const std::vector<std::string>& cells)
{
    std::string line = cells[0];
    for (size_t i = 1; i < cells.size(); i++)
        line += "," + cells[i];
    FILE* f = fopen(file.c_str(), "a");
    if (!f || (ftell(f) == 0 && fprintf(f, "%s\n", header.c_str()) < 0) || fprintf(f, "%s\n", line.c_str()) < 0 ||
        fclose(f) != 0)
        die("cannot write %s", file.c_str());
    printf("%s\n", line.c_str());
    fflush(stdout);
}

// A server under test, given as LABEL=COMMAND: the shell runs the command
// with PORT set in its environment.
struct Server {
    std::string label, cmd;
    int port, pid;
};
using Row = std::vector<double>;

// For each repeat, each server in turn: starts it on a free port (its output
// to /dev/null), runs measure(server) in a child process, so that every run
// starts from a fresh state, and stops the server by its pid; an echo server
// (ends_itself) must end by itself within 5 s of its last client. Then
// appends a row per server: its label, config, the runs and the medians of
// the metrics (names, a space between; name* adds the least and the most).
template <class F>
void series(const std::string& file, const std::string& head, const std::string& config,
            const std::vector<std::string>& commands, int repeats, bool ends_itself, double time_limit,
            const std::string& metrics, F measure)
{
    std::string h = "server," + head + ",runs";
    std::vector<bool> range;
    for (size_t at = 0, end; at < metrics.size(); at = end + 1) {
        end = std::min(metrics.find(' ', at), metrics.size());
        std::string m = metrics.substr(at, end - at), name = m.substr(0, m.find('*'));
        range.push_back(name.size() < m.size());
        h += "," + name + (range.back() ? "," + name + "_min," + name + "_max" : "");
    }
    std::vector<Server> servers;
    for (const std::string& s : commands)
        if (s.find('=') != std::string::npos)
            servers.push_back({s.substr(0, s.find('=')), s.substr(s.find('=') + 1), 0, -1});
    if (servers.empty() || servers.size() != commands.size() || repeats < 1)
        die("need a repeat of 1 or more and servers, LABEL=COMMAND after the options");
    std::vector<std::vector<Row>> rows(servers.size());
    for (int r = 0; r < repeats; r++)
        for (size_t i = 0; i < servers.size(); i++) {
            Server& s = servers[i];
            s.port = free_port();
            fflush(stdout);
            if ((s.pid = running_server = fork()) == 0) {
                setenv("PORT", std::to_string(s.port).c_str(), 1);
                dup2(open("/dev/null", O_WRONLY), 1);
                execl("/bin/sh", "sh", "-c", ("exec " + s.cmd).c_str(), (char*)nullptr);
                _exit(127);
            }
            int p[2];
            if (pipe(p) != 0)
                die("pipe: %s", strerror(errno));
            pid_t child = fork();
            if (child == 0) {
                running_server = -1;
                alarm((unsigned)time_limit + 30);  // a hang ends the run
                Row row = measure(s);
                _exit(write(p[1], row.data(), row.size() * sizeof(double)) > 0 ? 0 : 3);
            }
            close(p[1]);
            Row row(range.size());
            ssize_t got = read(p[0], row.data(), row.size() * sizeof(double));
            int status = 0;
            close(p[0]);
            waitpid(child, &status, 0);
            bool ok = status == 0 && got == (ssize_t)(row.size() * sizeof(double)), ended = false;
            for (int k = 0; ok && ends_itself && k < 50 && !ended; k++) {
                ended = waitpid(s.pid, nullptr, WNOHANG) == s.pid;
                usleep(ended ? 0 : 100000);
            }
            if (!ended && kill(s.pid, SIGTERM) == 0)
                waitpid(s.pid, nullptr, 0);
            running_server = -1;
            if (!ok)
                die("run %d of %s failed", r + 1, s.label.c_str());
            if (ends_itself && !ended)
                die("%s did not end after its last client", s.label.c_str());
            rows[i].push_back(row);
        }
    for (size_t i = 0; i < servers.size(); i++) {
        std::vector<std::string> cells = {servers[i].label, config, std::to_string(repeats)};
        for (size_t k = 0; k < range.size(); k++) {
            std::vector<double> v;
            for (const Row& row : rows[i])
                v.push_back(row[k]);
            std::sort(v.begin(), v.end());  // the median: the mean of the middle two for an even count
            cells.push_back(fmt((v[v.size() / 2] + v[(v.size() - 1) / 2]) / 2));
            if (range[k])
                cells.insert(cells.end(), {fmt(v.front()), fmt(v.back())});
        }
        csv(file, h, cells);
    }
}

}  // namespace bench
