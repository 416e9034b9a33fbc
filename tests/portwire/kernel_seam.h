// The serial port's system calls, linked with --wrap: the ioctl requests recorded, one call failed or cut short.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "processes.h"

namespace testsupport {

struct LineRecord {
    std::uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    std::uint8_t line = 0;
    bool cc_all_zero = false;
    std::uint32_t ispeed = 0, ospeed = 0;
};

struct IoctlCall {
    int fd;
    unsigned long request;
    int int_arg;                     // of the modem-line requests
    dev_t rdev;                      // of fd at the time of the call
    std::optional<LineRecord> line;  // of TCSETS2
};

// The test cannot name it: its header conflicts with <termios.h>.
extern const unsigned long kTCSETS2;

void reset_seam();
std::vector<IoctlCall> ioctl_calls();
// FIONREAD requests on fd since the last reset; wait_fionread waits until there are n.
int fionread_count(int fd);
bool wait_fionread(int fd, int n, Deadline deadline);

// As faultplan.h, counted from now; call ("fcntl", "open", "pipe", "ppoll", "read", "write") a literal
// or nullptr (none).
void inject(const char* call, int nth, int count, int err, int short_len = -1);
int injected_hits();

int last_pipe_read_end();  // -1 when none

// Nothing when the termios2 request fails (under the emulator).
std::optional<LineRecord> read_line_settings(int fd);

}  // namespace testsupport
