// The scanner's serial protocol (see zorlan/PROTOCOL.md): frame types, frame
// encoding and a resynchronising frame reader. Shared by the driver and the
// scanner emulator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {
namespace standalone {
namespace zorlan {
namespace wire {

constexpr std::uint8_t SYNC0 = 0xE7;
constexpr std::uint8_t SYNC1 = 0x7E;

// Requests, host to scanner.
constexpr std::uint8_t REQ_IDENTITY = 0x01;  // no payload
constexpr std::uint8_t REQ_HEALTH = 0x02;    // no payload
constexpr std::uint8_t REQ_START = 0x03;     // 1 byte: scan mode
constexpr std::uint8_t REQ_STOP = 0x04;      // no payload

// Answers and data, scanner to host.
constexpr std::uint8_t RSP_IDENTITY = 0x81;  // 20 bytes: the identity record
constexpr std::uint8_t RSP_HEALTH = 0x82;    // 3 bytes: the health record
constexpr std::uint8_t RSP_START = 0x83;     // 1 byte: 0 accepted, else the reason for refusal
constexpr std::uint8_t RSP_STOP = 0x84;      // no payload
constexpr std::uint8_t RSP_NODES = 0x85;     // 1 to 50 measurement nodes of 5 bytes

constexpr std::uint8_t START_ACCEPTED = 0;
constexpr std::uint8_t START_REFUSED_BUSY = 1;
constexpr std::uint8_t START_REFUSED_MODE = 2;
constexpr std::uint8_t START_REFUSED_FAULT = 3;

constexpr std::size_t NODE_SIZE = 5;
constexpr std::size_t MAX_NODES_PER_FRAME = 50;
constexpr std::size_t HEADER_SIZE = 4;  // sync, sync, type, length
constexpr std::size_t MAX_PAYLOAD = NODE_SIZE * MAX_NODES_PER_FRAME;
constexpr std::size_t MAX_FRAME = HEADER_SIZE + MAX_PAYLOAD + 1;

// CRC-8, polynomial 0x07, initial value 0, no reflection.
std::uint8_t crc8(const std::uint8_t* data, std::size_t size, std::uint8_t crc = 0);

// True when a frame of this type may carry a payload of this length.
bool payload_length_valid(std::uint8_t type, std::size_t length);

// Writes one frame into out (room for MAX_FRAME bytes) and returns its size;
// 0 when the type or the length is not valid.
std::size_t encode_frame(std::uint8_t type, const std::uint8_t* payload, std::size_t length, std::uint8_t* out);

struct Frame {
    std::uint8_t type;
    std::uint8_t length;
    std::uint8_t payload[MAX_PAYLOAD];
};

// Collects received bytes and takes whole, checked frames out of them. Bytes
// before a sync pair are skipped; a candidate with an unknown type, a length
// its type cannot have or a wrong checksum is rejected and the search goes on
// one byte after its start, so a frame hidden behind a false start is found.
class FrameReader {
public:
    FrameReader()
    {
        clear();
        reset_counts();
    }

    // Where to put new bytes and how many fit.
    std::uint8_t* space();
    std::size_t space_size();
    // Makes n bytes written at space() part of the input.
    void commit(std::size_t n);
    // Takes the next frame; false when the input holds no complete one yet.
    bool next(Frame& frame);
    // Forgets all input (not the counts).
    void clear();
    void reset_counts();

    std::uint32_t accepted;  // frames taken
    std::uint32_t rejected;  // candidates thrown away

private:
    // Twice the largest frame: after next() has returned false, at least
    // MAX_FRAME bytes are free.
    std::uint8_t _buf[2 * MAX_FRAME];
    std::size_t _start;
    std::size_t _end;
};

}  // namespace wire
}  // namespace zorlan
}  // namespace standalone
}  // namespace orv
