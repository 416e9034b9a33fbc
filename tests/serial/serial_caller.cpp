// The test caller compiled as C++, for the C++ callers of either build.
#include "serial_caller.c"
