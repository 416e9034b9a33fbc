// Helpers shared by the scanner tests: the fake driver's call log, the
// scanner emulator as a child process, and reading the histogram back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"

namespace testsupport {


// A temporary file for the fake driver's log of calls (ZFAKE_LOG).
class CallLog {
public:
    CallLog()
    {
        char name[] = "/tmp/zfake-log-XXXXXX";
        int fd = ::mkstemp(name);
        if (fd >= 0)
            ::close(fd);
        path_ = name;
    }
    ~CallLog() { ::unlink(path_.c_str()); }
    CallLog(const CallLog&) = delete;
    CallLog& operator=(const CallLog&) = delete;

    std::string env() const { return "ZFAKE_LOG=" + path_; }
    const std::string& path() const { return path_; }

    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::ifstream f(path_);
        for (std::string l; std::getline(f, l);)
            out.push_back(l);
        return out;
    }

private:
    std::string path_;
};

// The folder of a file path.
inline std::string dir_of(const std::string& path) { return path.substr(0, path.rfind('/')); }

#ifdef FAKE_ZORLAN_DRIVER_BIN
// The environment that makes a program load the fake driver, logging to log.
inline std::vector<std::string> fake_env(const CallLog& log, std::vector<std::string> more = {})
{
    more.push_back("LD_LIBRARY_PATH=" + dir_of(FAKE_ZORLAN_DRIVER_BIN));
    more.push_back(log.env());
    return more;
}
#endif

// "flags:angle_code:distance_code" for ZFAKE_NODES.
inline std::string node(unsigned flags, unsigned angle_code, unsigned distance_code)
{
    return std::to_string(flags) + ":" + std::to_string(angle_code) + ":" + std::to_string(distance_code);
}

// Angle code of an angle in 1/64 degree.
inline unsigned angle_code(unsigned sixty_fourths) { return sixty_fourths << 1; }

inline std::string join(const std::vector<std::string>& parts, const char* sep = ",")
{
    std::string s;
    for (size_t i = 0; i < parts.size(); i++)
        s += (i ? sep : "") + parts[i];
    return s;
}

// The chart: 20 rows of 75 characters after "waiting for data...\n", then the
// rule of 75 "-". Fails the test and returns nothing when it is not there.
inline std::vector<std::string> chart_rows(const std::string& out)
{
    const std::string head = "waiting for data...\n";
    std::vector<std::string> rows;
    size_t pos = out.find(head);
    EXPECT_NE(pos, std::string::npos) << out;
    if (pos == std::string::npos)
        return {};
    std::istringstream in(out.substr(pos + head.size()));
    std::string line;
    for (int i = 0; i < 20 && std::getline(in, line); i++) {
        EXPECT_EQ(line.size(), 75u) << "row " << i;
        rows.push_back(line);
    }
    std::getline(in, line);
    EXPECT_EQ(line, std::string(75, '-'));
    EXPECT_EQ(rows.size(), 20u);
    return rows;
}

// Rows with a star in column k; the stars of a column stand on the bottom row.
inline int column_height(const std::vector<std::string>& rows, size_t k)
{
    int h = 0;
    for (const auto& r : rows)
        if (k < r.size() && r[k] == '*')
            h++;
    return h;
}

// The lines of text after the first occurrence of marker.
inline std::vector<std::string> lines_after(const std::string& text, const std::string& marker)
{
    std::vector<std::string> out;
    size_t pos = text.find(marker);
    if (pos == std::string::npos)
        return out;
    std::istringstream in(text.substr(pos + marker.size()));
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

#ifdef ZORLAN_SIM_BIN
// The scanner emulator, serving one pseudo-terminal until the test ends.
struct Sim {
    Process proc;
    std::string path;

    explicit Sim(const std::vector<std::string>& options = {}) : proc(start(options))
    {
        EXPECT_TRUE(proc.wait_output("\n", timeout())) << proc.errors();
        path = proc.output().substr(0, proc.output().find('\n'));
        EXPECT_EQ(path.rfind("/dev/", 0), 0u) << path;
    }

private:
    static Process start(const std::vector<std::string>& options)
    {
        std::vector<std::string> argv{ZORLAN_SIM_BIN};
        argv.insert(argv.end(), options.begin(), options.end());
        return Process::start(argv);
    }
};
#endif

}  // namespace testsupport
