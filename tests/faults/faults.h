// Helpers of the fault-injection tests: the options that start a program
// with the fault library preloaded and one call set to fail, the log that
// tells how often the fault was hit, and a scratch directory.
#pragma once

#include "testsupport.h"

#include <string>

namespace faults {

using namespace testsupport;

// One fault: the call named `call` fails from its `nth` call on, `count`
// times in a row (0: every call from there), with `error` (an errno name);
// for write and send, `short_len` >= 0 cuts the call short to that many
// bytes instead.
struct Fault {
    std::string call;
    int nth = 1;
    int count = 1;
    std::string error = "EIO";
    int short_len = -1;
};

// A fresh directory under /tmp, removed with its contents on destruction.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A program run with one fault injected; keeps the log of the faults hit.
class Injection {
public:
    explicit Injection(Fault f) : fault_(std::move(f)) {}

    // `base` with the fault library preloaded and the fault set. On the host
    // the loader reads LD_PRELOAD; under the emulator the variable is handed
    // to the target program's loader alone (QEMU_SET_ENV), as the host
    // loader cannot load a target library into the emulator.
    SpawnOptions options(SpawnOptions base = {}) const;

    // How often the fault has been injected so far.
    int hits() const;
    // Waits until the fault has been injected at least n times.
    bool wait_hits(int n, milliseconds t) const;

private:
    Fault fault_;
    Scratch dir_;
};

// The first line of text that starts with `key`=, without the key; empty
// when there is none.
std::string field_line(const std::string& text, const std::string& key);
// Reads the program's output until it holds a whole line that starts with
// `key`= and returns that line, or empty when the deadline passes first.
std::string await_line(Process& p, const std::string& key, milliseconds t);
// The integer after `key`= in the line, or `fallback`.
long long field(const std::string& line, const std::string& key, long long fallback = -99999);

}  // namespace faults
