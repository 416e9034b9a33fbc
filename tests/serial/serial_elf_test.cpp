// A sanitized build also needs its runtime and exports "__odr_asan.<name>" per variable: allowed, and only those.
#include "processes.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

using namespace testsupport;

namespace {

// nm's type letter and the size (0 for code, whose size varies by build).
using Symbol = std::pair<char, size_t>;

struct Library {
    const char* name;
    const char* path;
    std::vector<std::string> needed;
    std::map<std::string, Symbol> exports;
};

void PrintTo(const Library& l, std::ostream* os) { *os << l.name; }

// With the stack protector ARM code takes the guard value from the dynamic loader.
bool also_recorded(const std::string& lib)
{
    return (SERIAL_SANITIZED && std::regex_match(lib, std::regex(R"(lib(asan|ubsan|tsan|lsan)\.so\.[0-9]+)"))) ||
           std::regex_match(lib, std::regex(R"(ld-linux[-a-z0-9_]*\.so\.[0-9]+)"));
}

const Library kLibraries[] = {
    {"serial", SERIAL_LIB, {"libc.so.6"},
     {{"serial_config", {'T', 0}}, {"recv_data", {'T', 0}}, {"send_data", {'T', 0}}, {"close_dev", {'T', 0}},
      {"poll_events", {'B', 8}}, {"dev0", {'D', sizeof(char*)}}}},
    {"serial_mangled", SERIAL_MANGLED_LIB, {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1", "libc.so.6"},
     {{"_Z13serial_configPc", {'T', 0}}, {"_Z9recv_datai", {'T', 0}}, {"_Z9send_dataiPcii", {'T', 0}},
      {"_Z9close_devi", {'T', 0}}, {"poll_events", {'B', 8}}, {"dev0", {'D', 13}}}},
};

class SerialElf : public ::testing::TestWithParam<Library> {};

}  // namespace

TEST_P(SerialElf, NeedsOnlyItsRuntimeLibrariesRecordsNoNameAndExportsExactlyItsSymbols)
{
    const Library& lib = GetParam();
    const std::regex needed_re(R"(\(NEEDED\)\s+Shared library: \[(.*)\])");
    std::multiset<std::string> needed;
    for (const std::string& line : lines_of(run_tool({READELF_TOOL, "-d", "-W", lib.path}))) {
        EXPECT_EQ(line.find("(SONAME)"), std::string::npos) << line;
        std::smatch m;
        if (std::regex_search(line, m, needed_re) && !also_recorded(m[1]))
            needed.insert(m[1]);
    }
    EXPECT_EQ(needed, std::multiset<std::string>(lib.needed.begin(), lib.needed.end()));

    std::map<std::string, Symbol> got;
    for (const std::string& line : lines_of(run_tool({NM_TOOL, "-D", "--defined-only", "-S", lib.path}))) {
        std::istringstream ls(line);
        const std::vector<std::string> f{std::istream_iterator<std::string>(ls), {}};
        ASSERT_TRUE(f.size() == 3 || f.size() == 4) << line;
        const std::string& name = f.back();
        if (SERIAL_SANITIZED && name.rfind("__odr_asan.", 0) == 0 && lib.exports.count(name.substr(11)))
            continue;
        size_t size = f.size() == 4 ? std::stoul(f[1], nullptr, 16) : 0;
        char type = f[f.size() - 2][0];
        got[name] = Symbol{type, type == 'T' ? 0 : size};
    }
    EXPECT_EQ(got, lib.exports);
}

INSTANTIATE_TEST_SUITE_P(Builds, SerialElf, ::testing::ValuesIn(kLibraries),
                         [](const ::testing::TestParamInfo<Library>& i) { return std::string(i.param.name); });
