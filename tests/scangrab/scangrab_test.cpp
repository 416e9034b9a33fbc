// The grabber program: every exit path with the fake driver (loaded in place
// of the real one), the run from end to end with the stand-in driver and the
// scanner emulator, and finding the driver from an installed layout.
#include <cstdio>
#include <filesystem>
#include <optional>

#include "scangrab_support.h"

using namespace testsupport;

namespace {

// The driver calls of a run on /dev/ttyX that gets through `steps` steps of a
// scan, then the teardown.
std::vector<std::string> calls(size_t steps, const std::string& bind = "BindPort /dev/ttyX 115200 0")
{
    std::vector<std::string> c{"CreateDriver 0", bind, "RetrieveDeviceInfo 2000", "RetrieveHealth 2000", "PrepareScan",
                               "StartScanOperation 0 1 0 0", "GrabScanData 8192 2000", "ArrangeScanData 0"};
    c.resize(steps + 1);
    c.insert(c.end(), {"HaltScan 2000", "FinishScan", "DisposeDriver"});
    return c;
}

}  // namespace

// Every path through the program: the message on standard error, what comes
// before it, the status, and the driver calls with the teardown in order
// once a driver exists. The scanner identifies itself in every case.
TEST(ScangrabExitPaths, EachPathHasItsOutputMessageStatusAndDriverCalls)
{
    const std::string usage = std::string("Simple LIDAR data grabber for ZORLAN.\nVersion: 1.11.0\nUsage:\n") +
                              SCANGRAB_BIN +
                              " <com port> [baudrate]\nThe default baudrate is 115200(for M7) or 256000(for M9). "
                              "Please refer to the datasheet for details.\n";
    const std::string report = "ZORLAN S/N: 01AB000000000000000000000000007F\nVersion: 1.11.0\n"
                               "Firmware Ver: 1.05\nHardware Rev: 4\n";
    const std::string ok = report + "ZorLan health status : OK. (errorcode: 0)\n";
    // The fake delivers no nodes: every column is full; the answer is no.
    const std::string scan = "waiting for data...\n" + chart({}, 20) + ANSWERED;
    const std::string no_bind = "Error, cannot bind to the specified serial port /dev/ttyX.\n";
    const std::string grab_error = "Error, cannot grab scan data.\n";
    struct Case {
        const char* what;
        std::vector<std::string> args, env;
        std::string input;  // given once the question is shown
        int status;
        std::string out, err;
        std::vector<std::string> calls;
    };
    const std::vector<std::string> port{"/dev/ttyX"};
    std::vector<Case> cases = {
        {"no port: usage, no driver", {}, {}, "", 255, usage, "", {}},
        {"driver not made", port, {"ZFAKE_CREATE=null"}, "", 254, "", "insufficent memory, exit\n", {"CreateDriver 0"}},
        {"bind fails at the default rate", port, {"ZFAKE_BIND=80008103"}, "", 0, "", no_bind, calls(1)},
        {"port held by another program", port, {"ZFAKE_BIND=80008107"}, "", 0, "",
         no_bind + "Error, the port /dev/ttyX is in use by another program.\n", calls(1)},
        {"rate given", {"/dev/ttyX", "256000"}, {"ZFAKE_BIND=80008103"}, "", 0, "", no_bind,
         calls(1, "BindPort /dev/ttyX 256000 0")},
        {"highest rate", {"/dev/ttyX", "4294967295"}, {"ZFAKE_BIND=80008103"}, "", 0, "", no_bind,
         calls(1, "BindPort /dev/ttyX 4294967295 0")},
        {"rate with a leading zero, more ignored", {"/dev/ttyX", "09600", "extra"}, {"ZFAKE_BIND=80008103"}, "", 0,
         "", no_bind, calls(1, "BindPort /dev/ttyX 9600 0")},
        {"identity times out", port, {"ZFAKE_IDENTITY=80008002"}, "", 0, "", "Error, operation time out.\n", calls(2)},
        {"identity fails otherwise", port, {"ZFAKE_IDENTITY=80001234"}, "", 0, "",
         "Error, unexpected error, code: 80001234\n", calls(2)},
        {"health times out", port, {"ZFAKE_HEALTH=80008002"}, "", 0, report,
         "Error, cannot retrieve the lidar health code: 80008002\n", calls(3)},
        {"health status 2", port, {"ZFAKE_STATUS=2", "ZFAKE_ERRORCODE=513"}, "", 0,
         report + "ZorLan health status : Error. (errorcode: 513)\n",
         "Error, zorlan internal error detected. Please reboot the device to retry.\n", calls(3)},
        {"start fails", port, {"ZFAKE_START=80008104"}, "", 0, ok, "Error, cannot start the scan operation.\n",
         calls(5)},
        {"grab fails", port, {"ZFAKE_GRAB=80008103"}, "", 0, ok + "waiting for data...\nerror code: 80008103\n",
         grab_error, calls(6)},
        {"grab times out: the scan is shown and is an error", port, {"ZFAKE_GRAB=80008002"}, "n\n", 0, ok + scan,
         grab_error, calls(7)},
        {"health OK", port, {}, "n\n", 0, ok + scan, "", calls(7)},
        {"health warning", port, {"ZFAKE_STATUS=1"}, "n\n", 0,
         report + "ZorLan health status : Warning. (errorcode: 0)\n" + scan, "", calls(7)},
        {"health status without a name", port, {"ZFAKE_STATUS=3"}, "n\n", 0,
         report + "ZorLan health status :  (errorcode: 0)\n" + scan, "", calls(7)},
    };
    // A rate that is not decimal digits alone, from 1 to 4294967295, is
    // refused like a missing port, before any driver is made.
    for (const char* rate : {"abc", "0", "-5", "+5", " 5", "12x", "", "4294967296", "4294967297", "99999999999"})
        cases.push_back({"bad rate", {"/dev/ttyX", rate}, {}, "", 255, "",
                         std::string("Error, invalid baudrate '") + rate +
                             "', expected a whole number from 1 to 4294967295.\n",
                         {}});
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + (c.args.size() > 1 ? " '" + c.args[1] + "'" : ""));
        std::vector<std::string> argv{SCANGRAB_BIN}, env{"ZFAKE_SERIAL=01AB000000000000000000000000007F",
                                                         "ZFAKE_FIRMWARE=0x0105", "ZFAKE_HARDWARE=4"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        env.insert(env.end(), c.env.begin(), c.env.end());
        FakeRun r = run_fake(argv, env, c.input, !c.input.empty());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.calls, c.calls);
    }
}

// ---- with the stand-in driver and the emulator ----

TEST(ScangrabWithEmulator, DrawsAScanOnATerminalAndListsEveryNodeInAngleOrder)
{
    Sim sim({"--nodes", "360", "--serial", "00112233445566778899AABBCCDDEEFF", "--firmware", "2.5", "--hardware",
             "3", "--health", "1,17"});
    Process p = Process::start({SCANGRAB_BIN, sim.path}, on_pty());
    ASSERT_TRUE(p.read_until(PROMPT, timeout())) << p.output() << p.errors();
    write_all(p.in(), "y\n");
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    const std::string out = strip_cr(p.output()), head =
        "ZORLAN S/N: 00112233445566778899AABBCCDDEEFF\nVersion: 1.11.0\nFirmware Ver: 2.05\nHardware Rev: 3\n"
        "ZorLan health status : Warning. (errorcode: 17)\nwaiting for data...\n";
    EXPECT_EQ(out.substr(0, head.size()), head);
    auto rows = chart_rows(out);
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows[19], std::string(75, '*'));
    EXPECT_NE(rows[0], std::string(75, '*')) << "a room is not flat";

    auto listed = lines_after(out, PROMPT);
    ASSERT_EQ(listed.size(), 360u);
    for (size_t i = 0; i < listed.size(); i++) {
        char expect[64];
        std::snprintf(expect, sizeof(expect), "%s theta: %03.2f Dist: ", i == 0 ? "S " : "  ", static_cast<double>(i));
        EXPECT_EQ(listed[i].rfind(expect, 0), 0u) << listed[i];
    }
    EXPECT_EQ(p.errors(), "");
}

// Each case: the emulator's options (none: a port that does not exist), the
// answer, the status, the message and the nodes listed. (Output on /dev/full
// and other hostile conditions: the hostile matrix.)
TEST(ScangrabWithEmulator, ScannerFaultsEndWithTheirMessages)
{
    struct Case { std::vector<std::string> sim; std::string input; int status; std::string err; size_t listed; };
    const std::vector<Case> cases = {
        {{}, "", 0, "Error, cannot bind to the specified serial port /nonexistent/tty0.\n", 0},
        {{"--silent"}, "", 0, "Error, operation time out.\n", 0},
        {{"--health", "2,9"}, "", 0,
         "Error, zorlan internal error detected. Please reboot the device to retry.\n", 0},
        {{"--refuse-start"}, "", 0, "Error, cannot start the scan operation.\n", 0},
        // A scan cut short is drawn and listed, then reported as an error.
        {{"--nodes", "720", "--cut", "100", "--noise"}, "Y\n", 0, "Error, cannot grab scan data.\n", 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sim.empty() ? "no port" : c.sim[0]);
        std::optional<Sim> sim;
        if (!c.sim.empty())
            sim.emplace(c.sim);
        Process p = Process::start({SCANGRAB_BIN, sim ? sim->path : "/nonexistent/tty0"});
        write_all(p.in(), c.input);
        p.close_input();
        EXPECT_EQ(p.wait_exit_code(timeout()), c.status);
        EXPECT_EQ(p.errors(), c.err);
        EXPECT_EQ(lines_after(p.output(), ANSWERED).size(), c.listed);
        if (!sim) {
            EXPECT_EQ(p.output(), "");
        }
    }
}

// The program finds the driver relative to itself: copied into a bin/ and
// lib/ layout like an install it runs; without the library beside it, it
// does not.
TEST(ScangrabInstall, DriverIsFoundRelativeToTheProgram)
{
    namespace fs = std::filesystem;
    TempDir root;
    fs::path bin = fs::path(root.path()) / INSTALL_BINDIR, lib = fs::path(root.path()) / INSTALL_LIBDIR;
    fs::create_directories(bin);
    fs::create_directories(lib);
    fs::copy_file(SCANGRAB_BIN, bin / "scangrab");
    {
        Process p = Process::start({(bin / "scangrab").string()});
        EXPECT_NE(p.wait_exit_code(timeout()), 255) << "ran without its driver";
    }
    fs::copy_file(ZORLAN_DRIVER_BIN, lib / "libzorlan_driver.so");
    {
        Process p = Process::start({(bin / "scangrab").string()});
        EXPECT_EQ(p.wait_exit_code(timeout()), 255) << p.errors();
        EXPECT_NE(p.output().find("Usage:"), std::string::npos);
    }
}
