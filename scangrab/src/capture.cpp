// One scan on the console: grab, histogram, question, listing.
#include "capture.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

using orv::standalone::zorlan::_zorlan_response_measurement_node_t;
using orv::standalone::zorlan::ZORLAN_ERR_TIMEOUT;
using orv::standalone::zorlan::ZorlanDriver;

namespace {

constexpr int BIN_COUNT = 75;
constexpr int ROW_COUNT = 20;
// 360 / 75 as the nearest single-precision value (bit pattern 0x4099999A). It
// is slightly above 4.8, so an angle on a sector edge lands one bin low.
constexpr float BIN_WIDTH_DEGREES = 4.8f;

float node_degrees(const _zorlan_response_measurement_node_t& node)
{
    return static_cast<float>(node.angle_code >> 1) * 0.015625f;
}

float node_distance(const _zorlan_response_measurement_node_t& node)
{
    return static_cast<float>(node.distance_code) * 0.25f;
}

}  // namespace

void plot_histogram(_zorlan_response_measurement_node_t* nodes, unsigned int count)
{
    // Single precision throughout, so that the board and the host agree on
    // every bin and every row.
    float bins[BIN_COUNT];
    float max_value = 0.0f;
    for (float& b : bins)
        b = 0.0f;

    for (unsigned int i = 0; i < count; i++) {
        float degrees = node_degrees(nodes[i]);
        int index = static_cast<int>(degrees / BIN_WIDTH_DEGREES);
        if (index >= BIN_COUNT)
            index = 0;
        float d = node_distance(nodes[i]);
        if (bins[index] == 0.0f)
            bins[index] = d;
        else
            bins[index] = (bins[index] + d) * 0.5f;
        // The maximum of every value ever stored, not of the final bins.
        if (bins[index] > max_value)
            max_value = bins[index];
    }

    float step = max_value / static_cast<float>(ROW_COUNT);
    for (int row = ROW_COUNT - 1; row >= 0; row--) {
        float threshold = static_cast<float>(row) * step;
        for (int k = 0; k < BIN_COUNT; k++)
            std::putchar(threshold <= bins[k] ? '*' : ' ');
        std::putchar('\n');
    }
    for (int k = 0; k < BIN_COUNT; k++)
        std::putchar('-');
    std::putchar('\n');
}

int capture_and_display(ZorlanDriver* driver)
{
    _zorlan_response_measurement_node_t nodes[SCAN_NODE_CAPACITY];
    std::uint32_t count = SCAN_NODE_CAPACITY;

    std::printf("waiting for data...\n");
    orv::standalone::zorlan::result_t result = driver->GrabScanData(nodes, &count, DRIVER_TIMEOUT_MS);
    if (static_cast<std::int32_t>(result) < 0 && result != ZORLAN_ERR_TIMEOUT) {
        std::printf("error code: %x\n", static_cast<unsigned int>(result));
        return static_cast<int>(result);
    }
    // A driver that claims more nodes than the buffer holds must not make us
    // read past it: only the buffer's nodes are used.
    if (count > SCAN_NODE_CAPACITY)
        count = SCAN_NODE_CAPACITY;

    driver->ArrangeScanData(nodes, count);  // result ignored: the nodes stay valid either way
    plot_histogram(nodes, count);

    std::printf("Do you want to see all the data? (y/n) ");
    // The question has no newline: show it before waiting for the answer.
    std::fflush(stdout);
    int answer = std::getc(stdin);
    // At a terminal the echo of the answer ends the question's line; an
    // answer from a file or pipe has no echo, so end the line here and the
    // listing starts on a line of its own.
    if (!isatty(STDIN_FILENO))
        std::putchar('\n');
    if (answer == 'y' || answer == 'Y') {
        for (std::uint32_t i = 0; i < count; i++) {
            std::printf("%s theta: %03.2f Dist: %08.2f \n", (nodes[i].scan_flags & 1) ? "S " : "  ",
                        static_cast<double>(node_degrees(nodes[i])), static_cast<double>(node_distance(nodes[i])));
        }
    }
    return static_cast<int>(result);
}
