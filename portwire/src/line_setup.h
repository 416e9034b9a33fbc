// Line settings of the raw serial port, kept apart from the rest of the port
// code because they need the kernel's own terminal headers (see line_setup.cpp).
#pragma once

#include <cstdint>

namespace orv {
namespace arch {
namespace net {

// Sets fd raw, 8N1, receiver on, modem lines ignored, no flow control, with
// both speeds set to baud through the explicit-rate request. Returns the
// result of the request (-1 when the device refuses it).
int apply_line_settings(int fd, std::uint32_t baud);

}  // namespace net
}  // namespace arch
}  // namespace orv
