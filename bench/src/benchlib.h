// What the benchmark tools share (header-only): clocks, /proc readings, loopback clients, options, CSV, the series.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "freeport.h"
#include "toolset/monoclock.h"

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

// A process's user plus system time in s (10 ms resolution), VmSize and VmRSS in KiB, Threads; -1 where unreadable.
inline std::vector<double> proc_usage(int pid)
{
    std::vector<double> v(4, -1);
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat"), status("/proc/" + std::to_string(pid) + "/status");
    std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    unsigned long long ut, st;  // fields 14 and 15, after the command name (which may hold spaces)
    if (s.rfind(')') != std::string::npos &&
        sscanf(s.c_str() + s.rfind(')') + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) == 2)
        v[0] = (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
    for (std::string line; std::getline(status, line);) {
        sscanf(line.c_str(), "VmSize: %lf", &v[1]);
        sscanf(line.c_str(), "VmRSS: %lf", &v[2]);
        sscanf(line.c_str(), "Threads: %lf", &v[3]);
    }
    return v;
}

// A non-blocking client of 127.0.0.1:port, retrying for up to 10 s while the server starts.
inline int connect_loopback(int port, uint64_t deadline_us, bool nodelay)
{
    deadline_us = std::min<uint64_t>(deadline_us, mono_us() + 10000000);
    for (sockaddr_in a = {AF_INET, htons((uint16_t)port), {htonl(INADDR_LOOPBACK)}, {}};;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
        if (fd >= 0 && connect(fd, (sockaddr*)&a, sizeof(a)) == 0) {
            if (nodelay)
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            return fd;
        }
        int e = errno;
        close(fd);
        if ((e != ECONNREFUSED && e != EINTR) || mono_us() > deadline_us)
            die("connect to port %d: %s", port, strerror(e));
        usleep(20 * 1000);
    }
}

// Value at quantile q (0..1) of v by the nearest-rank rule; v gets sorted.
inline double quantile(std::vector<double>& v, double q)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::clamp<size_t>((size_t)(q * (double)v.size() + 0.999999), 1, v.size()) - 1];
}

// Options --name value, then the servers: get() takes one into a variable (a string, or a number not below 0) that
// keeps its value when it is not given; done() refuses names not taken and returns the rest.
struct Args {
    std::map<std::string, std::string> opt;
    std::vector<std::string> rest;
    Args(int argc, char** argv) : rest(argv + 1, argv + argc)
    {
        for (; rest.size() > 1 && rest[0].rfind("--", 0) == 0; rest.erase(rest.begin(), rest.begin() + 2))
            opt[rest[0].substr(2)] = rest[1];
    }
    template <class T>
    Args& get(const char* name, T& var)
    {
        if (!opt.count(name))
            return *this;
        if constexpr (std::is_same_v<T, std::string>) {
            var = opt[name];
        } else {
            char* end = nullptr;
            double d = strtod(opt[name].c_str(), &end);  // 1e8 as well as 100000000
            if (opt[name].empty() || *end || d < 0)
                die("option --%s: bad number '%s'", name, opt[name].c_str());
            var = (T)d;
        }
        opt.erase(name);
        return *this;
    }
    std::vector<std::string> done()
    {
        if (!opt.empty())
            die("unknown option --%s", opt.begin()->first.c_str());
        return rest;
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

struct Server { std::string label, cmd; int port, pid; };
using Row = std::vector<double>;  // a run's metrics

// Each repeat, each server (LABEL=COMMAND, run by the shell with PORT set) in turn: started on a free port, measured
// by measure(server) in a child process, so that every run starts afresh, stopped by its pid (one that ends_itself
// must end within 5 s of its last client). Then a CSV row per server: label, config, runs, the metrics' medians.
template <class F>
void series(const std::string& file, const std::string& head, const std::string& config,
            const std::vector<std::string>& commands, int repeats, bool ends_itself, double time_limit,
            const std::string& metrics, F measure)
{
    std::string h = "server," + head + ",runs";
    std::vector<bool> range;
    std::istringstream names(metrics);
    for (std::string m; names >> m;) {
        range.push_back(m.back() == '*');
        m = m.substr(0, m.find('*'));
        h += "," + m + (range.back() ? "," + m + "_min," + m + "_max" : "");
    }
    std::vector<Server> servers;
    for (const std::string& s : commands)
        if (s.find('=') != std::string::npos)
            servers.push_back({s.substr(0, s.find('=')), s.substr(s.find('=') + 1), 0, -1});
    if (servers.empty() || servers.size() != commands.size() || repeats < 1)
        die("need a repeat of 1 or more and servers, LABEL=COMMAND after the options");
    std::vector<std::vector<Row>> rows(servers.size());  // per server, its runs
    for (int r = 0; r < repeats; r++)
        for (size_t i = 0; i < servers.size(); i++) {
            Server& s = servers[i];
            if ((s.port = free_tcp_port()) == 0)
                die("no free port");
            if ((s.pid = running_server = fork()) == 0) {
                setenv("PORT", std::to_string(s.port).c_str(), 1);
                dup2(open("/dev/null", O_WRONLY), 1);
                execl("/bin/sh", "sh", "-c", ("exec " + s.cmd).c_str(), (char*)nullptr);
                _exit(127);
            }
            int p[2], status = 0;
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
            bool ok = read(p[0], row.data(), row.size() * sizeof(double)) == (ssize_t)(row.size() * sizeof(double));
            close(p[0]);
            ok = waitpid(child, &status, 0) == child && status == 0 && ok;
            bool ended = false;
            for (int k = 0; ok && ends_itself && k < 50 && !ended; k++) {
                ended = waitpid(s.pid, nullptr, WNOHANG) == s.pid;
                usleep(ended ? 0 : 100000);
            }
            if (!ended && kill(s.pid, SIGTERM) == 0)
                waitpid(s.pid, nullptr, 0);
            running_server = -1;
            if (!ok || (ends_itself && !ended))
                die("run %d of %s failed%s", r + 1, s.label.c_str(), ok ? ": it did not end by itself" : "");
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
