// Black-box tests of the spawn tool in a directory with known entries.
#include "testsupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

using namespace testsupport;

namespace {

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The full path of a program on the test's own search path.
std::string on_path(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    for (size_t start = 0; start <= dirs.size();) {
        size_t colon = dirs.find(':', start);
        if (colon == std::string::npos)
            colon = dirs.size();
        std::string full = dirs.substr(start, colon - start) + "/" + name;
        if (::access(full.c_str(), X_OK) == 0)
            return full;
        start = colon + 1;
    }
    return name;
}

// Starts spawnls with PATH set to `path` for it alone. The emulator, when
// there is one, is started by its full path, since it is looked up through
// the child's PATH too.
Process start_with_path(const std::string& cwd, const std::string& path, const std::string& stdout_file = "")
{
    std::vector<std::string> argv = emulator_prefix();
    if (!argv.empty())
        argv[0] = on_path(argv[0]);
    argv.push_back(SPAWNLS_BIN);
    SpawnOptions o;
    o.host_program = true;
    o.cwd = cwd;
    o.env = {"PATH=" + path};
    o.stdout_file = stdout_file;
    return Process::start(argv, o);
}

}  // namespace

TEST(Spawnls, ListsAllEntriesHiddenOnesIncludedAndReports)
{
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    std::ofstream(dir.file(".hidden")) << "x";
    SpawnOptions o;
    o.cwd = dir.path();
    Process p = Process::start({SPAWNLS_BIN}, o);
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    drain(p, timeout());  // the listing may end after the parent

    std::vector<std::string> ls = lines_of(p.output());
    EXPECT_EQ(count_lines(p.output(), "ls -al test Success"), 1) << p.output();
    // Name and the type letter that begins its long listing line.
    const std::pair<std::string, char> entries[] = {{".", 'd'}, {"..", 'd'}, {".hidden", '-'}, {"plain", '-'}};
    for (const auto& [name, type] : entries) {
        bool seen = false;
        for (const auto& l : ls)
            seen = seen || (ends_with(l, " " + name) && l[0] == type);
        EXPECT_TRUE(seen) << "no long listing line for " << name << "\n" << p.output();
    }
    EXPECT_EQ(p.errors(), "");
}

TEST(Spawnls, WithoutLsOnTheSearchPathOnlyReports)
{
    TempDir dir;
    TempDir empty;
    Process p = start_with_path(dir.path(), empty.path());
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    drain(p, timeout());
    EXPECT_EQ(p.output(), "ls -al test Success\n");
    EXPECT_EQ(p.errors(), "");
}

TEST(Spawnls, ReportThatCannotBeWrittenIsAWriteError)
{
    TempDir dir;
    TempDir empty;
    Process p = start_with_path(dir.path(), empty.path(), "/dev/full");
    EXPECT_EQ(p.wait_exit_code(timeout()), 1);
    EXPECT_EQ(p.errors(), "write error: No space left on device\n");
}
