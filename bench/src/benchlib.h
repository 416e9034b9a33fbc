// Helpers shared by the benchmark tools: the clocks, /proc readings of a
// server, loopback sockets, the free-port finder, options, and the series
// runner that starts each server, measures it in a child process and writes
// the medians of the repeats as CSV. Header-only: each tool is one source.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace bench {

inline pid_t running_server = -1;  // stopped by die() in the parent

[[noreturn]] inline void die(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("error: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    if (running_server > 0)
        kill(running_server, SIGTERM);
    exit(2);
}

// The clocks, in nanoseconds: monotonic, this thread's CPU, this process's CPU.
inline int64_t clock_ns(clockid_t c)
{
    timespec ts;
    clock_gettime(c, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}
inline int64_t now_ns() { return clock_ns(CLOCK_MONOTONIC); }

// User plus system time of a whole process in seconds, from fields 14 and 15
// of /proc/PID/stat; one clock tick (10 ms) resolution. -1 when unreadable.
inline double proc_cpu_s(int pid)
{
    char path[64], buf[1024];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char* p = strrchr(buf, ')');  // the command name may hold spaces
    unsigned long long ut, st;
    if (!p || sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2)
        return -1;
    return (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
}

// VmSize and VmRSS in KiB and the thread count, from /proc/PID/status.
inline void proc_mem(int pid, double& size_kib, double& rss_kib, double& threads)
{
    char path[64], line[256];
    snprintf(path, sizeof(path), "/proc/%d/status", pid);
    size_kib = rss_kib = threads = -1;
    FILE* f = fopen(path, "r");
    while (f && fgets(line, sizeof(line), f)) {
        sscanf(line, "VmSize: %lf", &size_kib);
        sscanf(line, "VmRSS: %lf", &rss_kib);
        sscanf(line, "Threads: %lf", &threads);
    }
    if (f)
        fclose(f);
}

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    return a;
}

// A TCP port free at the moment, taken from 20000-29999, below the kernel's
// range for outgoing connections, so that the clients' own ports never take it.
inline int free_port()
{
    const int first = 20000, span = 10000;
    int start = (int)(((unsigned)time(nullptr) * 7919u + (unsigned)getpid() * 104729u) % span);
    for (int i = 0; i < span; i++) {
        sockaddr_in a = loopback(first + (start + i) % span);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int ok = bind(fd, (sockaddr*)&a, sizeof(a));
        close(fd);
        if (ok == 0)
            return first + (start + i) % span;
    }
    die("no free port");
}

// Connects to 127.0.0.1:port, retrying while the server is still starting.
inline int connect_loopback(int port, int64_t deadline_ns)
{
    sockaddr_in a = loopback(port);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            die("socket: %s", strerror(errno));
        if (connect(fd, (sockaddr*)&a, sizeof(a)) == 0)
            return fd;
        int e = errno;
        close(fd);
        if ((e != ECONNREFUSED && e != EINTR) || now_ns() > deadline_ns)
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
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = loopback(port);
    if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof(a)) != 0 || listen(fd, 64) != 0)
        die("listen on port %d: %s", port, strerror(errno));
    return fd;
}

// Value at quantile q (0..1) of v by the nearest-rank rule; v gets sorted.
inline double quantile(std::vector<double>& v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t rank = std::clamp<size_t>((size_t)(q * (double)v.size() + 0.999999), 1, v.size());
    return v[rank - 1];
}

// The median of repeated runs: the mean of the middle two for an even count.
inline double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Options --name value, each asked for once; what follows them is rest.
struct Args {
    std::map<std::string, std::string> opt;
    std::vector<std::string> rest;
    Args(int argc, char** argv)
    {
        int i = 1;
        for (; i < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
            if (i + 1 >= argc)
                die("option %s needs a value", argv[i]);
            opt[argv[i] + 2] = argv[i + 1];
        }
        rest.assign(argv + i, argv + argc);
    }
    std::string str(const char* name, const char* def)
    {
        auto it = opt.find(name);
        std::string v = it == opt.end() ? def : it->second;
        if (it != opt.end())
            opt.erase(it);
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
    std::vector<int> list(const char* name, const char* def)
    {
        std::vector<int> v;
        std::string s = str(name, def);
        for (const char* p = s.c_str(); *p; p += *p == ',')
            v.push_back((int)strtol(p, (char**)&p, 10));
        return v;
    }
    void done()  // after every option was asked for: catches misspelt names
    {
        if (!opt.empty())
            die("unknown option --%s", opt.begin()->first.c_str());
    }
};

// Appends line to the CSV file, with the header first when the file is new,
// and shows it.
inline void csv(const std::string& file, const std::string& header, const std::string& line)
{
    FILE* f = fopen(file.c_str(), "a");
    if (!f)
        die("cannot write %s: %s", file.c_str(), strerror(errno));
    if (ftell(f) == 0)
        fprintf(f, "%s\n", header.c_str());
    fprintf(f, "%s\n", line.c_str());
    fclose(f);
    printf("%s\n", line.c_str());
    fflush(stdout);
}

inline std::string fmt(double v)
{
    char b[32];
    snprintf(b, sizeof(b), v >= 1000 || v <= -1000 ? "%.0f" : "%.4g", v);
    return b;
}

// A server under test: LABEL=COMMAND, the command run by the shell with
// PORT set in its environment.
struct Server {
    std::string label, cmd;
    int port = 0, pid = -1;
};
inline std::vector<Server> servers(const std::vector<std::string>& specs)
{
    std::vector<Server> v;
    for (const std::string& s : specs) {
        if (s.find('=') == std::string::npos)
            die("server '%s' is not LABEL=COMMAND", s.c_str());
        v.push_back({s.substr(0, s.find('=')), s.substr(s.find('=') + 1)});
    }
    if (v.empty())
        die("no servers (LABEL=COMMAND after the options)");
    return v;
}

struct Metric {
    const char* name;
    bool range;  // also the least and the most of the runs
};
using Row = std::vector<double>;

// For each repeat, each server in turn: starts it on a free port (its output
// to /dev/null), runs measure(server) in a child process, so that every run
// starts from a fresh state, and stops the server by its pid; an echo server
// (ends_itself) must end by itself within 5 s of its last client. Then appends
// per server its configuration, the number of runs and the medians to the CSV.
template <class F>
void series(const std::string& file, const std::string& head, const std::string& config,
            std::vector<Server>& servers, int repeats, bool ends_itself, double time_limit,
            const std::vector<Metric>& metrics, F measure)
{
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
            Row row(metrics.size());
            ssize_t got = read(p[0], row.data(), row.size() * sizeof(double));
            close(p[0]);
            int status = 0, st = 0;
            waitpid(child, &status, 0);
            bool ended = false;
            for (int k = 0; ends_itself && k < 50 && !ended; k++)
                if (!(ended = waitpid(s.pid, &st, WNOHANG) == s.pid))
                    usleep(100000);
            if (!ended) {
                kill(s.pid, SIGTERM);
                waitpid(s.pid, &st, 0);
            }
            running_server = -1;
            if (ends_itself && !ended)
                die("%s did not end after its last client", s.label.c_str());
            if (status != 0 || got != (ssize_t)(row.size() * sizeof(double)))
                die("run %d of %s failed", r + 1, s.label.c_str());
            rows[i].push_back(row);
        }
    std::string h = "server," + head + ",runs";
    for (const Metric& m : metrics)
        h += std::string(",") + m.name + (m.range ? std::string(",") + m.name + "_min," + m.name + "_max" : "");
    for (size_t i = 0; i < servers.size(); i++) {
        std::string line = servers[i].label + "," + config + "," + std::to_string(repeats);
        for (size_t k = 0; k < metrics.size(); k++) {
            std::vector<double> v;
            for (const Row& row : rows[i])
                v.push_back(row[k]);
            line += "," + fmt(median(v));
            if (metrics[k].range)
                line += "," + fmt(*std::min_element(v.begin(), v.end())) + "," + fmt(*std::max_element(v.begin(), v.end()));
        }
        csv(file, h, line);
    }
}

}  // namespace bench
