// Line output shared by the process tools. Each line is built in a local
// buffer and handed to the kernel with one write to standard output: this is
// async-signal-safe, so signal handlers may print with it, and a line never
// mixes with one printed by a handler or by another process sharing the
// terminal or pipe. No stdio buffer sits in between, so lines leave in the
// order in which they are printed whatever standard output is.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "toolset/stdfds.h"

// Room for the longest line: a short prefix, 1024 bytes of text, a newline.
#define LINE_OUT_MAX 1100

// The error of the first write to standard output that failed, 0 while none
// has; the line that failed is dropped and printing goes on.
inline volatile sig_atomic_t out_errno = 0;

// Writes n bytes to standard output, going on after interruptions and short
// writes.
inline void out_bytes(const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            if (out_errno == 0)
                out_errno = w < 0 ? errno : EIO;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Prints prefix, then v in base 10 or 16 (lower case, no leading zeros),
// then a newline: the "%d\n" and "0x%x\n" lines of the tools.
inline void out_num_line(const char* prefix, unsigned v, unsigned base)
{
    char line[64];
    size_t len = strnlen(prefix, 32);
    memcpy(line, prefix, len);
    char digits[16];
    size_t nd = 0;
    do {
        digits[nd++] = "0123456789abcdef"[v % base];
        v /= base;
    } while (v != 0);
    while (nd > 0)
        line[len++] = digits[--nd];
    line[len++] = '\n';
    out_bytes(line, len);
}

// Prints prefix, then text up to its first zero byte and at most max bytes,
// then a newline: the "%s\n" lines of the tools.
inline void out_text_line(const char* prefix, const char* text, size_t max)
{
    char line[LINE_OUT_MAX];
    size_t len = strnlen(prefix, 32);
    memcpy(line, prefix, len);
    size_t n = strnlen(text, max);
    if (n > sizeof(line) - len - 1)
        n = sizeof(line) - len - 1;
    memcpy(line + len, text, n);
    len += n;
    line[len++] = '\n';
    out_bytes(line, len);
}

// For a program that ends by itself: returns status, or reports the write
// error and returns 1 when a line could not be printed.
inline int out_status(int status)
{
    if (out_errno == 0)
        return status;
    report_write_error(out_errno);
    return 1;
}
