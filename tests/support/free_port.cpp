// free_port: prints one TCP port that is free on 127.0.0.1 at the moment, by
// the tests' rule (freeport.h), for shell scripts and the benchmarks.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "freeport.h"

int main(int argc, char**)
{
    if (argc > 1) {
        std::fputs("usage: free_port (takes no arguments)\n", stderr);
        return 1;
    }
    const unsigned port = free_tcp_port();
    if (port == 0)
        std::fprintf(stderr, "free_port: no free TCP port found: %s\n", std::strerror(errno));
    else if (std::printf("%u\n", port) < 0 || std::fflush(stdout) != 0)
        std::fprintf(stderr, "free_port: cannot write the port: %s\n", std::strerror(errno));
    else
        return 0;
    return 1;
}
