// The one free-port finder of the tests, the benchmarks and the scripts
// (through the program free_port). Free of the test framework.
#pragma once

#include <cstdint>

// A TCP port that was free on every local address a moment ago, 0 when none
// was found. It is drawn at random from below the kernel's range for
// outgoing connections: a port from inside that range could be taken, a
// moment later, as the local end of some client's connection, and the
// server started on it would then fail to listen.
std::uint16_t free_tcp_port();
