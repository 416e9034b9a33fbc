// Helpers of the scanner tests: the question, the chart and its listing, the scanner emulator.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sockets.h"

namespace testsupport {

const std::string PROMPT = "Do you want to see all the data? (y/n) ";
// From a pipe the program ends the question's line itself; at a terminal the answer's echo does.
const std::string ANSWERED = PROMPT + "\n";

inline std::string join(const std::vector<std::string>& parts, const char* sep = ",")
{
    std::string s;
    for (const auto& p : parts)
        s += (s.empty() ? "" : sep) + p;
    return s;
}

inline std::vector<std::string> lines_after(const std::string& text, const std::string& marker)
{
    size_t pos = text.find(marker);
    return pos == std::string::npos ? std::vector<std::string>{} : lines_of(text.substr(pos + marker.size()));
}

// Fails the test when the chart is not there.
inline std::vector<std::string> chart_rows(const std::string& out)
{
    std::vector<std::string> rows = lines_after(out, "waiting for data...\n");
    EXPECT_GE(rows.size(), 21u) << out;
    rows.resize(21);
    EXPECT_EQ(rows[20], std::string(75, '-'));
    rows.pop_back();
    for (size_t i = 0; i < rows.size(); i++)
        EXPECT_EQ(rows[i].size(), 75u) << "row " << i;
    return rows;
}

#ifdef ZORLAN_SIM_BIN
struct Sim {
    Process proc;
    std::string path;

    explicit Sim(std::vector<std::string> argv = {})
        : proc((argv.insert(argv.begin(), ZORLAN_SIM_BIN), Process::start(argv)))
    {
        EXPECT_TRUE(proc.read_until("\n", timeout())) << proc.errors();
        path = proc.output().substr(0, proc.output().find('\n'));
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
    }
};
#endif

}  // namespace testsupport
