/* Configures the device named on the command line, then closes it. */
#include <serial/serial.h>

int main(int argc, char **argv)
{
    int fd = serial_config(argc > 1 ? argv[1] : dev0);
    close_dev(fd);
    return poll_events.fd == fd ? 0 : 1;
}
