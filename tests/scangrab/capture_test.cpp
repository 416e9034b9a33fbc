// Through a caller program, so that standard input and output are real; it reports the result and unread input.
#include <fstream>
#include <map>

#include "scangrab_support.h"

using namespace testsupport;

namespace {

std::string node(unsigned flags, unsigned angle_code, unsigned distance_code)
{
    return std::to_string(flags) + ":" + std::to_string(angle_code) + ":" + std::to_string(distance_code);
}

// 20 rows of 75 columns and the rule; others: the height of every column not given.
std::string chart(const std::map<int, int>& heights, int others)
{
    std::string s;
    for (int row = 20; row >= 1; row--) {
        for (int k = 0; k < 75; k++)
            s += (heights.count(k) ? heights.at(k) : others) >= row ? '*' : ' ';
        s += '\n';
    }
    return s + std::string(75, '-') + "\n";
}

struct Capture {
    std::string out, err;
    std::vector<std::string> calls;  // the fake driver's log, one call a line
};

// Waits for the question before giving input: one not flushed would wait for good.
Capture capture(const std::vector<std::string>& nodes, std::vector<std::string> env = {},
                const std::string& input = "")
{
    TempDir dir;
    const std::string driver = FAKE_ZORLAN_DRIVER_BIN;
    env.push_back("LD_LIBRARY_PATH=" + driver.substr(0, driver.rfind('/')));
    env.push_back("ZFAKE_LOG=" + dir.file("calls"));
    env.push_back("ZFAKE_NODES=" + join(nodes));
    SpawnOptions opts;
    opts.env = env;
    Process p = Process::start({CAPTURE_CALLER_BIN}, opts);
    EXPECT_TRUE(p.read_until(PROMPT, timeout())) << p.output();
    write_all(p.in(), input);
    p.close_input();
    EXPECT_EQ(p.wait_exit_code(timeout()), 0) << p.errors();
    Capture run{p.output(), p.errors(), {}};
    std::ifstream log(dir.file("calls"));
    for (std::string l; std::getline(log, l);)
        run.calls.push_back(l);
    return run;
}

std::string report(const std::string& result, const std::string& rest)
{
    return "result " + result + "\nrest [" + rest + "]\n";
}

std::vector<std::string> grabbed(unsigned arranged)
{
    return {"CreateDriver 0", "GrabScanData 8192 2000", "ArrangeScanData " + std::to_string(arranged), "DisposeDriver"};
}

}  // namespace

// Single precision (not double) puts an angle on a sector edge one bin low; 360 degrees wraps to bin 0.
TEST(ScanHistogram, BinsInSinglePrecisionAverageTheirNodesUnderTheHighestValueEverStored)
{
    auto mid = [](unsigned bin, unsigned distance) { return node(0, (bin * 3072 / 10 + 154) << 1, distance); };
    struct Case { const char* what; std::vector<std::string> nodes; std::map<int, int> heights; int others; };
    std::vector<Case> cases = {
        {"empty scan", {}, {}, 20},
        {"zero distances", {node(1, 0, 0), node(0, 9216 << 1, 0), node(0, 23039 << 1, 0)}, {}, 20},
        // 100, 150, 225 stored in bin 10; 112.5 is half the maximum 225.
        {"running average", {mid(10, 400), mid(10, 800), mid(10, 1200), mid(20, 450)}, {{10, 20}, {20, 11}}, 1},
        // 400 then 0 leaves 200, but the maximum stays 400.
        {"maximum of stored values", {mid(10, 1600), mid(10, 0), mid(20, 1200)}, {{10, 11}, {20, 16}}, 1},
        // A bin holding 0.0 takes the next distance unchanged.
        {"zero bin restarts", {mid(10, 0), mid(10, 1600), mid(20, 400)}, {{10, 20}, {20, 6}}, 1},
        {"a full turn", {node(0, 23040 << 1, 4000)}, {{0, 20}}, 1},
        {"sector edges", {}, {}, 1},
    };
    // {angle in 1/64 degree, bin}; bit 0 of the angle code is not part of the angle.
    for (auto [angle, bin] : std::vector<std::pair<unsigned, int>>{
             {307, 0}, {308, 1}, {4608, 14}, {7680, 24}, {9216, 29},
             {15360, 49}, {16896, 54}, {18432, 59}, {23039, 74}, {23040, 0}}) {
        cases.back().nodes.push_back(node(0, angle << 1 | (angle & 1), 4000));
        cases.back().heights[bin] = 20;
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Capture run = capture(c.nodes);
        EXPECT_EQ(run.out, "waiting for data...\n" + chart(c.heights, c.others) + ANSWERED);
        EXPECT_EQ(run.err, report("0", ""));
        EXPECT_EQ(run.calls, grabbed(static_cast<unsigned>(c.nodes.size())));
    }
}

// Every answer is read as one character.
TEST(ScanListing, OnlyAnAnswerStartingWithYListsEachNodeOnOneLineWithFixedFieldWidthsInBufferOrder)
{
    const std::vector<std::string> listing = {
        "S  theta: 0.00 Dist: 00000.00 ",  "   theta: 511.98 Dist: 16383.75 ", "   theta: 72.00 Dist: 01000.25 ",
        "   theta: 5.00 Dist: 00001.00 ", "S  theta: 5.00 Dist: 10000.00 ",
    };
    const std::vector<std::pair<std::string, bool>> answer_lists = {
        {"y\n", true}, {"Y", true},   {"yes please\n", true}, {"n\n", false},   {"\n", false},
        {"", false},   {"x\n", false}, {"Ny\n", false},       {"\xd9\n", false}, {" y\n", false},
    };
    for (const auto& [answer, lists] : answer_lists) {
        SCOPED_TRACE("answer [" + answer + "]");
        Capture run = capture({node(1, 0, 0), node(0, 65535, 65535), node(0, 9217, 4001), node(2, 640, 4),
                               node(3, 641, 40000)},
                              {}, answer);
        EXPECT_EQ(lines_after(run.out, ANSWERED), lists ? listing : std::vector<std::string>{});
        EXPECT_EQ(run.err, report("0", answer.empty() ? "" : answer.substr(1)));
    }
}

// A count above the buffer's 8192: the sanitizer build would catch a read past it.
TEST(ScanGrabResult, TimeOutPositiveSuccessOrCountAboveTheCapacityDrawAndOfferWhatTheBufferHolds)
{
    struct Case { std::string env, result; unsigned listed; };
    for (const Case& c : std::vector<Case>{{"ZFAKE_GRAB=80008002", "80008002", 3},
                                           {"ZFAKE_GRAB=1", "1", 3},
                                           {"ZFAKE_COUNT=9000", "0", 8192}}) {
        SCOPED_TRACE(c.env);
        Capture run = capture({node(1, 0, 400), node(0, 640, 800), node(0, 1280, 1200)}, {c.env}, "y\n");
        EXPECT_EQ(chart_rows(run.out).size(), 20u);
        EXPECT_EQ(lines_after(run.out, ANSWERED).size(), c.listed);
        EXPECT_EQ(run.err, report(c.result, "\n"));
        EXPECT_EQ(run.calls, grabbed(c.listed));
    }
}
