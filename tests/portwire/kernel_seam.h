// Test seam around the serial port's system calls (linked with --wrap, see
// CMakeLists.txt): records the ioctl requests, makes one chosen call fail or
// come out short, and reads terminal settings back through termios2.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "processes.h"

namespace testsupport {

// A terminal settings record as the kernel's termios2 holds it.
struct LineRecord {
    std::uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    std::uint8_t line = 0;
    bool cc_all_zero = false;
    std::uint32_t ispeed = 0, ospeed = 0;
};

// One ioctl request made by the code under test.
struct IoctlCall {
    int fd;
    unsigned long request;
    int int_arg;     // the int the argument points to, for the modem-line requests
    dev_t rdev;      // device of fd at the time of the call (0 when unknown)
    std::optional<LineRecord> line;  // the record handed to the set-settings request
};

// The kernel's set-settings request for termios2, which the tests cannot
// name: its header conflicts with <termios.h>.
extern const unsigned long kTCSETS2;

// Clears the log and every injected behaviour.
void reset_seam();
// All ioctl requests since the last reset, in call order.
std::vector<IoctlCall> ioctl_calls();
// FIONREAD requests on fd since the last reset; wait_fionread waits (up to
// the deadline) until there are at least n.
int fionread_count(int fd);
bool wait_fionread(int fd, int n, Deadline deadline);

// Arms one fault: counted from now, the nth call of `call` ("fcntl", "open",
// "pipe", "ppoll", "read" or "write") fails with err, and so do the
// `count` - 1 calls after it (count 0: every call from there). For write,
// short_len >= 0 makes the call pass that many bytes at most instead of
// failing.
void inject(const char* call, int nth, int count, int err, int short_len = -1);
// How often the armed fault has struck.
int injected_hits();

// Read end of the last pipe made through the seam; -1 when none.
int last_pipe_read_end();

// Reads fd's settings with the termios2 request; nothing when the request
// fails (as it does under the emulator).
std::optional<LineRecord> read_line_settings(int fd);

}  // namespace testsupport
