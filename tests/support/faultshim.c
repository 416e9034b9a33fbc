/* faultshim: preloaded into a program under test, makes one platform call
 * fail as FAULT_CALL (accept, pthread_create, fork, vfork, open, poll, write,
 * send), FAULT_NTH, FAULT_COUNT ("all"), FAULT_ERRNO and FAULT_SHORT say
 * (faultplan.h); each fault injected appends "<call> <n>" to FAULT_LOG.
 * A failing call does not reach the system (accept leaves the connection
 * queued). vfork passes through as fork: a vforked child returning through
 * this library's frame would corrupt its suspended parent. Only calls through
 * the dynamic symbol tables are seen, not the C library's own (stdio's). */
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

static long env_number(const char *name, long fallback)
{
    const char *v = getenv(name);
    return v == NULL || *v == '\0' ? fallback : strtol(v, NULL, 10);
}

__attribute__((constructor)) static void faultshim_init(void)
{
    plan.call = getenv("FAULT_CALL");
    if (plan.call == NULL)
        return;
    long nth = env_number("FAULT_NTH", 1);
    plan.nth = nth > 0 ? (unsigned long)nth : 1;
    const char *count = getenv("FAULT_COUNT");
    plan.count = count != NULL && strcmp(count, "all") == 0 ? 0 : (unsigned long)env_number("FAULT_COUNT", 1);
    plan.err = fault_errno_named(getenv("FAULT_ERRNO"));
    plan.short_len = env_number("FAULT_SHORT", -1);
    fault_log = getenv("FAULT_LOG");
}

/* Raw system calls: this library does not intercept them, and no descriptor stays open in the program. */
static void log_fault(const char *call, unsigned long n)
{
    if (fault_log == NULL || *fault_log == '\0')
        return;
    char line[64];
    int len = snprintf(line, sizeof(line), "%s %lu\n", call, n);
    long fd = syscall(SYS_openat, AT_FDCWD, fault_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (len > 0)
        (void)syscall(SYS_write, (int)fd, line, (size_t)len);
    (void)syscall(SYS_close, (int)fd);
}

static int hit(const char *call)
{
    if (plan.call == NULL || strcmp(call, plan.call) != 0)
        return 0;
    unsigned long n = atomic_fetch_add(&calls_seen, 1) + 1;
    if (!fault_strikes(&plan, call, n))
        return 0;
    log_fault(call, n);
    return 1;
}

static void *next(const char *name)
{
    void *f = dlsym(RTLD_NEXT, name);
    if (f == NULL) {
        static const char msg[] = "faultshim: a call has no next definition\n";
        (void)syscall(SYS_write, 2, msg, sizeof(msg) - 1);
        abort();
    }
    return f;
}

/* fn_<name>: the next definition of name, looked up on first use (racing first uses store the same). */
#define NEXT(name)                                                         \
    static _Atomic(__typeof__(&name)) real_##name;                         \
    __typeof__(&name) fn_##name = atomic_load(&real_##name);               \
    if (fn_##name == NULL) {                                               \
        fn_##name = (__typeof__(&name))next(#name);                        \
        atomic_store(&real_##name, fn_##name);                             \
    }

#define FAIL_IF_HIT(c)             \
    if (hit(c)) {                  \
        errno = plan.err;          \
        return -1;                 \
    }

#define SHORTEN_IF_HIT(c, len)                              \
    if (plan.short_len < 0) {                               \
        FAIL_IF_HIT(c);                                     \
    } else if (hit(c) && (size_t)plan.short_len < len) {    \
        len = (size_t)plan.short_len;                       \
    }

int accept(int fd, struct sockaddr *addr, socklen_t *len)
{
    FAIL_IF_HIT("accept");
    NEXT(accept);
    return fn_accept(fd, addr, len);
}

int pthread_create(pthread_t *t, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    if (hit("pthread_create"))
        return plan.err; /* reported as the result, errno untouched */
    NEXT(pthread_create);
    return fn_pthread_create(t, attr, start, arg);
}

pid_t fork(void)
{
    FAIL_IF_HIT("fork");
    NEXT(fork);
    return fn_fork();
}

pid_t vfork(void)
{
    FAIL_IF_HIT("vfork");
    NEXT(fork);
    return fn_fork();
}

static mode_t open_mode(int flags, va_list ap)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return va_arg(ap, mode_t);
    return 0;
}

/* The checked forms are what fortified builds call. */
#define OPEN_VARIADIC(name)                          \
    int name(const char *path, int flags, ...)       \
    {                                                \
        va_list ap;                                  \
        va_start(ap, flags);                         \
        mode_t mode = open_mode(flags, ap);          \
        va_end(ap);                                  \
        FAIL_IF_HIT("open");                         \
        NEXT(name);                                  \
        return fn_##name(path, flags, mode);         \
    }
#define OPEN_CHECKED(name)                           \
    int name(const char *path, int flags);           \
    int name(const char *path, int flags)            \
    {                                                \
        FAIL_IF_HIT("open");                         \
        NEXT(name);                                  \
        return fn_##name(path, flags);               \
    }

OPEN_VARIADIC(open)
OPEN_VARIADIC(open64)
OPEN_CHECKED(__open_2)
OPEN_CHECKED(__open64_2)

int poll(struct pollfd *fds, nfds_t n, int timeout_ms)
{
    FAIL_IF_HIT("poll");
    NEXT(poll);
    return fn_poll(fds, n, timeout_ms);
}

ssize_t write(int fd, const void *buf, size_t len)
{
    SHORTEN_IF_HIT("write", len);
    NEXT(write);
    return fn_write(fd, buf, len);
}

ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    SHORTEN_IF_HIT("send", len);
    NEXT(send);
    return fn_send(fd, buf, len, flags);
}
