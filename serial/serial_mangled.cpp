// libserial_mangled: the library's one source compiled as C++, which gives
// its functions type-encoded names.
#include "serial.c"
