/* The monotonic clock in whole milliseconds and microseconds: the one time
 * base of every wait and deadline in the toolset, immune to changes of the
 * wall clock. Header-only and plain C, so that the serial helper library,
 * which is C and links nothing of the system, can use it as the C++
 * programs and libraries do. */
#ifndef TOOLSET_MONOCLOCK_H
#define TOOLSET_MONOCLOCK_H

#include <stdint.h>
#include <time.h>

static inline uint64_t mono_us(void)
{
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts); /* cannot fail for this clock */
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static inline uint64_t mono_ms(void)
{
    return mono_us() / 1000u;
}

#endif
