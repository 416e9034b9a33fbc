// The emulator's synthetic room: what a scanner standing in it measures.
#pragma once

#include <cstdint>

namespace orv {
namespace standalone {
namespace zorlan {
namespace room {

// Angle units per revolution: 1/64 degree.
constexpr std::uint32_t ANGLE_UNITS = 360 * 64;

// Distance code (millimetres times 4; 0 for no return) seen at an angle in
// 1/64 degree, 0 <= angle < ANGLE_UNITS.
std::uint16_t distance_code(std::uint32_t angle);

// Angle in 1/64 degree of node i of a revolution of n nodes.
inline std::uint32_t node_angle(std::uint32_t i, std::uint32_t n)
{
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(i) * ANGLE_UNITS / n);
}

}  // namespace room
}  // namespace zorlan
}  // namespace standalone
}  // namespace orv
