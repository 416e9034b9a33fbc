// A scripted test double of the scanner driver, loaded in place of the real libzorlan_driver.so through
// LD_LIBRARY_PATH. The script, from the environment: ZFAKE_LOG a file that gets a line per call;
// ZFAKE_CREATE "null"; the results ZFAKE_BIND, _IDENTITY, _HEALTH, _START, _GRAB in hexadecimal;
// ZFAKE_SERIAL 32 hexadecimal digits; ZFAKE_FIRMWARE, _HARDWARE, _STATUS, _ERRORCODE numbers;
// ZFAKE_NODES "flags:angle:distance,..." repeated up to ZFAKE_COUNT (which may exceed the buffer).
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Returns ZORLAN_OK, the result of the calls that cannot fail. A lost log line shows up as a failed expectation.
__attribute__((format(printf, 1, 2))) result_t log_call(const char* format, ...)
{
    const char* path = std::getenv("ZFAKE_LOG");
    if (std::FILE* f = path ? std::fopen(path, "ae") : nullptr) {
        va_list ap;
        va_start(ap, format);
        std::vfprintf(f, format, ap);
        va_end(ap);
        std::fputc('\n', f);
        std::fclose(f);
    }
    return ZORLAN_OK;
}

class FakeDriver final : public ZorlanDriver {
public:
    FakeDriver()
    {
        identity.firmware_version = static_cast<std::uint16_t>(env_number("ZFAKE_FIRMWARE", 0x0100));
        identity.hardware_revision = static_cast<std::uint8_t>(env_number("ZFAKE_HARDWARE", 1));
        const char* serial = std::getenv("ZFAKE_SERIAL");
        const std::size_t digits = serial ? std::strlen(serial) : 0;
        for (std::size_t i = 0; i < 16 && 2 * i + 1 < digits; i++)
            std::sscanf(serial + 2 * i, "%2hhx", &identity.serial_number[i]);
        health.status = static_cast<std::uint8_t>(env_number("ZFAKE_STATUS", 0));
        health.error_code = static_cast<std::uint16_t>(env_number("ZFAKE_ERRORCODE", 0));
        const char* list = std::getenv("ZFAKE_NODES");
        unsigned f = 0, a = 0, d = 0;
        for (int used = 0; list && std::sscanf(list, "%u:%u:%u%n", &f, &a, &d, &used) == 3; list += used + 1) {
            nodes.push_back({static_cast<std::uint8_t>(f), static_cast<std::uint16_t>(a),
                             static_cast<std::uint16_t>(d)});
            if (list[used] != ',')
                break;
        }
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
    result_t unexpected(const char* name) { return log_call("unexpected %s", name), ZORLAN_ERR_NOT_SUPPORTED; }

    const result_t bind_result = env_number("ZFAKE_BIND", 0, 16), identity_result = env_number("ZFAKE_IDENTITY", 0, 16),
                   health_result = env_number("ZFAKE_HEALTH", 0, 16), start_result = env_number("ZFAKE_START", 0, 16),
                   grab_result = env_number("ZFAKE_GRAB", 0, 16);
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
