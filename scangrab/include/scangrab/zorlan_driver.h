// Scanner driver contract: the records a driver fills, its result codes and
// the driver object that programs reach only through CreateDriver(),
// DisposeDriver() and the virtual operations below.
//
// The position of every virtual operation in the class's table is part of
// the contract (a driver library may be replaced without relinking the
// program): never reorder, insert or remove a declaration.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define ZORLAN_EXPORT __attribute__((visibility("default")))
#else
#define ZORLAN_EXPORT
#endif

namespace orv {
namespace standalone {
namespace zorlan {

// Every operation returns a 32-bit result code: negative as a signed 32-bit
// value (top bit set) means failure; every other value, not only 0, means
// success.
typedef std::uint32_t result_t;

constexpr result_t ZORLAN_OK = 0;
constexpr result_t ZORLAN_ERR_TIMEOUT = 0x80008002;        // the operation timed out
constexpr result_t ZORLAN_ERR_BAD_ARGUMENT = 0x80008101;   // null record, zero capacity, reserved value set
constexpr result_t ZORLAN_ERR_NOT_BOUND = 0x80008102;      // no port is bound
constexpr result_t ZORLAN_ERR_PORT = 0x80008103;           // the port cannot be opened, written or waited on
constexpr result_t ZORLAN_ERR_REFUSED = 0x80008104;        // the scanner answered no
constexpr result_t ZORLAN_ERR_NOT_SUPPORTED = 0x80008105;  // operation or value this driver does not have
constexpr result_t ZORLAN_ERR_BAD_STATE = 0x80008106;      // not allowed now (e.g. a request while scanning)
constexpr result_t ZORLAN_ERR_BUSY = 0x80008107;           // the port is held by another program

inline bool zorlan_failed(result_t r) { return static_cast<std::int32_t>(r) < 0; }

// The records below are packed; multi-byte fields are unsigned little-endian.

// One measurement.
struct _zorlan_response_measurement_node_t {
    std::uint8_t scan_flags;      // bit 0: first node of a revolution
    std::uint16_t angle_code;     // bits 15..1: angle in 1/64 degree; bit 0 unused
    std::uint16_t distance_code;  // distance in mm times 4; 0 means no return
} __attribute__((packed));

// The scanner's identity.
struct _zorlan_response_identity_t {
    std::uint8_t head_byte;          // model code
    std::uint16_t firmware_version;  // high byte major, low byte minor
    std::uint8_t hardware_revision;
    std::uint8_t serial_number[16];  // shown byte 0 first
} __attribute__((packed));

// The scanner's own health verdict.
struct _zorlan_response_health_t {
    std::uint8_t status;  // 0 OK, 1 warning, 2 error: the scanner must be rebooted
    std::uint16_t error_code;
} __attribute__((packed));

static_assert(sizeof(_zorlan_response_measurement_node_t) == 5, "measurement node is 5 bytes");
static_assert(sizeof(_zorlan_response_identity_t) == 20, "identity record is 20 bytes");
static_assert(sizeof(_zorlan_response_health_t) == 3, "health record is 3 bytes");

// Arguments of CreateDriver().
constexpr std::uint32_t ZORLAN_TRANSPORT_SERIAL = 0;

// The driver. Records and node buffers belong to the caller. All time-outs are
// in milliseconds. One thread at a time.
class ZORLAN_EXPORT ZorlanDriver {
public:
    // A new driver for the given transport (ZORLAN_TRANSPORT_SERIAL), or null
    // when none can be made.
    static ZorlanDriver* CreateDriver(std::uint32_t transport);
    // Releases a driver from CreateDriver(), closing its port; null is ignored.
    static void DisposeDriver(ZorlanDriver* driver);

    // Slot 0. Opens the serial port at the rate; flags is reserved (pass 0).
    // A port already bound is released first. The port is held exclusively
    // while bound: one held by another program gives ZORLAN_ERR_BUSY, one
    // that cannot be opened otherwise ZORLAN_ERR_PORT.
    virtual result_t BindPort(const char* port_path, std::uint32_t baudrate, std::uint32_t flags) = 0;

protected:
    // Slots 1 and 2 (the complete and the deleting destructor). Only
    // DisposeDriver() destroys a driver.
    virtual ~ZorlanDriver() {}

public:
    // Slot 3. Closes the port; harmless when none is bound.
    virtual result_t UnbindPort() = 0;
    // Slot 4.
    virtual bool IsPortBound() = 0;
    // Slot 5. Discards every byte received and not yet decoded.
    virtual result_t ClearInput() = 0;
    // Slot 6. The rate the port was bound at.
    virtual result_t GetBoundRate(std::uint32_t* baudrate) = 0;
    // Slot 7. mode: scan mode sent to the scanner (0 = standard). wait_ack:
    // non-zero waits up to 2000 ms for the scanner's acceptance, 0 does not
    // wait. reserved_a, reserved_b: pass 0.
    virtual result_t StartScanOperation(std::uint32_t mode, std::uint32_t wait_ack, std::uint32_t reserved_a,
                                        std::uint32_t reserved_b) = 0;
    // Slot 8. True from an accepted start until a halt.
    virtual bool IsScanning() = 0;
    // Slot 9.
    virtual result_t RetrieveHealth(_zorlan_response_health_t* health, std::uint32_t timeout) = 0;
    // Slot 10.
    virtual result_t RetrieveDeviceInfo(_zorlan_response_identity_t* identity, std::uint32_t timeout) = 0;
    // Slot 11. Frames decoded and frames rejected (bad header or checksum)
    // since the port was bound or the counts were reset.
    virtual result_t GetFrameStats(std::uint32_t* accepted, std::uint32_t* rejected) = 0;
    // Slot 12.
    virtual result_t ResetFrameStats() = 0;
    // Slot 13. Brings a bound scanner to a quiet, idle state before a start.
    virtual result_t PrepareScan() = 0;
    // Slot 14. Ends the session: stops any scan and closes the port.
    // Harmless in every state.
    virtual result_t FinishScan() = 0;

    // Slots 15 to 19: kept for later operations so that the table keeps its
    // layout. A driver without them answers ZORLAN_ERR_NOT_SUPPORTED.
    virtual result_t Reserved15() { return ZORLAN_ERR_NOT_SUPPORTED; }
    virtual result_t Reserved16() { return ZORLAN_ERR_NOT_SUPPORTED; }
    virtual result_t Reserved17() { return ZORLAN_ERR_NOT_SUPPORTED; }
    virtual result_t Reserved18() { return ZORLAN_ERR_NOT_SUPPORTED; }
    virtual result_t Reserved19() { return ZORLAN_ERR_NOT_SUPPORTED; }

    // Slot 20. Stops a running scan, waiting up to timeout for the scanner to
    // confirm. Harmless in every state.
    virtual result_t HaltScan(std::uint32_t timeout) = 0;
    // Slot 21. Delivers one revolution into nodes. *count: in, the capacity
    // of nodes; out, the nodes delivered, never above the capacity. When the
    // time-out passes first, the nodes that arrived are delivered and the
    // result is ZORLAN_ERR_TIMEOUT.
    virtual result_t GrabScanData(_zorlan_response_measurement_node_t* nodes, std::uint32_t* count,
                                  std::uint32_t timeout) = 0;

    // Slot 22: kept for a later operation, like slots 15 to 19.
    virtual result_t Reserved22() { return ZORLAN_ERR_NOT_SUPPORTED; }

    // Slot 23. Orders the first count nodes by angle, ascending.
    virtual result_t ArrangeScanData(_zorlan_response_measurement_node_t* nodes, std::uint32_t count) = 0;
};

}  // namespace zorlan
}  // namespace standalone
}  // namespace orv
