/* Preloaded: fails one call as FAULT_CALL, _NTH, _COUNT ("all"), _ERRNO, _SHORT say; "<call> <n>" to FAULT_LOG.
 * Only calls through the dynamic symbols are seen (not stdio's own); a failed one never reaches the system.
 * vfork passes through as fork: a vforked child returning through this frame would corrupt its parent. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "faultplan.h"

static struct fault_plan plan = {NULL, 1, 1, EIO, -1};
static const char *fault_log;
static atomic_ulong calls_seen;

/* A text that is no number, such as "all", is 0. */
static long env_number(const char *name, long fallback)
{
    const char *v = getenv(name);
    return v == NULL || *v == '\0' ? fallback : strtol(v, NULL, 10);
}

__attribute__((constructor)) static void faultshim_init(void)
{
    long nth = env_number("FAULT_NTH", 1);
    plan = (struct fault_plan){getenv("FAULT_CALL"), nth > 0 ? (unsigned long)nth : 1,
                               (unsigned long)env_number("FAULT_COUNT", 1), fault_errno_named(getenv("FAULT_ERRNO")),
                               env_number("FAULT_SHORT", -1)};
    fault_log = getenv("FAULT_LOG");
}

/* Raw system calls: this library does not intercept them, and no descriptor stays open. */
static int hit(const char *call)
{
    unsigned long n = 0;
    if (plan.call == NULL || strcmp(call, plan.call) != 0 ||
        !fault_strikes(&plan, call, n = atomic_fetch_add(&calls_seen, 1) + 1))
        return 0;
    char line[64];
    int len = snprintf(line, sizeof(line), "%s %lu\n", call, n);
    long fd = syscall(SYS_openat, AT_FDCWD, fault_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)syscall(SYS_write, (int)fd, line, (size_t)len);
        (void)syscall(SYS_close, (int)fd);
    }
    return 1;
}

static int failed(const char *call)
{
    return hit(call) && (errno = plan.err, 1);
}

/* write and send: with FAULT_SHORT a strike passes at most that many bytes instead of failing. */
static int cut(const char *call, size_t *len)
{
    if (plan.short_len < 0)
        return failed(call);
    if (hit(call) && (size_t)plan.short_len < *len)
        *len = (size_t)plan.short_len;
    return 0;
}

/* The next definition of name, looked up on first use (racing first uses store the same). */
static void *next(const char *name, void *_Atomic *cache)
{
    void *f = atomic_load(cache);
    if (f == NULL && (f = dlsym(RTLD_NEXT, name)) == NULL) {
        static const char msg[] = "faultshim: a call has no next definition\n";
        (void)syscall(SYS_write, 2, msg, sizeof(msg) - 1);
        abort();
    }
    atomic_store(cache, f);
    return f;
}
#define NEXT(name) ((__typeof__(&name))next(#name, &real))

/* name returns -1 when `fails` holds, else passes its arguments on to the next definition. */
#define WRAP(type, name, fails, params, args) \
    type name params                          \
    {                                         \
        static void *_Atomic real;            \
        return fails ? -1 : NEXT(name) args;  \
    }

/* The checked forms of open are what fortified builds call. */
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
#define OPEN_VARIADIC(name)                                                                                \
    int name(const char *path, int flags, ...)                                                             \
    {                                                                                                      \
        static void *_Atomic real;                                                                         \
        va_list ap;                                                                                        \
        va_start(ap, flags);                                                                               \
        mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0; \
        va_end(ap);                                                                                        \
        return failed("open") ? -1 : NEXT(name)(path, flags, mode);                                        \
    }

WRAP(int, accept, failed("accept"), (int fd, struct sockaddr *addr, socklen_t *len), (fd, addr, len))
WRAP(pid_t, fork, failed("fork"), (void), ())
WRAP(int, poll, failed("poll"), (struct pollfd *fds, nfds_t n, int timeout_ms), (fds, n, timeout_ms))
WRAP(ssize_t, write, cut("write", &len), (int fd, const void *buf, size_t len), (fd, buf, len))
WRAP(ssize_t, send, cut("send", &len), (int fd, const void *buf, size_t len, int flags), (fd, buf, len, flags))
WRAP(int, __open_2, failed("open"), (const char *path, int flags), (path, flags))
WRAP(int, __open64_2, failed("open"), (const char *path, int flags), (path, flags))
OPEN_VARIADIC(open)
OPEN_VARIADIC(open64)

pid_t vfork(void)
{
    return failed("vfork") ? -1 : fork();
}

int pthread_create(pthread_t *t, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    static void *_Atomic real;
    /* The error is the result, errno untouched. */
    return hit("pthread_create") ? plan.err : NEXT(pthread_create)(t, attr, start, arg);
}
