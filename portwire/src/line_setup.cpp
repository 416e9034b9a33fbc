// termios2 set-up of the raw serial port.
//
// This file uses the kernel's <asm/termbits.h> (struct termios2, BOTHER) and
// <asm/ioctls.h> (TCSETS2) to set any integer baud rate. Those headers define
// struct termios and the terminal constants differently from glibc's
// <termios.h>, so the two cannot meet in one translation unit: this file must
// never include <termios.h>, directly or through another header.
#include "line_setup.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace orv {
namespace arch {
namespace net {

int apply_line_settings(int fd, std::uint32_t baud)
{
    // Start from all zeros: the device's current settings are not taken over.
    // Zero iflag/oflag/lflag: no input or output processing, non-canonical,
    // no echo, no signal characters. Zero c_cc: VMIN = VTIME = 0, so a read
    // returns at once with what is there. Clear bits in cflag: one stop bit,
    // no parity, no hardware flow control, no hang-up on close.
    struct termios2 tio {};
    tio.c_cflag = BOTHER | CLOCAL | CREAD | CS8;
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ::ioctl(fd, TCSETS2, &tio);
}

}  // namespace net
}  // namespace arch
}  // namespace orv
