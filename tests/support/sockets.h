// Test support, sockets and descriptors: read and write with deadlines, find
// a free port, wait for a server to listen, connect to it on loopback, join
// clients to a relay, and check a server's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "freeport.h"
#include "processes.h"

namespace testsupport {

// Writes all bytes (blocking descriptor); false on error.
bool write_all(int fd, const void* data, size_t len);
inline bool write_all(int fd, const std::string& s) { return write_all(fd, s.data(), s.size()); }

// Reads exactly n bytes or until the deadline, end of stream or an error;
// returns what arrived.
std::string read_exact(int fd, size_t n, Deadline d);

// Reads what arrives until the deadline or end of stream.
inline std::string read_until_eof(int fd, Deadline d) { return read_exact(fd, std::string::npos, d); }

// Reads until `needle` has been seen in `acc` (which keeps everything read),
// end of stream or the deadline. True when the needle was found.
bool read_until(int fd, std::string& acc, const std::string& needle, Deadline d);

// True when the peer has closed: a read returns 0 (or fails with a reset)
// before the deadline. Data that arrives first is discarded.
bool wait_eof(int fd, Deadline d);

// True when fd becomes readable before the deadline.
bool wait_readable(int fd, Deadline d);
// Bytes waiting to be read on a pipe, socket or terminal; -1 on error.
int queued(int fd);

// Waits until some socket listens on port (IPv4, any address); does not
// connect, so it consumes no client slot of a server.
bool wait_listening(uint16_t port, Deadline d);
// Connects to 127.0.0.1:port; invalid Fd on failure.
Fd connect_tcp(uint16_t port, Deadline d);
// Connects to 127.0.0.1:port in one attempt that ends by the deadline, also
// when the server's listen queue is full (a blocking connect would wait
// minutes there); with rcvbuf > 0 the socket's receive buffer is set to that
// size before connecting. Invalid Fd on failure.
Fd connect_bounded(uint16_t port, Deadline d, int rcvbuf = 0);
// A server's end of the connection whose client end is `client`, from
// /proc/net/tcp: the TCP state (1 established; -1 once the server has let it
// go) and the armed timer (2 keep-alive) with the clock ticks until it fires.
struct TcpEnd {
    int state = -1, timer = -1;
    long ticks = -1;
};
TcpEnd server_end(uint16_t server_port, int client);
// Makes the next close of fd send a reset instead of a normal end.
void set_reset_on_close(int fd);

// Starts a server program that takes its TCP port as its only argument (the
// text `arg` instead of the number when given) and waits until it listens.
Process start_server(const std::string& bin, uint16_t port, const SpawnOptions& o = {}, const std::string& arg = "");

// Writes data to a socket and expects the same bytes back.
void echo_once(int fd, const std::string& data);
// Connects a client to the server on port and has text echoed to it once.
Fd echoed(uint16_t port, const std::string& text);
// Expects nothing more to arrive on fd for a short while.
void expect_quiet(int fd, const std::string& what = "unexpected bytes");

// For a relay that sends each client's bytes to every client: connects n
// more clients (connect_bounded, with rcvbuf) to `clients` and returns them
// all once every one is in the relay's table and has read everything of the
// joining. Each sends a byte and waits for its copy; then the last sends a
// marker of this join alone, which all read up to with nothing after it.
// With n = 0 the clients only read past what others' joining sent them.
// Stops at the first client that is not served.
std::vector<Fd> join_clients(uint16_t port, size_t n, std::vector<Fd> clients = {}, int rcvbuf = 0);

// The command line of a server that takes its TCP port as its only argument:
// with no or two arguments it prints `usage` on standard output and exits
// 255; it reads the port text up to its first non-digit and cuts it to 16
// bits; a port another socket listens on ends it with "bind() error" and
// status 1; and it starts on its port again at once after it was killed with
// the clients that serve(port) connects and has served still connected (its
// ends of those connections then linger in TIME-WAIT). Every server left
// running stays silent on standard error.
void expect_server_command_line(const std::string& bin, const std::string& usage,
                                const std::function<std::vector<Fd>(uint16_t port)>& serve);

}  // namespace testsupport
