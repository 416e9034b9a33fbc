// A rectangular room of 6 m by 4 m, a round pillar and an open doorway into
// which the scanner sees nothing. The scanner stands off centre, so the walls
// give a varied profile; angles count counter-clockwise from the +x axis.
#include "room.h"

#include <cmath>

namespace orv {
namespace standalone {
namespace zorlan {
namespace room {

namespace {

constexpr double PI = 3.14159265358979323846;

// Walls, in millimetres from the scanner.
constexpr double WALL_EAST = 3500.0;
constexpr double WALL_WEST = -2500.0;
constexpr double WALL_NORTH = 2200.0;
constexpr double WALL_SOUTH = -1800.0;
// The doorway in the north wall.
constexpr double DOOR_WEST = -900.0;
constexpr double DOOR_EAST = 0.0;
// The pillar.
constexpr double PILLAR_X = 1500.0;
constexpr double PILLAR_Y = 900.0;
constexpr double PILLAR_R = 350.0;

// Distance along the ray (dx, dy) to the pillar, or a negative value.
double pillar_hit(double dx, double dy)
{
    double b = dx * PILLAR_X + dy * PILLAR_Y;
    double c = PILLAR_X * PILLAR_X + PILLAR_Y * PILLAR_Y - PILLAR_R * PILLAR_R;
    double disc = b * b - c;
    if (disc < 0.0)
        return -1.0;
    return b - std::sqrt(disc);
}

}  // namespace

std::uint16_t distance_code(std::uint32_t angle)
{
    double a = static_cast<double>(angle % ANGLE_UNITS) * 2.0 * PI / ANGLE_UNITS;
    double dx = std::cos(a), dy = std::sin(a);

    double t = 1e9;
    if (dx > 1e-9)
        t = std::fmin(t, WALL_EAST / dx);
    if (dx < -1e-9)
        t = std::fmin(t, WALL_WEST / dx);
    if (dy > 1e-9) {
        double tn = WALL_NORTH / dy;
        double x = dx * tn;
        if (x > DOOR_WEST && x < DOOR_EAST && tn <= t)
            return 0;  // out through the doorway: no echo
        t = std::fmin(t, tn);
    }
    if (dy < -1e-9)
        t = std::fmin(t, WALL_SOUTH / dy);
    double p = pillar_hit(dx, dy);
    if (p > 0.0)
        t = std::fmin(t, p);

    double code = std::floor(t * 4.0 + 0.5);
    return static_cast<std::uint16_t>(code > 65535.0 ? 65535.0 : code);
}

}  // namespace room
}  // namespace zorlan
}  // namespace standalone
}  // namespace orv
