/* Calls named `call` fail from the nth on, `count` in a row (0: all), with `err`; or write short_len >= 0 bytes. */
#ifndef TESTSUPPORT_FAULTPLAN_H
#define TESTSUPPORT_FAULTPLAN_H

#include <errno.h>
#include <stdlib.h>
#include <string.h>

struct fault_plan {
    const char *call; /* NULL: no fault */
    unsigned long nth;
    unsigned long count;
    int err;
    long short_len; /* -1: fail instead */
};

/* The error by name (EMFILE) or number; EIO when neither. */
static inline int fault_errno_named(const char *v)
{
#define FAULT_ERRNO(e) {#e, e}
    static const struct {
        const char *name;
        int value;
    } names[] = {FAULT_ERRNO(EAGAIN), FAULT_ERRNO(EMFILE), FAULT_ERRNO(ENFILE),       FAULT_ERRNO(ENOMEM),
                 FAULT_ERRNO(EINTR),  FAULT_ERRNO(EACCES), FAULT_ERRNO(ECONNABORTED), FAULT_ERRNO(EBUSY),
                 FAULT_ERRNO(EIO),    FAULT_ERRNO(EPIPE),  FAULT_ERRNO(EBADF),        FAULT_ERRNO(ENOSPC),
                 FAULT_ERRNO(ENOBUFS), FAULT_ERRNO(EPERM), FAULT_ERRNO(ENOENT)};
#undef FAULT_ERRNO
    for (size_t i = 0; v != NULL && i < sizeof(names) / sizeof(names[0]); i++)
        if (strcmp(v, names[i].name) == 0)
            return names[i].value;
    int n = v == NULL ? 0 : atoi(v);
    return n > 0 ? n : EIO;
}

/* n counts from 1. */
static inline int fault_strikes(const struct fault_plan *p, const char *call, unsigned long n)
{
    return p->call != NULL && strcmp(call, p->call) == 0 && n >= p->nth && (p->count == 0 || n - p->nth < p->count);
}

#endif
