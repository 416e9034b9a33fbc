#include "processes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

using namespace testsupport;

TEST(Spawnls, ListsAllEntriesHiddenOnesIncludedAndReports)
{
    TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    std::ofstream(dir.file(".hidden")) << "x";
    SpawnOptions o;
    o.cwd = dir.path();
    Process p = Process::start({SPAWNLS_BIN}, o);
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    p.read_until(kEnd, timeout());  // the listing may end after the parent

    EXPECT_EQ(count_lines(p.output(), "ls -al test Success"), 1) << p.output();
    std::set<std::string> listed;
    for (const std::string& l : lines_of(p.output()))
        listed.insert(l.substr(0, 1) + l.substr(l.rfind(' ') + 1));
    for (const char* entry : {"d.", "d..", "-.hidden", "-plain"})
        EXPECT_EQ(listed.count(entry), 1u) << "no long listing line for " << entry << "\n" << p.output();
    EXPECT_EQ(p.errors(), "");
}

TEST(Spawnls, WithoutLsOnTheSearchPathOnlyReports)
{
    TempDir dir, empty;
    // The emulator by its full path: it would be looked up through the child's PATH too.
    std::vector<std::string> argv = emulator_prefix();
    if (!argv.empty())
        argv[0] = run_tool({"sh", "-c", "printf %s \"$(command -v \"$0\")\"", argv[0]});
    argv.push_back(SPAWNLS_BIN);
    SpawnOptions o;
    o.host_program = true;
    o.cwd = dir.path();
    o.env = {"PATH=" + empty.path()};
    Process p = Process::start(argv, o);
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    p.read_until(kEnd, timeout());
    EXPECT_EQ(p.output(), "ls -al test Success\n");
    EXPECT_EQ(p.errors(), "");
}
