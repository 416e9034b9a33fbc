// Opens the serial device named on the command line and reports the results.
#include <portwire/serial_rxtx.h>

#include <cstdio>

int main(int argc, char** argv)
{
    using orv::hal::serial_rxtx;
    serial_rxtx* ch = serial_rxtx::CreateRxTx();
    ch->bind(argc > 1 ? argv[1] : "/dev/null", 115200, 0);
    int opened = ch->open();
    unsigned queued = 0;
    int wait = ch->waitfordata(1, 0, &queued);
    std::printf("open=%d wait=%d\n", opened, wait);
    serial_rxtx::ReleaseRxTx(ch);
    return 0;
}
