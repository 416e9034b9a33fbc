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

// Writes "<head><reason>\n" to standard error in one call.
inline void report_error(const char* head, int err)
{
    static char tail[] = "\n";
    const char* why = strerrordesc_np(err);
    if (why == nullptr)
        why = "unknown error";
    iovec parts[3] = {{const_cast<char*>(head), strlen(head)}, {const_cast<char*>(why), strlen(why)}, {tail, 1}};
    (void)!writev(STDERR_FILENO, parts, 3);  // nowhere left to report a failure
}

// Writes "write error: <reason>" to standard error.
inline void report_write_error(int err) { report_error("write error: ", err); }

// Writes "read error: <reason>" to standard error.
inline void report_read_error(int err) { report_error("read error: ", err); }

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Called
// first in main, before the program opens anything: a closed standard
// descriptor would otherwise be taken by the program's own socket, FIFO or
// port, and what it prints would go there (or what it reads come from
// there). Without /dev/null the program cannot run safely and ends with
// status 1. Nothing else is opened when all three are open.
inline void open_std_fds()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free descriptor is fd itself: those below it are open.
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) {
            static const char msg[] = "/dev/null: cannot open\n";
            (void)!write(STDERR_FILENO, msg, sizeof(msg) - 1);  // if standard error is open
            _exit(1);
        }
    }
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
