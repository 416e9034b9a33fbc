// Test support, terminals: pseudo-terminal pairs, raw mode, and hanging a
// terminal up.
#pragma once

#include <string>

#include "processes.h"

namespace testsupport {

struct Pty {
    Fd master;
    Fd slave;
    std::string slave_path;
};
// Opens a pseudo-terminal pair. With raw set, both ends pass bytes unchanged.
Pty open_pty(bool raw);
// Puts a terminal descriptor into raw mode with the plain termios calls.
bool make_raw(int fd);
// The settings of fd's terminal as text, for comparing them before and
// after: modes, control characters, rates and the exclusive-use flag (-1
// where that cannot be read, as under the emulator).
std::string terminal_settings(int fd);
// Hangs up the terminal of fd (TIOCVHANGUP, as when carrier drops): every
// descriptor of it then reads end of file and fails other requests. Empty on
// success, else why it could not (the request needs CAP_SYS_TTY_CONFIG, and
// an emulator may not pass it on), for a skip message.
std::string hang_up(int fd);

}  // namespace testsupport
