// The grabber with the stand-in driver and the emulator (its exit paths with the fake driver: transcripts).
#include <cstdio>
#include <filesystem>

#include "scangrab_support.h"

using namespace testsupport;

TEST(ScangrabWithEmulator, DrawsAScanOnATerminalAndListsEveryNodeInAngleOrder)
{
    Sim sim({"--nodes", "360", "--serial", "00112233445566778899AABBCCDDEEFF", "--firmware", "2.5", "--hardware",
             "3", "--health", "1,300"});
    Process p = Process::start({SCANGRAB_BIN, sim.path}, on_pty());
    ASSERT_TRUE(p.read_until(PROMPT, timeout())) << p.output() << p.errors();
    write_all(p.in(), "y\n");
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    const std::string out = strip_cr(p.output()), head =
        "ZORLAN S/N: 00112233445566778899AABBCCDDEEFF\nVersion: 1.11.0\nFirmware Ver: 2.05\nHardware Rev: 3\n"
        "ZorLan health status : Warning. (errorcode: 300)\nwaiting for data...\n";
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

// Copied into a bin/ and lib/ layout like an install, it runs only with the library beside it.
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
