#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "freeport.h"
#include "processes.h"

namespace testsupport {

bool write_all(int fd, const void* data, size_t len);
inline bool write_all(int fd, const std::string& s) { return write_all(fd, s.data(), s.size()); }

// True when u was met before the deadline (the end: a 0 read or a reset).
bool read_until(int fd, std::string& acc, const Until& u, Deadline d);
// What a read got, and (as a bool) whether it met what it waited for.
struct Got : std::string {
    bool met = false;
    explicit operator bool() const { return met; }
};
void PrintTo(const Got& g, std::ostream* os);
Got read_until(int fd, const Until& u, Deadline d);
int queued(int fd);  // bytes waiting to be read; -1 on error

// Does not connect, so it takes no client slot of a server.
bool wait_listening(uint16_t port, Deadline d);
Fd connect_tcp(uint16_t port, Deadline d);
// One attempt, ended by the deadline even on a full listen queue; rcvbuf > 0 is set before connecting.
Fd connect_bounded(uint16_t port, Deadline d, int rcvbuf = 0);
// The server's end of client's connection in /proc/net/tcp: state (1 established, -1 gone), timer (2 keep-alive).
struct TcpEnd { int state = -1, timer = -1; long ticks = -1; };
TcpEnd server_end(uint16_t server_port, int client);
void set_reset_on_close(int fd);

// Starts a server whose only argument is its port (or `arg`) and waits until it listens.
Process start_server(const std::string& bin, uint16_t port, const SpawnOptions& o = {}, const std::string& arg = "");
void echo_once(int fd, const std::string& data);
Fd echoed(uint16_t port, const std::string& text);
void expect_quiet(int fd, const std::string& what = "unexpected bytes");

// All clients once the n new ones are served and every one has read past the last one's marker (n = 0: only that).
std::vector<Fd> join_clients(uint16_t port, size_t n, std::vector<Fd> clients = {}, int rcvbuf = 0);

// Usage, a port text read to its first non-digit and cut to 16 bits, a port in use, a restart with clients connected.
void expect_server_command_line(const std::string& bin, const std::string& usage,
                                const std::function<std::vector<Fd>(uint16_t port)>& serve);

}  // namespace testsupport
