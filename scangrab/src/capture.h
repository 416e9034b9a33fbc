// Grabbing one scan from the driver, drawing it as a histogram of distance
// over angle and, on request, listing every measurement.
#pragma once

#include "scangrab/zorlan_driver.h"

// Capacity of the node buffer of one grab.
constexpr unsigned int SCAN_NODE_CAPACITY = 8192;

// Time-out of every driver request the grabber makes, in milliseconds.
constexpr unsigned int DRIVER_TIMEOUT_MS = 2000;

// Grabs one scan (time-out DRIVER_TIMEOUT_MS), draws it, asks whether to list it and lists
// it on a yes. The driver must be bound and scanning. Returns the grab's
// result code as it came.
int capture_and_display(orv::standalone::zorlan::ZorlanDriver* driver);

// Draws the first count nodes: 75 angle sectors of 4.8 degrees, 20 rows.
void plot_histogram(orv::standalone::zorlan::_zorlan_response_measurement_node_t* nodes, unsigned int count);
