/* One injected fault, shared by faultshim.c (set from the environment) and
 * the portwire test's link-time seam; plain C, header-only. Calls of the name
 * `call` fail from the nth on, `count` in a row (0: all), with errno `err`;
 * for write and send, short_len >= 0 passes at most that many bytes instead. */
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
    static const struct {
        const char *name;
        int value;
    } names[] = {
        {"EAGAIN", EAGAIN}, {"EMFILE", EMFILE},   {"ENFILE", ENFILE}, {"ENOMEM", ENOMEM},
        {"EINTR", EINTR},   {"ECONNABORTED", ECONNABORTED}, {"EACCES", EACCES}, {"EBUSY", EBUSY},
        {"EIO", EIO},       {"EPIPE", EPIPE},     {"EBADF", EBADF},   {"ENOSPC", ENOSPC},
        {"ENOBUFS", ENOBUFS}, {"EPERM", EPERM},   {"ENOENT", ENOENT},
    };
    if (v == NULL || *v == '\0')
        return EIO;
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); i++)
        if (strcmp(v, names[i].name) == 0)
            return names[i].value;
    int n = atoi(v);
    return n > 0 ? n : EIO;
}

/* n counts from 1. */
static inline int fault_strikes(const struct fault_plan *p, const char *call, unsigned long n)
{
    if (p->call == NULL || strcmp(call, p->call) != 0)
        return 0;
    return n >= p->nth && (p->count == 0 || n - p->nth < p->count);
}

#endif
