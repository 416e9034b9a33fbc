/* faultshim: a library preloaded into a program under test that makes one
 * chosen platform call fail, so that the tests can see how the program
 * handles the failure. Everything comes from the environment:
 *
 *   FAULT_CALL   the call: accept, pthread_create, fork, vfork, open, poll,
 *                write or send
 *   FAULT_NTH    the first call that fails, counted from 1 over the calls of
 *                that name in this process (default 1)
 *   FAULT_COUNT  how many calls in a row fail from there; "all" for every
 *                one (default 1)
 *   FAULT_ERRNO  the error reported, by name (EMFILE) or number (default EIO)
 *   FAULT_SHORT  write and send only: instead of failing, the call passes at
 *                most this many bytes on (0 makes it write nothing)
 *   FAULT_LOG    a file to which each injected fault appends one line
 *                "<call> <n>", so a test can tell that its fault was hit
 *
 * (The settings and their window are those of faultplan.h.)
 *
 * A failing call does not reach the system: accept leaves the connection
 * queued, fork and vfork make no child. Calls of other names, and calls of
 * the chosen name outside the window, pass through unchanged, except vfork,
 * which passes through as fork: the parent's wait for the child's exec is
 * lost, but a vforked child returning through this library's stack frame
 * would corrupt its suspended parent.
 *
 * Only calls made through the dynamic symbol tables are seen: the program's
 * own and those of its libraries, not those the C library makes internally
 * (stdio's writes, for one).
 */
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

/* Set once by the constructor, before the program's own code runs. */
static struct fault_plan plan = {NULL, 1, 1, EIO, -1};
static const char *fault_log;

static atomic_ulong calls_seen;

static long env_number(const char *name, long fallback)
{
    const char *v = getenv(name);
    if (v == NULL || *v == '\0')
        return fallback;
    return strtol(v, NULL, 10);
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

/* Appends "<call> <n>" to the log with raw system calls, which this library
 * does not intercept, and keeps no descriptor open in the program. */
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

/* True when this call of the named kind is one that fails (or is cut short). */
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

/* fn_<name>: the next definition of name, of the type of this one, looked
 * up on first use. Racing first uses store the same value. */
#define NEXT(name)                                                         \
    static _Atomic(__typeof__(&name)) real_##name;                         \
    __typeof__(&name) fn_##name = atomic_load(&real_##name);               \
    if (fn_##name == NULL) {                                               \
        fn_##name = (__typeof__(&name))next(#name);                        \
        atomic_store(&real_##name, fn_##name);                             \
    }

/* Fails the call with the chosen error when the fault strikes it. */
#define FAIL_IF_HIT(c)             \
    if (hit(c)) {                  \
        errno = plan.err;          \
        return -1;                 \
    }

/* write and send: fail, or pass at most plan.short_len bytes on. */
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

/* open and open64, and the checked forms that fortified builds call. */
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
