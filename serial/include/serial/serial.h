/* serial/serial.h: the serial helper library, for callers in C and in C++.
 *
 * One source comes as two shared libraries with the same functions and data:
 *   libserial.so          plain function names (C linkage)
 *   libserial_mangled.so  C++ type-encoded function names (_Z13serial_configPc, ...)
 * The data names poll_events and dev0 are the same in both.
 *
 * Define the macro of the build you link, before including (the CMake
 * targets and the pkg-config files pass it on):
 *   SERIAL_PLAIN_NAMES    libserial: in C++ the declarations are extern "C"
 *   SERIAL_MANGLED_NAMES  libserial_mangled: in C the declarations are bound
 *                         to the type-encoded names (GNU asm labels)
 * Without either, the language picks: C callers get libserial's names, C++
 * callers libserial_mangled's.
 *
 * Calling order: serial_config, then any recv_data and send_data calls with
 * the descriptor it returned, then close_dev. The caller owns the descriptor.
 * The functions serve one thread driving one device; nothing is locked.
 */
#ifndef SERIAL_SERIAL_H
#define SERIAL_SERIAL_H

#include <poll.h>
#include <stdint.h>

#if defined(SERIAL_PLAIN_NAMES) && defined(SERIAL_MANGLED_NAMES)
#error "define at most one of SERIAL_PLAIN_NAMES and SERIAL_MANGLED_NAMES"
#endif

/* SERIAL_TYPE_ENCODED: the declarations below are those of libserial_mangled. */
#ifdef __cplusplus
#ifndef SERIAL_PLAIN_NAMES
#define SERIAL_TYPE_ENCODED 1
#endif
#elif defined(SERIAL_MANGLED_NAMES)
#define SERIAL_TYPE_ENCODED 1
#endif

#if defined(SERIAL_TYPE_ENCODED) && !defined(__cplusplus)
#define SERIAL_LINK_NAME(encoded) __asm__(#encoded)
#else
#define SERIAL_LINK_NAME(encoded)
#endif

#define SERIAL_API __attribute__((visibility("default")))

#if defined(__cplusplus) && !defined(SERIAL_TYPE_ENCODED)
extern "C" {
#endif

/* Opens the device path read-write, no controlling terminal, non-blocking;
 * sets 9600 baud, 8 data bits, raw; records it in poll_events; prints
 * "start" and "Ready to start parsing!" on standard output; returns the
 * descriptor. A terminal is held exclusively until close_dev. If the device
 * cannot be opened, or another program holds it, it prints
 * "<path> open error" and ends the calling process with status 255. */
SERIAL_API int32_t serial_config(char *dev) SERIAL_LINK_NAME(_Z13serial_configPc);

/* Waits on the device recorded by serial_config and prints what arrives
 * (read from fd) on standard output, until one second passes without input
 * or the device reports an error or hang-up with nothing to read. */
SERIAL_API void recv_data(int32_t fd) SERIAL_LINK_NAME(_Z9recv_datai);

/* Writes len bytes of buf with one write (not retried), then pauses delay_us
 * microseconds. A negative len writes nothing; a negative pause is none. */
SERIAL_API void send_data(int32_t fd, char *buf, int32_t len, int32_t delay_us)
    SERIAL_LINK_NAME(_Z9send_dataiPcii);

/* Closes the descriptor. The terminal serial_config configured last gets
 * back the settings it had before (once its queued output has gone out) and
 * is released. poll_events keeps describing it. */
SERIAL_API void close_dev(int32_t fd) SERIAL_LINK_NAME(_Z9close_devi);

/* The device serial_config configured last: descriptor, POLLIN|POLLERR, and
 * the events recv_data's last poll returned. */
extern SERIAL_API struct pollfd poll_events;

/* The default device path "/dev/ttyUSB0", for callers; the library never
 * reads it. libserial holds a pointer to a read-only string, libserial_mangled
 * an array that holds the string. */
#ifdef SERIAL_TYPE_ENCODED
extern SERIAL_API char dev0[13];
#else
extern SERIAL_API char *dev0;
#endif

#if defined(__cplusplus) && !defined(SERIAL_TYPE_ENCODED)
}
#endif

#endif
