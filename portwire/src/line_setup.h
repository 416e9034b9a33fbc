// Line settings of the raw serial port, kept apart from the rest of the port
// code because they need the kernel's own terminal headers (see line_setup.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {
namespace arch {
namespace net {

// Sets fd raw, 8N1, receiver on, modem lines ignored, no flow control, with
// both speeds set to baud through the explicit-rate request. Returns the
// result of the request (-1 when the device refuses it).
int apply_line_settings(int fd, std::uint32_t baud);

// Bytes of a saved settings record: the kernel's termios2, opaque to callers.
constexpr std::size_t kSavedLineSize = 44;

// How a record was saved, and so how it is put back.
enum saved_line_form : int {
    LINE_NOT_SAVED = 0,  // the settings could not be read: nothing to put back
    LINE_TERMIOS2 = 1,   // the whole record, explicit rates included
    LINE_TERMIOS = 2,    // its first part only: the request without rates (the emulator)
};

// Reads fd's current settings into record; returns the form they were read in.
int save_line_settings(int fd, unsigned char (&record)[kSavedLineSize]);

// Puts back a record from save_line_settings() once the output queued on fd
// has gone out at the rate it was written at. Does nothing for
// LINE_NOT_SAVED. Returns the result of the request.
int restore_line_settings(int fd, const unsigned char (&record)[kSavedLineSize], int form);

}  // namespace net
}  // namespace arch
}  // namespace orv
