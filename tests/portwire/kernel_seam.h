// Test seam around the system calls of the serial port, linked with
// --wrap=ioctl,pipe,fcntl into the portwire test: it records the ioctl
// requests (so the DTR requests can be seen on a pseudo-terminal, which has no
// modem lines), lets a test make the cancellation pipe fail or land on high
// descriptors, and reads terminal settings back through termios2.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace seam {

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

// Request numbers and modem-line bits of the Linux kernel.
extern const unsigned long kTCSETS2;
extern const unsigned long kTIOCMBIS;
extern const unsigned long kTIOCMBIC;
extern const unsigned long kFIONREAD;
extern const int kTIOCM_DTR;

// Clears the log and every injected behaviour.
void reset();
// All ioctl requests since the last reset, in call order.
std::vector<IoctlCall> calls();
// Count of FIONREAD requests on fd since the last reset.
int fionread_count(int fd);
// Waits until fd has seen at least n FIONREAD requests, or the deadline.
bool wait_fionread(int fd, int n, std::chrono::steady_clock::time_point deadline);

// The next pipe() fails with EMFILE.
void fail_next_pipe();
// The next pipe()'s read end reports F_GETFL failure, so it stays blocking.
void keep_next_pipe_read_blocking();
// The ends of later pipes are moved to descriptors at or above floor (-1: off).
void set_pipe_floor(int floor);
// Ends of the last pipe made through the seam; -1 when none.
int last_pipe_read_end();

// Reads fd's settings with the termios2 request; nothing when the request
// fails (as it does under the emulator).
std::optional<LineRecord> read_line_settings(int fd);

}  // namespace seam
