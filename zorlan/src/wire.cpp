#include "wire.h"

#include <cstring>

namespace orv {
namespace standalone {
namespace zorlan {
namespace wire {

std::uint8_t crc8(const std::uint8_t* data, std::size_t size, std::uint8_t crc)
{
    for (std::size_t i = 0; i < size; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

bool payload_length_valid(std::uint8_t type, std::size_t length)
{
    switch (type) {
    case REQ_IDENTITY:
    case REQ_HEALTH:
    case REQ_STOP:
    case RSP_STOP:
        return length == 0;
    case REQ_START:
    case RSP_START:
        return length == 1;
    case RSP_IDENTITY:
        return length == 20;
    case RSP_HEALTH:
        return length == 3;
    case RSP_NODES:
        return length > 0 && length <= MAX_PAYLOAD && length % NODE_SIZE == 0;
    default:
        return false;
    }
}

std::size_t encode_frame(std::uint8_t type, const std::uint8_t* payload, std::size_t length, std::uint8_t* out)
{
    if (!payload_length_valid(type, length))
        return 0;
    out[0] = SYNC0;
    out[1] = SYNC1;
    out[2] = type;
    out[3] = static_cast<std::uint8_t>(length);
    if (length > 0)
        std::memcpy(out + HEADER_SIZE, payload, length);
    out[HEADER_SIZE + length] = crc8(out + 2, length + 2);
    return HEADER_SIZE + length + 1;
}

std::uint8_t* FrameReader::space()
{
    if (_start > 0) {
        std::memmove(_buf, _buf + _start, _end - _start);
        _end -= _start;
        _start = 0;
    }
    return _buf + _end;
}

std::size_t FrameReader::space_size()
{
    space();
    return sizeof(_buf) - _end;
}

void FrameReader::commit(std::size_t n)
{
    std::size_t room = sizeof(_buf) - _end;
    _end += n < room ? n : room;
}

bool FrameReader::next(Frame& frame)
{
    for (;;) {
        std::size_t avail = _end - _start;
        const std::uint8_t* p = _buf + _start;
        if (avail == 0)
            return false;
        if (p[0] != SYNC0) {
            const void* s = std::memchr(p, SYNC0, avail);
            std::size_t skip = s ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(s) - p) : avail;
            _start += skip;
            continue;
        }
        if (avail < 2)
            return false;
        if (p[1] != SYNC1) {
            _start++;
            continue;
        }
        if (avail < HEADER_SIZE)
            return false;
        std::uint8_t type = p[2];
        std::size_t length = p[3];
        // The length decides how many bytes to read only once the type says
        // it is a length this kind of frame can have.
        if (!payload_length_valid(type, length)) {
            rejected++;
            _start++;
            continue;
        }
        std::size_t total = HEADER_SIZE + length + 1;
        if (avail < total)
            return false;
        if (crc8(p + 2, length + 2) != p[HEADER_SIZE + length]) {
            rejected++;
            _start++;
            continue;
        }
        frame.type = type;
        frame.length = static_cast<std::uint8_t>(length);
        if (length > 0)
            std::memcpy(frame.payload, p + HEADER_SIZE, length);
        _start += total;
        accepted++;
        return true;
    }
}

void FrameReader::clear()
{
    _start = 0;
    _end = 0;
}

void FrameReader::reset_counts()
{
    accepted = 0;
    rejected = 0;
}

}  // namespace wire
}  // namespace zorlan
}  // namespace standalone
}  // namespace orv
