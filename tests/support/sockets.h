// Test support, sockets and descriptors: read and write with deadlines, wait for a server to listen, connect to it on
// loopback, join clients to a relay, check a server's command line.
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

// Reads fd into acc until acc holds u, the stream ends or fails, or the deadline passes; true when u was met
// (Until::met: the end is met by a 0 read or a reset).
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

// Connects n more clients to a relay (connect_bounded, rcvbuf) and returns them all once each is served and has read
// everything of the joining: each echoes a byte, the last sends a marker all read up to with nothing after. With
// n = 0 the clients only read past others' joining. Stops at the first client not served.
std::vector<Fd> join_clients(uint16_t port, size_t n, std::vector<Fd> clients = {}, int rcvbuf = 0);

// The command line of a server taking its port alone: no or two arguments print `usage` and exit 255; the port text is
// read to its first non-digit and cut to 16 bits; a port in use ends it with "bind() error", status 1; it starts on
// its port again at once after being killed with serve(port)'s clients still connected. Every server left running is
// silent on errors.
void expect_server_command_line(const std::string& bin, const std::string& usage,
                                const std::function<std::vector<Fd>(uint16_t port)>& serve);

}  // namespace testsupport
