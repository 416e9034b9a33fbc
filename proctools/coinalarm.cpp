// coinalarm: echoes each line read from standard input as "Insert <line>",
// then "After", allowing ten seconds for each read; when ten seconds pass
// without input it prints "You must insert coin" and ends with status 0 (1,
// with "write error: ..." on standard error, when any line could not be
// printed).
//
// Usage: coinalarm

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lineout.h"

#define BUF_SIZE 1024
#define TIME_LIMIT 10  // seconds allowed for each read

// All output goes through lineout.h (one write per line), never through
// stdio: the alarm may fire while the loop prints, and the handler ends the
// process with _exit, which would lose anything left in a stdio buffer.
static void my_sig(int)
{
    out_text_line("", "You must insert coin", BUF_SIZE);
    _exit(out_status(0));
}

int main()
{
    char buf[BUF_SIZE];
    memset(buf, 0, sizeof(buf));
    // At a terminal an empty read is the end-of-input key and more may be
    // typed; at the end of a file or pipe no more input can ever come.
    const bool from_terminal = isatty(STDIN_FILENO);

    signal(SIGALRM, my_sig);
    for (;;) {
        alarm(TIME_LIMIT);
        ssize_t n = read(STDIN_FILENO, buf, BUF_SIZE);
        if (n > 0) {
            buf[n - 1] = '\0';  // drops the last byte read, a line's newline
            out_text_line("Insert ", buf, BUF_SIZE);
        }
        out_text_line("", "After", BUF_SIZE);
        if ((n == 0 && !from_terminal) || (n < 0 && errno != EINTR)) {
            // Input has ended for good (or reading fails): rather than
            // printing "After" again and again, leave the pending alarm to
            // end the program with its reminder.
            for (;;)
                pause();
        }
        alarm(0);
    }
}
