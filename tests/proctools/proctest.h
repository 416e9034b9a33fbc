// Helpers shared by the tests of the process tools: output taken apart into
// lines, waits on conditions over the output, the child of a program under
// test, and temporary directories.
#pragma once

#include "testsupport.h"

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace proctest {

using namespace testsupport;

// The complete lines of text, without the carriage returns a terminal adds;
// an unfinished last line is left out.
std::vector<std::string> lines_of(const std::string& text);

// Reads the program's output until `done` holds for its complete lines.
// False when the deadline passes or the output ends first.
bool wait_for(Process& p, const std::function<bool(const std::vector<std::string>&)>& done,
              milliseconds t);

// Reads the program's output until every process holding it has closed it.
void drain(Process& p, milliseconds t);

// Waits for the first child of pid to exist and returns it, or -1.
pid_t child_of(pid_t pid, milliseconds t);

// The state letter of a process ('S', 'T', 'Z', ...), or 0 when it is gone.
char proc_state(pid_t pid);
// Waits until the process is in the given state.
bool wait_state(pid_t pid, char state, milliseconds t);
// Waits until the process has ended (a zombie or gone).
bool wait_ended(pid_t pid, milliseconds t);

// The output of a counting program: the count lines must run 1, 2, 3, ...
// with no step missing or repeated; every other line is kept together with
// the count printed before it (0 before the first).
struct CountRun {
    bool in_order = true;
    int last = 0;
    std::vector<std::pair<int, std::string>> others;
    std::vector<std::string> other_texts() const;
};
CountRun split_count(const std::vector<std::string>& lines);

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace proctest
