// Runs capture_and_display with the fake driver, then reports its result and the unread input.
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
