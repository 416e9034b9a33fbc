// coinalarm: echoes each line read from standard input as "Insert <line>",
// then "After", allowing ten seconds for each read; when ten seconds pass
// without input it prints "You must insert coin" and ends with status 0 (1,
// with "write error: ..." on standard error, when any line could not be
// printed, or when a read failed: that is reported at once as
// "read error: ...").
//
// Usage: coinalarm

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lineout.h"
#include "procsig.h"

#define BUF_SIZE 1024
#define TIME_LIMIT 10  // seconds allowed for each read

// The status the reminder ends with: 1 once a read has failed.
static volatile sig_atomic_t end_status = 0;

// All output goes through lineout.h (one write per line), never through
// stdio: the alarm may fire while the loop prints, and the handler ends the
// process with _exit, which would lose anything left in a stdio buffer.
static void my_sig(int)
{
    out_text_line("", "You must insert coin", BUF_SIZE);
    _exit(out_status(end_status));
}

int main()
{
    char buf[BUF_SIZE];
    memset(buf, 0, sizeof(buf));

    signal(SIGALRM, my_sig);
    unblock_signal(SIGALRM);
    for (;;) {
        alarm(TIME_LIMIT);
        ssize_t n = read(STDIN_FILENO, buf, BUF_SIZE);
        const int read_errno = errno;
        if (n > 0) {
            buf[n - 1] = '\0';  // drops the last byte read, a line's newline
            out_text_line("Insert ", buf, BUF_SIZE);
        }
        out_text_line("", "After", BUF_SIZE);
        if (n < 0 && read_errno != EINTR) {
            report_read_error(read_errno);
            end_status = 1;
        }
        // An empty read at a live terminal is the end-of-input key, and more
        // may be typed. Anywhere else no more input can ever come: at the end
        // of a file or pipe, after a failed read, and at a terminal that has
        // hung up (it is no terminal any more: its requests fail with EIO),
        // every further read would return at once. So rather than printing
        // "After" again and again, leave the pending alarm to end the program
        // with its reminder.
        if (end_status != 0 || (n == 0 && !isatty(STDIN_FILENO))) {
            for (;;)
                pause();
        }
        alarm(0);
    }
}
