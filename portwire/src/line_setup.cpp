// termios2 set-up of the raw serial port, and the saving and putting back of
// the settings a port had before.
//
// This file uses the kernel's <asm/termbits.h> (struct termios2, BOTHER) and
// <asm/ioctls.h> (TCSETS2, TCGETS2, TCSETSW2) to set and keep any integer
// baud rate. Those headers define struct termios and the terminal constants
// differently from glibc's <termios.h>, so the two cannot meet in one
// translation unit: this file must never include <termios.h>, directly or
// through another header.
#include "line_setup.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <sys/ioctl.h>

#include <cstddef>
#include <cstring>

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

static_assert(sizeof(struct termios2) == kSavedLineSize, "a saved record holds one termios2");
// The fallback requests read and write the kernel's struct termios, which is
// termios2 without the two rates at its end.
static_assert(sizeof(struct termios) == offsetof(struct termios2, c_ispeed) &&
                  offsetof(struct termios, c_cc) == offsetof(struct termios2, c_cc),
              "struct termios is the start of termios2");

int save_line_settings(int fd, unsigned char (&record)[kSavedLineSize])
{
    struct termios2 tio {};
    int form = LINE_NOT_SAVED;
    if (::ioctl(fd, TCGETS2, &tio) == 0)
        form = LINE_TERMIOS2;
    else if (::ioctl(fd, TCGETS, &tio) == 0)  // no termios2 requests (qemu-arm 7.2)
        form = LINE_TERMIOS;
    std::memcpy(record, &tio, sizeof(tio));
    return form;
}

int restore_line_settings(int fd, const unsigned char (&record)[kSavedLineSize], int form)
{
    struct termios2 tio;
    std::memcpy(&tio, record, sizeof(tio));
    unsigned long request;
    if (form == LINE_TERMIOS2)
        request = TCSETSW2;
    else if (form == LINE_TERMIOS)
        request = TCSETSW;
    else
        return 0;
    // The wait for the queued output is interruptible; a signal there would
    // leave the settings unapplied. The wait is bounded by the line: the
    // port's own settings have no flow control that could stop the output.
    int r;
    do {
        r = ::ioctl(fd, request, &tio);
    } while (r == -1 && errno == EINTR);
    return r;
}

}  // namespace net
}  // namespace arch
}  // namespace orv
