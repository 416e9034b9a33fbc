// Test support, terminals: pseudo-terminal pairs, raw mode, hang-ups.
#pragma once

#include <string>

#include "processes.h"

namespace testsupport {

struct Pty {
    Fd master;
    Fd slave;
    std::string slave_path;
};
Pty open_pty(bool raw);
bool make_raw(int fd);
// Modes, control characters, rates and the exclusive flag (-1 where unreadable, as under the emulator).
std::string terminal_settings(int fd);
// TIOCVHANGUP: every descriptor of the terminal then reads its end. Empty on success, else why not (for a skip).
std::string hang_up(int fd);

}  // namespace testsupport
