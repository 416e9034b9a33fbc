// Linux serial port behind orv::hal::serial_rxtx: a terminal device opened raw
// and non-blocking at any integer baud rate, plus a pipe that wakes a waiting
// thread when another thread cancels the wait.
#pragma once

#include <cstdint>

#include "portwire/serial_rxtx.h"

namespace orv {
namespace arch {
namespace net {

class raw_serial : public hal::serial_rxtx {
public:
    raw_serial();
    ~raw_serial() override;

    void flush(std::uint32_t flags) override;
    std::int32_t bind(const char* path, std::uint32_t baud, std::uint32_t flags) override;
    std::int32_t open() override;
    void close() override;
    std::int32_t waitfordata(std::uint32_t want, std::uint32_t timeout_ms, std::uint32_t* returned) override;
    std::int32_t senddata(const unsigned char* data, std::uint32_t size) override;
    std::int32_t recvdata(unsigned char* buffer, std::uint32_t size) override;
    std::int32_t waitforsent(std::uint32_t timeout, std::uint32_t* returned) override;
    std::int32_t waitforrecv(std::uint32_t timeout, std::uint32_t* returned) override;
    std::int32_t rxqueue_count() override;
    void setDTR() override;
    void clearDTR() override;
    void cancelOperation() override;

    // Opens path at baud; flags is accepted and ignored. Returns 1 on success, 0 on failure.
    std::int32_t open(const char* path, std::uint32_t baud, std::uint32_t flags);
    // Linux speed code (B1200 .. B4000000) of a standard rate; -1 for any other rate.
    std::int32_t getTermBaudBitmap(std::uint32_t baud);

private:
    void _init();

    char _port_name[200];      // bound path, always zero-terminated
    std::uint32_t _baud_rate;  // input and output speed
    std::uint32_t _open_flags; // stored for open(); no effect on the port
    int _port_fd;              // open device, or -1
    std::uint32_t _tx_count;   // bytes written by the latest senddata() that had data
    std::uint32_t _rx_count;   // bytes delivered by the latest recvdata() on an open channel
    int _cancel_pipe[2];       // [0] read end, [1] write end; -1 each when absent
    bool _cancelled;           // set by cancelOperation(); cleared by open() and close()
    // The terminal settings open() found, put back by close(). Opaque here:
    // line_setup.cpp lays the record out and checks its size.
    unsigned char _saved_line[44];
    int _saved_line_form;  // how they were read; 0 when they could not be: nothing to put back
};

}  // namespace net
}  // namespace arch
}  // namespace orv
