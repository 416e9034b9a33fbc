// The one free-port finder of tests, benchmarks and scripts; with FREE_PORT_PROGRAM, the program free_port.
#ifndef TESTSUPPORT_FREEPORT_H
#define TESTSUPPORT_FREEPORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <random>

// 0 when none was found; drawn below the kernel's range for outgoing connections, which no client can take.
inline std::uint16_t free_tcp_port()
{
    int low = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    const int first = 10000, count = low > first + 1000 ? low - first : 1000;
    // Two tests started side by side have neighbouring pids and clocks: a seed from those could draw the same port.
    static std::minstd_rand pick(std::random_device{}());
    for (int attempt = 0; attempt < 1000; attempt++) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return 0;
        const auto port = static_cast<std::uint16_t>(first + static_cast<int>(pick() % static_cast<unsigned>(count)));
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_ANY)}, {}};
        const bool bound = ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
        ::close(s);
        if (bound)
            return port;
    }
    return 0;
}

#endif

#ifdef FREE_PORT_PROGRAM
#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char**)
{
    const unsigned port = argc > 1 ? 0 : free_tcp_port();
    if (argc > 1)
        std::fputs("usage: free_port (takes no arguments)\n", stderr);
    else if (port == 0 || std::printf("%u\n", port) < 0 || std::fflush(stdout) != 0)
        std::fprintf(stderr, "free_port: no free TCP port found or written: %s\n", std::strerror(errno));
    return port == 0 || std::ferror(stdout) ? 1 : 0;
}
#endif
