// Test support, faults: one platform call made to fail by the preloaded faultshim.c.
#pragma once

#include <string>
#include <utility>

#include "processes.h"

namespace testsupport {

// As faultplan.h, with the errno by its name.
struct Fault {
    std::string call;
    int nth = 1, count = 1;
    std::string error = "EIO";
    int short_len = -1;
};

class Injection {
public:
    explicit Injection(Fault f) : fault_(std::move(f)) {}

    // Under the emulator LD_PRELOAD goes to the target's loader alone (QEMU_SET_ENV).
    SpawnOptions options(SpawnOptions base = {}) const;
    int hits() const;
    bool wait_hits(int n, milliseconds t) const;

private:
    Fault fault_;
    TempDir dir_;
};

}  // namespace testsupport
