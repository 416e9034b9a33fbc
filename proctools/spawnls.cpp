// spawnls: runs "ls -a -l" on the working directory in a vforked child and,
// without waiting for the listing to finish, prints "ls -al test Success".
// Ends with status 0 on every path, even when no "ls" is on the search path,
// unless its own line cannot be printed: then "write error: ..." on standard
// error and status 1.
//
// Usage: spawnls

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "toolset/stdfds.h"

int main()
{
    pid_t pid = vfork();
    if (pid == 0) {
        // The child shares the parent's memory until execlp succeeds: it
        // does nothing else, and on failure leaves with _exit, flushing and
        // touching nothing of the parent's.
        execlp("ls", "ls", "-a", "-l", static_cast<char*>(nullptr));
        _exit(0);
    }
    if (pid > 0) {
        int status;
        // One look only: collects the child if the listing has already
        // ended; the result is deliberately not used.
        waitpid(-1, &status, WNOHANG);
        puts("ls -al test Success");
    }
    return stdout_status(0);
}
