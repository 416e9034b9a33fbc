#include "freeport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>


std::uint16_t free_tcp_port()
{
    int low = 32768;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low;
    const int first = 10000, count = low > first + 1000 ? low - first : 1000;
    // Seeded from the kernel's entropy: two tests that CTest starts side by
    // side have neighbouring pids and clocks, whose mix could be the same
    // seed, hence the same port, one server then talking to both tests.
    static std::minstd_rand pick(std::random_device{}());
    for (int attempt = 0; attempt < 1000; attempt++) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return 0;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<std::uint16_t>(first + static_cast<int>(pick() % static_cast<unsigned>(count))));
        const bool bound = ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0;
        ::close(s);
        if (bound)
            return ntohs(a.sin_port);
    }
    return 0;
}
