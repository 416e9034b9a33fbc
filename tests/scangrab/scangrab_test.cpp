// The grabber program: every exit path with the fake driver (loaded in place
// of the real one), the run from end to end with the stand-in driver and the
// scanner emulator, and finding the driver from an installed layout.
#include <cstdio>
#include <filesystem>

#include "scangrab_support.h"

using namespace testsupport;

namespace {

const std::string PROMPT = "Do you want to see all the data? (y/n) ";
// With the answer from a pipe the program ends the question's line itself; at
// a terminal the echo of the answer does.
const std::string ANSWERED = PROMPT + "\n";
const std::string TEARDOWN[] = {"HaltScan 2000", "FinishScan", "DisposeDriver"};

struct Result {
    std::optional<int> status;
    std::string out, err;
    std::vector<std::string> calls;
};

Result run_fake(const std::vector<std::string>& args, const std::vector<std::string>& env,
                const std::string& input = "")
{
    CallLog log;
    SpawnOptions opts;
    opts.env = fake_env(log, env);
    std::vector<std::string> argv{SCANGRAB_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    Process p = Process::start(argv, opts);
    write_all(p.in(), input);
    p.close_input();
    Result r;
    r.status = p.wait_exit_code(timeout());
    r.out = p.output();
    r.err = p.errors();
    r.calls = log.lines();
    return r;
}

std::vector<std::string> calls(std::vector<std::string> head, bool teardown = true)
{
    head.insert(head.begin(), "CreateDriver 0");
    if (teardown)
        head.insert(head.end(), std::begin(TEARDOWN), std::end(TEARDOWN));
    return head;
}

const std::string REPORT = "ZORLAN S/N: 01AB000000000000000000000000007F\n"
                           "Version: 1.11.0\n"
                           "Firmware Ver: 1.05\n"
                           "Hardware Rev: 4\n";
const std::vector<std::string> IDENTITY_ENV = {"ZFAKE_SERIAL=01AB000000000000000000000000007F",
                                               "ZFAKE_FIRMWARE=0x0105", "ZFAKE_HARDWARE=4"};

std::vector<std::string> with_identity(std::vector<std::string> env)
{
    env.insert(env.end(), IDENTITY_ENV.begin(), IDENTITY_ENV.end());
    return env;
}

}  // namespace

TEST(ScangrabCommandLine, NoPortPrintsUsageWithTheProgramNameAndExits255)
{
    Result r = run_fake({}, {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, std::string("Simple LIDAR data grabber for ZORLAN.\nVersion: 1.11.0\nUsage:\n") + SCANGRAB_BIN +
                         " <com port> [baudrate]\nThe default baudrate is 115200(for M7) or 256000(for M9). Please "
                         "refer to the datasheet for details.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.calls.empty()) << "no driver is made";
}

TEST(ScangrabCommandLine, BaudRateIsTheDefaultOrTheSecondArgumentAsANumber)
{
    struct Case {
        std::vector<std::string> args;
        const char* bind;
    };
    const std::vector<Case> cases = {
        {{"/dev/ttyX"}, "BindPort /dev/ttyX 115200 0"},
        {{"/dev/ttyX", "256000"}, "BindPort /dev/ttyX 256000 0"},
        {{"/dev/ttyX", "abc"}, "BindPort /dev/ttyX 0 0"},
        {{"/dev/ttyX", "9600baud", "extra"}, "BindPort /dev/ttyX 9600 0"},
    };
    for (const auto& c : cases) {
        // The bind fails, so nothing else matters here.
        Result r = run_fake(c.args, {"ZFAKE_BIND=80008103"});
        EXPECT_EQ(r.calls, calls({c.bind})) << c.bind;
    }
}

TEST(ScangrabExitPaths, DriverNotMadeEndsAt254WithoutTeardown)
{
    Result r = run_fake({"/dev/ttyX"}, {"ZFAKE_CREATE=null"});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "insufficent memory, exit\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.calls, (std::vector<std::string>{"CreateDriver 0"}));
}

// Every failure after the driver exists: its message on standard error, the
// teardown in order, status 0.
TEST(ScangrabExitPaths, EachFailureHasItsMessageAndTearsDown)
{
    struct Case {
        const char* what;
        std::vector<std::string> env;
        std::string out;
        std::string err;
        std::vector<std::string> calls;
    };
    const std::string bind = "BindPort /dev/ttyX 115200 0";
    const std::string health_ok = "ZorLan health status : OK. (errorcode: 0)\n";
    const std::vector<Case> cases = {
        {"bind fails",
         {"ZFAKE_BIND=80008103"},
         "",
         "Error, cannot bind to the specified serial port /dev/ttyX.\n",
         {bind}},
        {"identity times out",
         {"ZFAKE_IDENTITY=80008002"},
         "",
         "Error, operation time out.\n",
         {bind, "RetrieveDeviceInfo 2000"}},
        {"identity fails otherwise",
         {"ZFAKE_IDENTITY=80001234"},
         "",
         "Error, unexpected error, code: 80001234\n",
         {bind, "RetrieveDeviceInfo 2000"}},
        {"health times out",
         with_identity({"ZFAKE_HEALTH=80008002"}),
         REPORT,
         "Error, cannot retrieve the lidar health code: 80008002\n",
         {bind, "RetrieveDeviceInfo 2000", "RetrieveHealth 2000"}},
        {"health status 2",
         with_identity({"ZFAKE_STATUS=2", "ZFAKE_ERRORCODE=513"}),
         REPORT + "ZorLan health status : Error. (errorcode: 513)\n",
         "Error, zorlan internal error detected. Please reboot the device to retry.\n",
         {bind, "RetrieveDeviceInfo 2000", "RetrieveHealth 2000"}},
        {"start fails",
         with_identity({"ZFAKE_START=80008104"}),
         REPORT + health_ok,
         "Error, cannot start the scan operation.\n",
         {bind, "RetrieveDeviceInfo 2000", "RetrieveHealth 2000", "PrepareScan", "StartScanOperation 0 1 0 0"}},
        {"grab fails",
         with_identity({"ZFAKE_GRAB=80008103"}),
         REPORT + health_ok + "waiting for data...\nerror code: 80008103\n",
         "Error, cannot grab scan data.\n",
         {bind, "RetrieveDeviceInfo 2000", "RetrieveHealth 2000", "PrepareScan", "StartScanOperation 0 1 0 0",
          "GrabScanData 8192 2000"}},
    };
    for (const auto& c : cases) {
        Result r = run_fake({"/dev/ttyX"}, c.env);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_EQ(r.calls, calls(c.calls)) << c.what;
    }
}

TEST(ScangrabReport, HealthWordsAndAnUnnamedStatusThenTheScanGoesOn)
{
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"0", "ZorLan health status : OK. (errorcode: 0)\n"},
        {"1", "ZorLan health status : Warning. (errorcode: 0)\n"},
        {"3", "ZorLan health status :  (errorcode: 0)\n"},
    };
    for (auto [status, line] : cases) {
        Result r = run_fake({"/dev/ttyX"}, with_identity({std::string("ZFAKE_STATUS=") + status}), "n\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(REPORT + line + "waiting for data...\n", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.calls, calls({"BindPort /dev/ttyX 115200 0", "RetrieveDeviceInfo 2000", "RetrieveHealth 2000",
                                  "PrepareScan", "StartScanOperation 0 1 0 0", "GrabScanData 8192 2000",
                                  "ArrangeScanData 0"}));
    }
}

TEST(ScangrabReport, GrabTimeOutShowsThePartialScanAndIsStillAnError)
{
    Result r = run_fake({"/dev/ttyX"},
                        with_identity({"ZFAKE_GRAB=80008002", "ZFAKE_NODES=" + join({node(1, 0, 400), node(0, 640, 800)})}),
                        "y\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(chart_rows(r.out).size(), 20u);
    EXPECT_EQ(lines_after(r.out, ANSWERED).size(), 2u);
    EXPECT_EQ(r.err, "Error, cannot grab scan data.\n");
    EXPECT_EQ(r.calls.size(), 11u);
}

// ---- with the stand-in driver and the emulator ----

TEST(ScangrabWithEmulator, DrawsAScanOnATerminalAndListsEveryNodeInAngleOrder)
{
    Sim sim({"--nodes", "360", "--serial", "00112233445566778899AABBCCDDEEFF", "--firmware", "2.5", "--hardware",
             "3", "--health", "1,17"});
    Process p = Process::start({SCANGRAB_BIN, sim.path}, on_pty());
    ASSERT_TRUE(p.wait_output(PROMPT, timeout())) << p.output() << p.errors();
    write_all(p.in(), "y\n");
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    std::string out = strip_cr(p.output());
    EXPECT_EQ(out.rfind("ZORLAN S/N: 00112233445566778899AABBCCDDEEFF\nVersion: 1.11.0\nFirmware Ver: 2.05\n"
                        "Hardware Rev: 3\nZorLan health status : Warning. (errorcode: 17)\nwaiting for data...\n",
                        0),
              0u)
        << out;
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

TEST(ScangrabWithEmulator, ScannerFaultsEndWithTheirMessages)
{
    struct Case {
        std::vector<std::string> sim;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--silent"}, "Error, operation time out.\n"},
        {{"--health", "2,9"}, "Error, zorlan internal error detected. Please reboot the device to retry.\n"},
        {{"--refuse-start"}, "Error, cannot start the scan operation.\n"},
    };
    for (const auto& c : cases) {
        Sim sim(c.sim);
        Process p = Process::start({SCANGRAB_BIN, sim.path});
        p.close_input();
        EXPECT_EQ(p.wait_exit_code(timeout()), 0);
        EXPECT_EQ(p.errors(), c.err) << c.sim[0];
    }
}

TEST(ScangrabWithEmulator, ScanCutShortIsDrawnAndListedThenReportedAsAnError)
{
    Sim sim({"--nodes", "720", "--cut", "100", "--noise"});
    Process p = Process::start({SCANGRAB_BIN, sim.path});
    ASSERT_TRUE(p.wait_output(PROMPT, timeout())) << p.output() << p.errors();
    write_all(p.in(), "Y\n");
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    EXPECT_EQ(lines_after(p.output(), ANSWERED).size(), 100u);
    EXPECT_EQ(p.errors(), "Error, cannot grab scan data.\n");
}

TEST(ScangrabWithEmulator, OutputThatCannotBeWrittenIsAWriteErrorNotASuccess)
{
    Sim sim({"--nodes", "360"});
    SpawnOptions o;
    o.stdout_file = "/dev/full";
    Process p = Process::start({SCANGRAB_BIN, sim.path}, o);
    write_all(p.in(), "y\n");
    p.close_input();
    EXPECT_EQ(p.wait_exit_code(timeout()), 1);
    EXPECT_EQ(p.errors(), "write error: No space left on device\n");
}

TEST(ScangrabWithEmulator, PortThatCannotBeOpenedIsABindError)
{
    Process p = Process::start({SCANGRAB_BIN, "/nonexistent/tty0"});
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    EXPECT_EQ(p.errors(), "Error, cannot bind to the specified serial port /nonexistent/tty0.\n");
    EXPECT_EQ(p.output(), "");
}

// The program finds the driver relative to itself: copied into a bin/ and
// lib/ layout like an install it runs; without the library beside it, it
// does not.
TEST(ScangrabInstall, DriverIsFoundRelativeToTheProgram)
{
    namespace fs = std::filesystem;
    char base[] = "/tmp/scangrab-install-XXXXXX";
    ASSERT_NE(::mkdtemp(base), nullptr);
    fs::path root = base;
    fs::path bin = root / INSTALL_BINDIR, lib = root / INSTALL_LIBDIR;
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
    std::error_code ec;
    fs::remove_all(root, ec);
}
