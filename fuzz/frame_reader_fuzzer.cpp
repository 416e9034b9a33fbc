// The scanner protocol's frame reader fed an arbitrary byte stream in
// arbitrary chunks, the way the driver and the emulator feed it from a serial
// line. Checks:
// - every frame delivered has a type and a length its type allows, and its
//   checksum holds (encoding it again gives the bytes it came from);
// - the frames delivered are exactly those that a plain byte-by-byte search
//   of the whole stream finds, whatever the chunking and however often the
//   caller takes frames between reads;
// - the reader never runs out of room: after next() has returned false,
//   at least one largest frame fits.
// The reader lives on the heap, alone, so that a read or write past it is
// caught; its free room is poisoned between writes, so that a read of bytes
// not yet received is caught too.
//
// Input: see ChunkedInput. Each plan step: bit 7 set, fill all the free room;
// else bits 0..5 + 1 bytes. Bit 6 set: take at most one frame before reading
// again (more while the reader is full); else take all frames.
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "wire.h"

using namespace orv::standalone::zorlan::wire;

namespace {

// Payload lengths by type, restated from the protocol description so that
// the reader's own table is not its own oracle.
bool length_allowed(std::uint8_t type, std::size_t length)
{
    switch (type) {
    case 0x01:
    case 0x02:
    case 0x04:
    case 0x84:
        return length == 0;
    case 0x03:
    case 0x83:
        return length == 1;
    case 0x81:
        return length == 20;
    case 0x82:
        return length == 3;
    case 0x85:
        return length >= 5 && length <= 250 && length % 5 == 0;
    default:
        return false;
    }
}

struct Span {
    std::size_t pos;
    std::size_t size;
};

// The frames of the whole stream, in order. A candidate is dropped by one
// byte when it cannot be a frame; the search stops at a candidate that the
// stream ends inside, as the reader waits there for more bytes.
std::vector<Span> reference_frames(const std::uint8_t* s, std::size_t n)
{
    std::vector<Span> out;
    std::size_t pos = 0;
    while (pos < n) {
        if (s[pos] != SYNC0) {
            pos++;
            continue;
        }
        if (pos + 1 >= n)
            break;
        if (s[pos + 1] != SYNC1) {
            pos++;
            continue;
        }
        if (pos + 3 >= n)
            break;
        std::size_t length = s[pos + 3];
        if (!length_allowed(s[pos + 2], length)) {
            pos++;
            continue;
        }
        std::size_t total = 4 + length + 1;
        if (pos + total > n)
            break;
        // A checksum of this kind (no initial value, no final inversion) over
        // the checked bytes followed by their checksum gives 0.
        if (crc8(s + pos + 2, length + 3) != 0) {
            pos++;
            continue;
        }
        out.push_back({pos, total});
        pos += total;
    }
    return out;
}

// Marks the reader's free room as not to be touched until the next write.
void guard(FrameReader& reader)
{
    std::size_t room = reader.space_size();
    ASAN_POISON_MEMORY_REGION(reader.space(), room);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzzsupport::ChunkedInput in(data, size);
    const std::uint8_t* stream = in.stream;
    const std::vector<Span> expected = reference_frames(stream, in.stream_size);

    auto reader = std::make_unique<FrameReader>();
    Frame frame;
    std::size_t delivered = 0;

    auto take = [&]() -> bool {
        bool got = reader->next(frame);
        if (!got)
            FUZZ_CHECK(reader->space_size() >= MAX_FRAME);
        guard(*reader);
        if (!got)
            return false;
        FUZZ_CHECK(length_allowed(frame.type, frame.length));
        FUZZ_CHECK(delivered < expected.size());
        const Span& want = expected[delivered];
        std::uint8_t encoded[MAX_FRAME];
        std::size_t encoded_size = encode_frame(frame.type, frame.payload, frame.length, encoded);
        FUZZ_CHECK(encoded_size == want.size);
        FUZZ_CHECK(std::memcmp(encoded, stream + want.pos, want.size) == 0);
        delivered++;
        return true;
    };

    std::size_t fed = 0;
    while (fed < in.stream_size) {
        std::uint8_t step = in.next_step();
        std::size_t room = reader->space_size();
        FUZZ_CHECK(room <= 2 * MAX_FRAME);
        std::size_t n = (step & 0x80) ? room : static_cast<std::size_t>(step & 0x3F) + 1;
        if (n > room)
            n = room;
        if (n > in.stream_size - fed)
            n = in.stream_size - fed;
        if (n > 0) {
            ASAN_UNPOISON_MEMORY_REGION(reader->space(), room);
            std::memcpy(reader->space(), stream + fed, n);
            reader->commit(n);
            fed += n;
            guard(*reader);
        }
        if (step & 0x40) {
            // One frame, and more only while nothing more fits.
            while (take() && reader->space_size() == 0) {
            }
        } else {
            while (take()) {
            }
        }
    }
    while (take()) {
    }

    FUZZ_CHECK(delivered == expected.size());
    FUZZ_CHECK(reader->accepted == delivered);
    ASAN_UNPOISON_MEMORY_REGION(reader.get(), sizeof(FrameReader));
    return 0;
}
