// The same caller, built as C++.
#include "use_serial.c"
