// scangrab: grabs one scan from a rotating laser range scanner on a serial
// port and shows it on the console.
// Usage: scangrab <com port> [baudrate]
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "capture.h"
#include "scangrab/zorlan_driver.h"
#include "toolset/stdfds.h"

using namespace orv::standalone::zorlan;

namespace {

bool failed(result_t r) { return static_cast<std::int32_t>(r) < 0; }

// The part of the run between binding and teardown; every return leads to
// the teardown in main.
void run(ZorlanDriver* drv, const char* port, std::uint32_t baudrate)
{
    const result_t bound = drv->BindPort(port, baudrate, 0);
    if (failed(bound)) {
        std::fprintf(stderr, "Error, cannot bind to the specified serial port %s.\n", port);
        if (bound == ZORLAN_ERR_BUSY)
            std::fprintf(stderr, "Error, the port %s is in use by another program.\n", port);
        return;
    }

    _zorlan_response_identity_t identity;
    result_t r = drv->RetrieveDeviceInfo(&identity, DRIVER_TIMEOUT_MS);
    if (failed(r)) {
        if (r == ZORLAN_ERR_TIMEOUT)
            std::fprintf(stderr, "Error, operation time out.\n");
        else
            std::fprintf(stderr, "Error, unexpected error, code: %x\n", static_cast<unsigned int>(r));
        return;
    }
    std::printf("ZORLAN S/N: ");
    for (int i = 0; i < 16; i++)
        std::printf("%02X", identity.serial_number[i]);
    std::printf("\nVersion: 1.11.0\nFirmware Ver: %d.%02d\nHardware Rev: %d\n", identity.firmware_version >> 8,
                identity.firmware_version & 0xFF, static_cast<int>(identity.hardware_revision));

    _zorlan_response_health_t health;
    r = drv->RetrieveHealth(&health, DRIVER_TIMEOUT_MS);
    if (failed(r)) {
        std::fprintf(stderr, "Error, cannot retrieve the lidar health code: %x\n", static_cast<unsigned int>(r));
        return;
    }
    std::printf("ZorLan health status : ");
    switch (health.status) {
    case 0:
        std::printf("OK.");
        break;
    case 1:
        std::printf("Warning.");
        break;
    case 2:
        std::printf("Error.");
        break;
    default:
        break;
    }
    std::printf(" (errorcode: %d)\n", static_cast<int>(health.error_code));
    if (health.status == 2) {
        std::fprintf(stderr, "Error, zorlan internal error detected. Please reboot the device to retry.\n");
        return;
    }

    drv->PrepareScan();  // result ignored: the start below tells whether the scanner is usable
    if (failed(drv->StartScanOperation(0, 1, 0, 0))) {
        std::fprintf(stderr, "Error, cannot start the scan operation.\n");
        return;
    }
    if (capture_and_display(drv) < 0)
        std::fprintf(stderr, "Error, cannot grab scan data.\n");
}

// Reads a baud rate written as decimal digits alone (no sign, blank or other
// character), from 1 to 4294967295; false for anything else, so that no rate
// is cut to 32 bits or taken from the front of a longer text.
bool parse_rate(const char* text, std::uint32_t& rate)
{
    std::uint64_t v = 0;
    for (const char* c = text; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(*c - '0');
        if (v > UINT32_MAX)
            return false;
    }
    if (text[0] == '\0' || v == 0)
        return false;
    rate = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

void print_usage(int argc, const char** argv)
{
    (void)argc;
    // A program started with an empty argument list has no name to show.
    const char* name = argv[0] ? argv[0] : "scangrab";
    std::printf("Simple LIDAR data grabber for ZORLAN.\n"
                "Version: 1.11.0\n"
                "Usage:\n"
                "%s <com port> [baudrate]\n"
                "The default baudrate is 115200(for M7) or 256000(for M9). Please refer to the datasheet for "
                "details.\n",
                name);
}

int main(int argc, char** argv)
{
    open_std_fds();
    if (argc < 2) {
        print_usage(argc, const_cast<const char**>(argv));
        return -1;
    }
    const char* port = argv[1];
    std::uint32_t baudrate = 115200;
    // A rate that is no such number is the caller's mistake, like a missing
    // port: reported before any driver is made or port opened, with the
    // status of a wrong command line.
    if (argc > 2 && !parse_rate(argv[2], baudrate)) {
        std::fprintf(stderr, "Error, invalid baudrate '%s', expected a whole number from 1 to 4294967295.\n", argv[2]);
        return -1;
    }

    ZorlanDriver* drv = ZorlanDriver::CreateDriver(0);
    if (!drv) {
        std::fprintf(stderr, "insufficent memory, exit\n");
        std::exit(-2);
    }

    run(drv, port, baudrate);

    // Teardown on every path once a driver exists; results ignored.
    drv->HaltScan(DRIVER_TIMEOUT_MS);
    drv->FinishScan();
    ZorlanDriver::DisposeDriver(drv);
    return stdout_status(0);
}
