// Standard descriptors for the programs: surely open at start, and output
// failures reported at the end. Everything here is async-signal-safe, so a
// handler that ends a program may use it.
#pragma once

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// Writes "write error: <reason>" to standard error in one call.
inline void report_write_error(int err)
{
    static char head[] = "write error: ", tail[] = "\n";
    const char* why = strerrordesc_np(err);
    if (why == nullptr)
        why = "unknown error";
    iovec parts[3] = {{head, sizeof(head) - 1}, {const_cast<char*>(why), strlen(why)}, {tail, 1}};
    (void)!writev(STDERR_FILENO, parts, 3);  // nowhere left to report a failure
}

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Called
// first in main, before the program opens anything: a closed standard
// descriptor would otherwise be taken by the program's own socket, FIFO or
// port, and what it prints would go there (or what it reads come from
// there). Without /dev/null the program cannot run safely and ends with
// status 1 (with nothing said: standard error may be the one closed).
inline void open_std_fds()
{
    // Each open takes the lowest free descriptor: while that is one of the
    // three, it fills a gap; the first one above them is not needed.
    int fd;
    do
        fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= STDERR_FILENO);
    if (fd < 0)
        _exit(1);
    close(fd);
}

// For a program that prints through stdio and ends by itself: flushes
// standard output and returns status, or reports the write error and returns
// 1 when any output was lost.
inline int stdout_status(int status)
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    report_write_error(errno != 0 ? errno : EIO);
    return 1;
}
