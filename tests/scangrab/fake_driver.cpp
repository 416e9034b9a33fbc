// A scriptable test double of the scanner driver, built as libzorlan_driver.so
// in a folder of its own: a program linked against the real driver loads it
// instead when that folder is on LD_LIBRARY_PATH.
//
// The script comes from the environment, read once by CreateDriver:
//   ZFAKE_LOG        file that gets one line per call, in call order
//   ZFAKE_CREATE     "null": CreateDriver returns null
//   ZFAKE_BIND, ZFAKE_IDENTITY, ZFAKE_HEALTH, ZFAKE_START, ZFAKE_GRAB
//                    result codes in hexadecimal (default 0)
//   ZFAKE_SERIAL     32 hexadecimal digits; ZFAKE_FIRMWARE, ZFAKE_HARDWARE,
//   ZFAKE_STATUS, ZFAKE_ERRORCODE   numbers (0x prefix allowed)
//   ZFAKE_NODES      "flags:angle_code:distance_code,..." delivered by a grab
//   ZFAKE_COUNT      node count to report (may exceed the capacity); the
//                    buffer is filled up to min(count, capacity) by
//                    repeating the ZFAKE_NODES list
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "scangrab/zorlan_driver.h"

namespace orv {
namespace standalone {
namespace zorlan {

namespace {

std::uint32_t env_number(const char* name, std::uint32_t fallback, int base = 0)
{
    const char* v = std::getenv(name);
    return v ? static_cast<std::uint32_t>(std::strtoul(v, nullptr, base)) : fallback;
}

// Appends one line to the log; returns ZORLAN_OK, the result of the calls
// that cannot fail.
__attribute__((format(printf, 1, 2))) result_t log_call(const char* format, ...)
{
    const char* path = std::getenv("ZFAKE_LOG");
    // A lost log line shows up as a failed expectation.
    std::FILE* f = path ? std::fopen(path, "ae") : nullptr;
    if (!f)
        return ZORLAN_OK;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(f, format, ap);
    va_end(ap);
    std::fputc('\n', f);
    std::fclose(f);
    return ZORLAN_OK;
}

class FakeDriver final : public ZorlanDriver {
public:
    FakeDriver()
    {
        bind_result = env_number("ZFAKE_BIND", 0, 16);
        identity_result = env_number("ZFAKE_IDENTITY", 0, 16);
        health_result = env_number("ZFAKE_HEALTH", 0, 16);
        start_result = env_number("ZFAKE_START", 0, 16);
        grab_result = env_number("ZFAKE_GRAB", 0, 16);
        identity.firmware_version = static_cast<std::uint16_t>(env_number("ZFAKE_FIRMWARE", 0x0100));
        identity.hardware_revision = static_cast<std::uint8_t>(env_number("ZFAKE_HARDWARE", 1));
        if (const char* s = std::getenv("ZFAKE_SERIAL")) {
            for (int i = 0; i < 16 && s[2 * i] && s[2 * i + 1]; i++) {
                char byte[3] = {s[2 * i], s[2 * i + 1], 0};
                identity.serial_number[i] = static_cast<std::uint8_t>(std::strtoul(byte, nullptr, 16));
            }
        }
        health.status = static_cast<std::uint8_t>(env_number("ZFAKE_STATUS", 0));
        health.error_code = static_cast<std::uint16_t>(env_number("ZFAKE_ERRORCODE", 0));
        const char* list_env = std::getenv("ZFAKE_NODES");
        std::istringstream list(list_env ? list_env : "");
        unsigned f = 0, a = 0, d = 0;
        for (std::string item; std::getline(list, item, ',');)
            if (std::sscanf(item.c_str(), "%u:%u:%u", &f, &a, &d) == 3)
                nodes.push_back({static_cast<std::uint8_t>(f), static_cast<std::uint16_t>(a),
                                 static_cast<std::uint16_t>(d)});
        count = env_number("ZFAKE_COUNT", static_cast<std::uint32_t>(nodes.size()));
    }

    result_t BindPort(const char* port_path, std::uint32_t baudrate, std::uint32_t flags) override
    {
        log_call("BindPort %s %u %u", port_path, baudrate, flags);
        return bind_result;
    }
    result_t UnbindPort() override { return unexpected("UnbindPort"); }
    bool IsPortBound() override { return unexpected("IsPortBound") != 0; }
    result_t ClearInput() override { return unexpected("ClearInput"); }
    result_t GetBoundRate(std::uint32_t*) override { return unexpected("GetBoundRate"); }
    result_t StartScanOperation(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) override
    {
        log_call("StartScanOperation %u %u %u %u", a, b, c, d);
        return start_result;
    }
    bool IsScanning() override { return unexpected("IsScanning") != 0; }
    result_t RetrieveHealth(_zorlan_response_health_t* h, std::uint32_t timeout) override
    {
        log_call("RetrieveHealth %u", timeout);
        if (!zorlan_failed(health_result))
            *h = health;
        return health_result;
    }
    result_t RetrieveDeviceInfo(_zorlan_response_identity_t* id, std::uint32_t timeout) override
    {
        log_call("RetrieveDeviceInfo %u", timeout);
        if (!zorlan_failed(identity_result))
            *id = identity;
        return identity_result;
    }
    result_t GetFrameStats(std::uint32_t*, std::uint32_t*) override { return unexpected("GetFrameStats"); }
    result_t ResetFrameStats() override { return unexpected("ResetFrameStats"); }
    result_t PrepareScan() override { return log_call("PrepareScan"); }
    result_t FinishScan() override { return log_call("FinishScan"); }
    result_t HaltScan(std::uint32_t timeout) override { return log_call("HaltScan %u", timeout); }
    result_t GrabScanData(_zorlan_response_measurement_node_t* buffer, std::uint32_t* n,
                          std::uint32_t timeout) override
    {
        log_call("GrabScanData %u %u", *n, timeout);
        if (zorlan_failed(grab_result) && grab_result != ZORLAN_ERR_TIMEOUT)
            return grab_result;
        std::uint32_t fill = count < *n ? count : *n;
        for (std::uint32_t i = 0; i < fill && !nodes.empty(); i++)
            buffer[i] = nodes[i % nodes.size()];
        *n = count;
        return grab_result;
    }
    result_t ArrangeScanData(_zorlan_response_measurement_node_t*, std::uint32_t n) override
    {
        return log_call("ArrangeScanData %u", n);
    }

private:
    result_t unexpected(const char* name)
    {
        log_call("unexpected %s", name);
        return ZORLAN_ERR_NOT_SUPPORTED;
    }

    result_t bind_result, identity_result, health_result, start_result, grab_result;
    _zorlan_response_identity_t identity{};
    _zorlan_response_health_t health{};
    std::vector<_zorlan_response_measurement_node_t> nodes;
    std::uint32_t count;
};

}  // namespace

ZorlanDriver* ZorlanDriver::CreateDriver(std::uint32_t transport)
{
    log_call("CreateDriver %u", transport);
    const char* c = std::getenv("ZFAKE_CREATE");
    if (c && std::strcmp(c, "null") == 0)
        return nullptr;
    return new FakeDriver;
}

void ZorlanDriver::DisposeDriver(ZorlanDriver* driver)
{
    log_call("DisposeDriver");
    delete driver;
}

}  // namespace zorlan
}  // namespace standalone
}  // namespace orv
