// Test support, sockets and descriptors: read and write with deadlines, find
// a free port, wait for a server to listen, and connect to it on loopback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace testsupport
