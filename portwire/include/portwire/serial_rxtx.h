// Abstract serial byte channel: bind a device and a rate, open, send, wait for
// and receive bytes, drive the DTR line, cancel a wait, close.
//
// Get an instance from CreateRxTx() and give it back with ReleaseRxTx().
// One thread at a time drives a channel; the only call allowed from a second
// thread is cancelOperation(), while the first thread is inside waitfordata().
#pragma once

#include <cstdint>

namespace orv {
namespace hal {

class serial_rxtx {
public:
    // Results of waitfordata().
    static constexpr std::int32_t WAIT_READY = 0;     // the wanted bytes are queued
    static constexpr std::int32_t WAIT_TIMEOUT = -1;  // time-out passed, or the wait was cancelled
    static constexpr std::int32_t WAIT_FAILED = -2;   // not open (or closed meanwhile), or a system call failed

    // Allocates a channel in its closed state: no device bound, rate 0, flags 0.
    static serial_rxtx* CreateRxTx();
    // Closes and frees a channel from CreateRxTx(); a null pointer is ignored.
    static void ReleaseRxTx(serial_rxtx* channel);

    serial_rxtx() : _opened(false) {}
    virtual ~serial_rxtx() {}

    // A channel owns descriptors; copies would close them twice.
    serial_rxtx(const serial_rxtx&) = delete;
    serial_rxtx& operator=(const serial_rxtx&) = delete;

    // The order of these operations is part of the interface: keep it.

    // Discards bytes received but not yet read. flags is ignored.
    virtual void flush(std::uint32_t flags) = 0;
    // Records path, rate (baud) and flags for the next open(); touches no device. Returns 1 on success.
    virtual std::int32_t bind(const char* path, std::uint32_t baud, std::uint32_t flags) = 0;
    // Opens the bound device raw, non-blocking, 8N1, no flow control, DTR cleared.
    // An open channel is closed first. Anything but a terminal device is refused
    // untouched (errno ENOTTY), and so is a port another program holds (errno
    // EBUSY): the channel holds its port exclusively until close().
    // Returns 1 on success, 0 on failure.
    virtual std::int32_t open() = 0;
    // Puts back the terminal settings found at open (once the queued output
    // has gone out) and releases the device and the cancellation pipe;
    // harmless when not open.
    virtual void close() = 0;
    // Waits at most timeout_ms milliseconds until at least want bytes are queued.
    // *returned (when not null) gets the queued count on WAIT_READY and 0 on WAIT_TIMEOUT.
    // The bytes stay queued for recvdata().
    virtual std::int32_t waitfordata(std::uint32_t want, std::uint32_t timeout_ms, std::uint32_t* returned) = 0;
    // Writes without waiting; returns the count written (may be short; 0 when not open or nothing given).
    virtual std::int32_t senddata(const unsigned char* data, std::uint32_t size) = 0;
    // Reads what is there, up to size bytes, without waiting; returns the count (0 when nothing or not open).
    virtual std::int32_t recvdata(unsigned char* buffer, std::uint32_t size) = 0;
    // Does not wait: stores the count of the last senddata() that had data. Returns 0.
    virtual std::int32_t waitforsent(std::uint32_t timeout, std::uint32_t* returned) = 0;
    // Does not wait: stores the count of the last recvdata(). Returns 0, or -1 when not open.
    virtual std::int32_t waitforrecv(std::uint32_t timeout, std::uint32_t* returned) = 0;
    // Count of received bytes waiting to be read; 0 when not open or unknown.
    virtual std::int32_t rxqueue_count() = 0;
    // Assert / de-assert the DTR line; nothing when not open.
    virtual void setDTR() = 0;
    virtual void clearDTR() = 0;
    // Ends a waitfordata() blocked in another thread with WAIT_TIMEOUT; with no wait in
    // progress, the next wait that finds too few bytes ends at once the same way.
    virtual void cancelOperation() = 0;
    virtual bool isOpened() { return _opened; }

protected:
    bool _opened;  // true while the channel is open
};

}  // namespace hal
}  // namespace orv
