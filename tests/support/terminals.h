// Test support, terminals: pseudo-terminal pairs, raw mode, settings.
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

}  // namespace testsupport
