// The stand-in scanner driver: the driver contract over a serial channel,
// speaking the framed protocol of zorlan/PROTOCOL.md.
#include <cerrno>
#include <cstring>
#include <new>

#include "portwire/serial_rxtx.h"
#include "scangrab/zorlan_driver.h"
#include "toolset/monoclock.h"
#include "wire.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "payloads are copied into the little-endian records as they are");

namespace orv {
namespace standalone {
namespace zorlan {

namespace {

// How long a start waits for the scanner's acceptance when asked to wait.
constexpr std::uint32_t START_ACK_TIMEOUT_MS = 2000;

// The end of an operation's time. Once it has passed, one more look at the
// port (without waiting) still takes what has already arrived.
struct Deadline {
    explicit Deadline(std::uint32_t timeout_ms) : end(mono_ms() + timeout_ms) {}
    std::uint64_t end;
    bool last_look_done = false;
};

class SerialDriver final : public ZorlanDriver {
public:
    SerialDriver() = default;
    ~SerialDriver() override { UnbindPort(); }

    result_t BindPort(const char* port_path, std::uint32_t baudrate, std::uint32_t flags) override;
    result_t UnbindPort() override;
    bool IsPortBound() override { return _channel != nullptr; }
    result_t ClearInput() override;
    result_t GetBoundRate(std::uint32_t* baudrate) override;
    result_t StartScanOperation(std::uint32_t mode, std::uint32_t wait_ack, std::uint32_t reserved_a,
                                std::uint32_t reserved_b) override;
    bool IsScanning() override { return _scanning; }
    result_t RetrieveHealth(_zorlan_response_health_t* health, std::uint32_t timeout) override;
    result_t RetrieveDeviceInfo(_zorlan_response_identity_t* identity, std::uint32_t timeout) override;
    result_t GetFrameStats(std::uint32_t* accepted, std::uint32_t* rejected) override;
    result_t ResetFrameStats() override;
    result_t PrepareScan() override;
    result_t FinishScan() override;
    result_t HaltScan(std::uint32_t timeout) override;
    result_t GrabScanData(_zorlan_response_measurement_node_t* nodes, std::uint32_t* count,
                          std::uint32_t timeout) override;
    result_t ArrangeScanData(_zorlan_response_measurement_node_t* nodes, std::uint32_t count) override;

private:
    result_t send_request(std::uint8_t type, const std::uint8_t* payload, std::size_t length);
    // Reads more bytes into the frame reader, waiting at most until the deadline.
    result_t receive(Deadline& deadline);
    // Takes frames until one of the wanted type arrives (into _frame); frames
    // of other types are dropped.
    result_t await_frame(std::uint8_t wanted, Deadline& deadline);
    result_t request(std::uint8_t type, std::uint8_t answer, std::uint32_t timeout);
    void drop_input();

    hal::serial_rxtx* _channel = nullptr;  // owned; null while no port is bound
    std::uint32_t _baudrate = 0;
    bool _scanning = false;
    wire::FrameReader _reader;
    wire::Frame _frame;
    // A node frame being delivered: the nodes before _nodes_used are taken.
    // When a grab ends at the start of the next revolution, the rest of the
    // frame waits here for the next grab.
    wire::Frame _nodes_frame;
    std::size_t _nodes_total = 0;
    std::size_t _nodes_used = 0;
    // The node at _nodes_used begins a revolution though it has no flag: the
    // last grab ended there because the angle fell back.
    bool _next_node_starts = false;
};

result_t SerialDriver::BindPort(const char* port_path, std::uint32_t baudrate, std::uint32_t flags)
{
    // A rate of 0 would hang up a real serial line.
    if (!port_path || baudrate == 0)
        return ZORLAN_ERR_BAD_ARGUMENT;
    UnbindPort();
    hal::serial_rxtx* channel = hal::serial_rxtx::CreateRxTx();
    channel->bind(port_path, baudrate, flags);
    if (channel->open() != 1) {
        const bool busy = errno == EBUSY;  // read before the release can change it
        hal::serial_rxtx::ReleaseRxTx(channel);
        return busy ? ZORLAN_ERR_BUSY : ZORLAN_ERR_PORT;
    }
    _channel = channel;
    _baudrate = baudrate;
    drop_input();
    _reader.reset_counts();
    return ZORLAN_OK;
}

result_t SerialDriver::UnbindPort()
{
    // Releasing the channel closes its device.
    hal::serial_rxtx::ReleaseRxTx(_channel);
    _channel = nullptr;
    _scanning = false;
    drop_input();
    return ZORLAN_OK;
}

result_t SerialDriver::ClearInput()
{
    if (!_channel)
        return ZORLAN_ERR_NOT_BOUND;
    _channel->flush(0);
    drop_input();
    return ZORLAN_OK;
}

result_t SerialDriver::GetBoundRate(std::uint32_t* baudrate)
{
    if (!baudrate)
        return ZORLAN_ERR_BAD_ARGUMENT;
    if (!_channel)
        return ZORLAN_ERR_NOT_BOUND;
    *baudrate = _baudrate;
    return ZORLAN_OK;
}

result_t SerialDriver::StartScanOperation(std::uint32_t mode, std::uint32_t wait_ack, std::uint32_t reserved_a,
                                          std::uint32_t reserved_b)
{
    if (!_channel)
        return ZORLAN_ERR_NOT_BOUND;
    if (mode > 0xFF || reserved_a != 0 || reserved_b != 0)
        return ZORLAN_ERR_BAD_ARGUMENT;
    if (_scanning)
        return ZORLAN_OK;  // a running scan goes on
    std::uint8_t m = static_cast<std::uint8_t>(mode);
    result_t r = send_request(wire::REQ_START, &m, 1);
    if (zorlan_failed(r))
        return r;
    if (wait_ack) {
        Deadline deadline(START_ACK_TIMEOUT_MS);
        r = await_frame(wire::RSP_START, deadline);
        if (zorlan_failed(r))
            return r;
        if (_frame.payload[0] != wire::START_ACCEPTED)
            return ZORLAN_ERR_REFUSED;
    }
    _nodes_total = _nodes_used = 0;
    _next_node_starts = false;
    _scanning = true;
    return ZORLAN_OK;
}

result_t SerialDriver::RetrieveHealth(_zorlan_response_health_t* health, std::uint32_t timeout)
{
    if (!health)
        return ZORLAN_ERR_BAD_ARGUMENT;
    result_t r = request(wire::REQ_HEALTH, wire::RSP_HEALTH, timeout);
    if (zorlan_failed(r))
        return r;
    static_assert(sizeof(*health) == 3, "the health answer is the record");
    std::memcpy(health, _frame.payload, sizeof(*health));
    return ZORLAN_OK;
}

result_t SerialDriver::RetrieveDeviceInfo(_zorlan_response_identity_t* identity, std::uint32_t timeout)
{
    if (!identity)
        return ZORLAN_ERR_BAD_ARGUMENT;
    result_t r = request(wire::REQ_IDENTITY, wire::RSP_IDENTITY, timeout);
    if (zorlan_failed(r))
        return r;
    static_assert(sizeof(*identity) == 20, "the identity answer is the record");
    std::memcpy(identity, _frame.payload, sizeof(*identity));
    return ZORLAN_OK;
}

result_t SerialDriver::GetFrameStats(std::uint32_t* accepted, std::uint32_t* rejected)
{
    if (!accepted || !rejected)
        return ZORLAN_ERR_BAD_ARGUMENT;
    *accepted = _reader.accepted;
    *rejected = _reader.rejected;
    return ZORLAN_OK;
}

result_t SerialDriver::ResetFrameStats()
{
    _reader.reset_counts();
    return ZORLAN_OK;
}

result_t SerialDriver::PrepareScan()
{
    if (!_channel)
        return ZORLAN_ERR_NOT_BOUND;
    // A scanner left streaming by an earlier session falls quiet; what it
    // sent so far is dropped. The stop's answer is not awaited: whatever
    // still arrives is skipped by the start.
    send_request(wire::REQ_STOP, nullptr, 0);
    _scanning = false;
    return ClearInput();
}

result_t SerialDriver::FinishScan()
{
    if (_channel && _scanning)
        send_request(wire::REQ_STOP, nullptr, 0);  // best effort: the port closes next
    return UnbindPort();
}

result_t SerialDriver::HaltScan(std::uint32_t timeout)
{
    if (!_channel)
        return ZORLAN_OK;  // nothing to stop
    bool was_scanning = _scanning;
    _scanning = false;
    _nodes_total = _nodes_used = 0;
    _next_node_starts = false;
    result_t r = send_request(wire::REQ_STOP, nullptr, 0);
    if (zorlan_failed(r) || !was_scanning)
        return r;
    Deadline deadline(timeout);
    return await_frame(wire::RSP_STOP, deadline);
}

result_t SerialDriver::GrabScanData(_zorlan_response_measurement_node_t* nodes, std::uint32_t* count,
                                    std::uint32_t timeout)
{
    if (!nodes || !count || *count == 0)
        return ZORLAN_ERR_BAD_ARGUMENT;
    std::uint32_t capacity = *count;
    *count = 0;
    if (!_channel)
        return ZORLAN_ERR_NOT_BOUND;
    if (!_scanning)
        return ZORLAN_ERR_BAD_STATE;

    Deadline deadline(timeout);
    std::uint32_t delivered = 0;
    bool revolution_started = false;
    bool have_angle = false;
    unsigned last_angle = 0;
    for (;;) {
        while (_nodes_used < _nodes_total) {
            _zorlan_response_measurement_node_t node;
            std::memcpy(&node, _nodes_frame.payload + _nodes_used * wire::NODE_SIZE, sizeof(node));
            // A revolution starts at a flagged node, or where the angle falls
            // back: then the flagged node was in a frame that was lost, and
            // without this the grab would run on into the next revolution.
            const unsigned angle = node.angle_code >> 1;
            const bool starts = (node.scan_flags & 1) || _next_node_starts || (have_angle && angle <= last_angle);
            _next_node_starts = false;
            if (starts) {
                if (revolution_started) {
                    // The next revolution begins: this node is kept for the next grab.
                    _next_node_starts = true;
                    *count = delivered;
                    return ZORLAN_OK;
                }
                // Nodes of a revolution whose start was missed are dropped.
                revolution_started = true;
                delivered = 0;
            }
            have_angle = true;
            last_angle = angle;
            // A revolution longer than the buffer is cut to the buffer.
            if (delivered < capacity)
                nodes[delivered++] = node;
            _nodes_used++;
        }
        result_t r = await_frame(wire::RSP_NODES, deadline);
        if (zorlan_failed(r)) {
            // On a time-out, what arrived is delivered with the time-out code.
            *count = delivered;
            return r;
        }
        _nodes_frame = _frame;
        _nodes_total = _frame.length / wire::NODE_SIZE;
        _nodes_used = 0;
    }
}

result_t SerialDriver::ArrangeScanData(_zorlan_response_measurement_node_t* nodes, std::uint32_t count)
{
    if (!nodes && count > 0)
        return ZORLAN_ERR_BAD_ARGUMENT;
    // Insertion sort: stable, in place, and linear for a revolution that
    // arrives in angle order, which is the usual case.
    for (std::uint32_t i = 1; i < count; i++) {
        _zorlan_response_measurement_node_t node = nodes[i];
        unsigned angle = node.angle_code >> 1;
        std::uint32_t j = i;
        while (j > 0 && (nodes[j - 1].angle_code >> 1) > angle) {
            nodes[j] = nodes[j - 1];
            j--;
        }
        nodes[j] = node;
    }
    return ZORLAN_OK;
}

result_t SerialDriver::send_request(std::uint8_t type, const std::uint8_t* payload, std::size_t length)
{
    if (!_channel)
        return ZORLAN_ERR_NOT_BOUND;
    std::uint8_t frame[wire::MAX_FRAME];
    std::size_t size = wire::encode_frame(type, payload, length, frame);
    if (size == 0)
        return ZORLAN_ERR_BAD_ARGUMENT;
    std::int32_t sent = _channel->senddata(frame, static_cast<std::uint32_t>(size));
    return sent == static_cast<std::int32_t>(size) ? ZORLAN_OK : ZORLAN_ERR_PORT;
}

result_t SerialDriver::receive(Deadline& deadline)
{
    std::uint64_t now = mono_ms();
    std::uint32_t left = 0;
    if (now < deadline.end)
        left = static_cast<std::uint32_t>(deadline.end - now);
    else if (deadline.last_look_done)
        return ZORLAN_ERR_TIMEOUT;
    else
        deadline.last_look_done = true;

    std::int32_t w = _channel->waitfordata(1, left, nullptr);
    if (w == hal::serial_rxtx::WAIT_TIMEOUT)
        return ZORLAN_ERR_TIMEOUT;
    if (w != hal::serial_rxtx::WAIT_READY)
        return ZORLAN_ERR_PORT;
    std::int32_t n = _channel->recvdata(_reader.space(), static_cast<std::uint32_t>(_reader.space_size()));
    if (n > 0)
        _reader.commit(static_cast<std::size_t>(n));
    return ZORLAN_OK;
}

result_t SerialDriver::await_frame(std::uint8_t wanted, Deadline& deadline)
{
    for (;;) {
        while (_reader.next(_frame)) {
            if (_frame.type == wanted)
                return ZORLAN_OK;
        }
        result_t r = receive(deadline);
        if (zorlan_failed(r))
            return r;
    }
}

result_t SerialDriver::request(std::uint8_t type, std::uint8_t answer, std::uint32_t timeout)
{
    if (!_channel)
        return ZORLAN_ERR_NOT_BOUND;
    // A streaming scanner's frames would bury the answer.
    if (_scanning)
        return ZORLAN_ERR_BAD_STATE;
    result_t r = send_request(type, nullptr, 0);
    if (zorlan_failed(r))
        return r;
    Deadline deadline(timeout);
    return await_frame(answer, deadline);
}

void SerialDriver::drop_input()
{
    _reader.clear();
    _nodes_total = _nodes_used = 0;
    _next_node_starts = false;
}

}  // namespace

ZorlanDriver* ZorlanDriver::CreateDriver(std::uint32_t transport)
{
    if (transport != ZORLAN_TRANSPORT_SERIAL)
        return nullptr;
    return new (std::nothrow) SerialDriver;
}

void ZorlanDriver::DisposeDriver(ZorlanDriver* driver)
{
    delete driver;
}

}  // namespace zorlan
}  // namespace standalone
}  // namespace orv
