// The Debian packages that Package.Make made of this tree, the main one unpacked into a temporary root.
#include "sockets.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // One folder per test process: ctest runs these tests side by side.
        work_ = fs::path(WORK_DIR) / std::to_string(::getpid());
        fs::remove_all(work_);
        fs::create_directories(work_);
        // The board's build makes the tests package and its debug package too.
        const std::pair<const char*, std::string*> kinds[] = {
            {"board-toolset_", &deb_}, {"board-toolset-dbgsym_", &ddeb_}, {"board-toolset-tests_", &tests_deb_}};
        std::error_code missing;  // then the cases say that no package is there
        for (const auto& e : fs::directory_iterator(DEBS_DIR, missing))
            for (const auto& [prefix, deb] : kinds)
                if (e.path().filename().string().rfind(prefix, 0) == 0)
                    *deb = e.path().string();
        if (!deb_.empty())
            run_tool({"dpkg-deb", "-x", deb_, (work_ / "root").string()});
    }

    static void TearDownTestSuite() { fs::remove_all(work_); }

    void SetUp() override
    {
        ASSERT_FALSE(deb_.empty()) << "Package.Make made no .deb";
        ASSERT_FALSE(ddeb_.empty()) << "Package.Make made no debug-symbols package";
    }

    static std::string installed(const char* program) { return (work_ / "root/usr/bin" / program).string(); }

    static fs::path work_;
    static std::string deb_, ddeb_, tests_deb_;
};

fs::path Package::work_;
std::string Package::deb_, Package::ddeb_, Package::tests_deb_;

}  // namespace

TEST_F(Package, DeclaresTheBoardArchitectureAndItsRuntimeAndHoldsTheDebianLayout)
{
    EXPECT_EQ(run_tool({"dpkg-deb", "-f", deb_, "Architecture"}), std::string(DEB_ARCH) + "\n");
    std::string depends = run_tool({"dpkg-deb", "-f", deb_, "Depends"});
    for (const char* runtime : {"libc6", "libstdc++6"})
        EXPECT_NE(depends.find(runtime), std::string::npos) << depends;

    // Every file in a Debian folder, the libraries in the multiarch one, manual pages compressed.
    const std::string dirs[] = {"./usr/bin/", "./usr/" INSTALL_LIBDIR "/", "./usr/include/",
                                "./usr/lib/systemd/system/", "./usr/share/doc/board-toolset/",
                                "./usr/share/lintian/overrides/"};
    int files = 0;
    for (const std::string& line : lines_of(run_tool({"dpkg-deb", "-c", deb_}))) {
        if (line.empty() || line[0] == 'd')
            continue;
        std::string path = line.substr(line.find("./"));
        bool inside = std::any_of(std::begin(dirs), std::end(dirs),
                                  [&](const std::string& dir) { return path.rfind(dir, 0) == 0; });
        if (path.rfind("./usr/share/man/", 0) == 0)
            inside = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
        EXPECT_TRUE(inside) << path;
        files++;
    }
    EXPECT_GT(files, 20);
    for (const char* f : {INSTALL_LIBDIR "/libserial.so", INSTALL_LIBDIR "/libportwire.a",
                          INSTALL_LIBDIR "/pkgconfig/serial.pc", INSTALL_LIBDIR "/cmake/serial/serialConfig.cmake",
                          "share/doc/board-toolset/copyright", "share/doc/board-toolset/changelog.gz",
                          "lib/systemd/system/talkhub@.service"})
        EXPECT_TRUE(fs::exists(work_ / "root/usr" / f)) << f;
}

#ifdef TESTS_PACKAGE
// Nothing outside the tests' folder but the pointer to the main package's documents.
TEST_F(Package, TestsPackageDependsOnThisVersionAndHoldsEveryListedTestBinary)
{
    ASSERT_FALSE(tests_deb_.empty()) << "Package.Make made no tests package";
    std::string version = run_tool({"dpkg-deb", "-f", deb_, "Version"});
    version.pop_back();  // the line's end
    const std::string depends = run_tool({"dpkg-deb", "-f", tests_deb_, "Depends"});
    EXPECT_NE(depends.find("board-toolset (= " + version + ")"), std::string::npos) << depends;
    const fs::path root = work_ / "tests-root", ptest = root / "usr/lib/board-toolset/ptest";
    run_tool({"dpkg-deb", "-x", tests_deb_, root.string()});
    EXPECT_EQ(fs::status(ptest / "run-ptest").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    std::ifstream list(ptest / "tests.list");
    int binaries = 0;
    for (std::string bin, rest; list >> bin && std::getline(list, rest);) {
        if (bin[0] == '#')
            continue;
        EXPECT_TRUE(fs::exists(ptest / "tests" / bin)) << bin;
        binaries++;
    }
    EXPECT_GE(binaries, 7);
    EXPECT_FALSE(fs::exists(ptest / "tests/package_test"));
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string path = e.path().string().substr(root.string().size());
        EXPECT_TRUE(path.rfind("/usr/lib/board-toolset", 0) == 0 || path.rfind("/usr/share/doc", 0) == 0 ||
                    path == "/usr" || path == "/usr/lib" || path == "/usr/share")
            << path;
    }
}
#endif

TEST_F(Package, ShipsStrippedBinariesWhoseDebugInformationTheDebugPackageHoldsByBuildId)
{
    std::string notes = run_tool({READELF, "-n", installed("talkhub")});
    std::smatch id;
    ASSERT_TRUE(std::regex_search(notes, id, std::regex("Build ID: ([0-9a-f]{2})([0-9a-f]{38})"))) << notes;
    std::string debug_file = "./usr/lib/debug/.build-id/" + id[1].str() + "/" + id[2].str() + ".debug";
    EXPECT_NE(run_tool({"dpkg-deb", "-c", ddeb_}).find(debug_file), std::string::npos) << debug_file;

    for (const fs::path& f : {fs::path(installed("talkhub")), fs::path(installed("scangrab")),
                              work_ / "root/usr" / INSTALL_LIBDIR / "libserial.so"}) {
        std::string sections = run_tool({READELF, "-SW", f.string()});
        EXPECT_EQ(sections.find(".debug_"), std::string::npos) << f;
        EXPECT_EQ(sections.find(".symtab"), std::string::npos) << f;
    }
}

TEST_F(Package, ServerAndGrabberRunFromTheUnpackedPackage)
{
    uint16_t port = free_tcp_port();
    Process relay = start_server(installed("talkhub"), port);
    Fd c = echoed(port, "from the package");

    // The grabber finds its driver and draws a scan.
    Process sim = Process::start({installed("zorlan_sim")});
    ASSERT_TRUE(sim.read_until("\n", timeout()));
    std::string path = sim.output().substr(0, sim.output().find('\n'));

    SpawnOptions o = on_pty();
    o.env = {"LD_LIBRARY_PATH"};  // the driver must come from the package
    Process grab = Process::start({installed("scangrab"), path}, o);
    ASSERT_TRUE(grab.read_until("(y/n) ", timeout(milliseconds(10000)))) << grab.output() << grab.errors();
    write_all(grab.in(), "n\n");
    EXPECT_EQ(grab.wait_exit_code(timeout()), 0);
    EXPECT_NE(grab.output().find("ZORLAN S/N: "), std::string::npos);
    EXPECT_NE(grab.output().find(std::string(75, '-')), std::string::npos);
    EXPECT_EQ(grab.errors(), "");
}
