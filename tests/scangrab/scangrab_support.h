// Helpers of the scanner tests: runs with the fake driver, the scanner emulator, the histogram.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sockets.h"

namespace testsupport {

const std::string PROMPT = "Do you want to see all the data? (y/n) ";
// From a pipe the program ends the question's line itself; at a terminal the answer's echo does.
const std::string ANSWERED = PROMPT + "\n";

#ifdef FAKE_ZORLAN_DRIVER_BIN
struct FakeRun {
    std::optional<int> status;
    std::string out, err;
    std::vector<std::string> calls;  // the fake driver's log, one call a line
};

// When ask is set, waits for the question before giving input: one not flushed would wait for good.
inline FakeRun run_fake(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                        const std::string& input, bool ask)
{
    TempDir dir;
    SpawnOptions opts;
    opts.env = env;
    const std::string driver = FAKE_ZORLAN_DRIVER_BIN;
    opts.env.push_back("LD_LIBRARY_PATH=" + driver.substr(0, driver.rfind('/')));
    opts.env.push_back("ZFAKE_LOG=" + dir.file("calls"));
    Process p = Process::start(argv, opts);
    EXPECT_TRUE(!ask || p.read_until(PROMPT, timeout())) << p.output();
    write_all(p.in(), input);
    p.close_input();
    FakeRun r{p.wait_exit_code(timeout()), p.output(), p.errors(), {}};
    std::ifstream log(dir.file("calls"));
    for (std::string l; std::getline(log, l);)
        r.calls.push_back(l);
    return r;
}
#endif

inline std::string node(unsigned flags, unsigned angle_code, unsigned distance_code)
{
    return std::to_string(flags) + ":" + std::to_string(angle_code) + ":" + std::to_string(distance_code);
}

inline unsigned angle_code(unsigned sixty_fourths) { return sixty_fourths << 1; }

inline std::string join(const std::vector<std::string>& parts, const char* sep = ",")
{
    std::string s;
    for (const auto& p : parts)
        s += (s.empty() ? "" : sep) + p;
    return s;
}

// 20 rows of 75 columns and the rule; others: the height of every column not given.
inline std::string chart(const std::map<int, int>& heights, int others = 1)
{
    std::string s;
    for (int row = 20; row >= 1; row--) {
        for (int k = 0; k < 75; k++)
            s += (heights.count(k) ? heights.at(k) : others) >= row ? '*' : ' ';
        s += '\n';
    }
    return s + std::string(75, '-') + "\n";
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
