// Helpers shared by the fuzzers: a check that stops the run with a message,
// and the split of one input into a plan of chunk sizes and a byte stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Any failed check is a finding: libFuzzer saves the input and stops.
#define FUZZ_CHECK(cond)                                                                       \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace fuzzsupport {

// Byte 0 gives the plan's length (modulo 32), the next bytes are the plan and
// the rest is the stream. The plan is used over and over; with an empty plan
// every step is 0xFF.
class ChunkedInput {
public:
    ChunkedInput(const std::uint8_t* data, std::size_t size) : stream(data), stream_size(0), plan_(data), plan_size_(0)
    {
        if (size == 0)
            return;
        plan_size_ = data[0] % 32;
        if (plan_size_ > size - 1)
            plan_size_ = size - 1;
        plan_ = data + 1;
        stream = plan_ + plan_size_;
        stream_size = size - 1 - plan_size_;
    }

    std::uint8_t next_step()
    {
        if (plan_size_ == 0)
            return 0xFF;
        return plan_[next_++ % plan_size_];
    }

    const std::uint8_t* stream;
    std::size_t stream_size;

private:
    const std::uint8_t* plan_;
    std::size_t plan_size_;
    std::size_t next_ = 0;
};

}  // namespace fuzzsupport
