// Test caller of the capture module: runs capture_and_display with the driver
// it is linked with (the test double), then reports on standard error the
// result and what standard input still held, to show how much was read.
#include <cstdio>
#include <string>

#include "capture.h"

using orv::standalone::zorlan::ZorlanDriver;

int main()
{
    ZorlanDriver* driver = ZorlanDriver::CreateDriver(0);
    if (!driver)
        return 3;
    int result = capture_and_display(driver);
    std::string rest;
    for (int c; (c = std::getchar()) != EOF;)
        rest += static_cast<char>(c);
    std::fprintf(stderr, "result %x\nrest [%s]\n", static_cast<unsigned int>(result), rest.c_str());
    ZorlanDriver::DisposeDriver(driver);
    return 0;
}
