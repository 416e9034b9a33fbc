// capture_and_display through a caller program with the fake driver, so that standard input and output
// are real; the caller reports the result and what input was left unread.
#include "scangrab_support.h"

using namespace testsupport;

namespace {

FakeRun capture(const std::vector<std::string>& nodes, std::vector<std::string> env = {},
                const std::string& input = "", bool ask = true)
{
    env.push_back("ZFAKE_NODES=" + join(nodes));
    FakeRun run = run_fake({CAPTURE_CALLER_BIN}, env, input, ask);
    EXPECT_EQ(run.status, 0) << run.err;
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

// others: the height of every column not given.
void expect_chart(const std::vector<std::string>& nodes, const std::map<int, int>& heights, int others = 1)
{
    FakeRun run = capture(nodes);
    EXPECT_EQ(run.out, "waiting for data...\n" + chart(heights, others) + ANSWERED);
    EXPECT_EQ(run.err, report("0", ""));
    EXPECT_EQ(run.calls, grabbed(static_cast<unsigned>(nodes.size())));
}

}  // namespace

TEST(ScanHistogram, EmptyScanOrAllZeroDistancesFillsEveryRow)
{
    expect_chart({}, {}, 20);
    expect_chart({node(1, 0, 0), node(0, angle_code(9216), 0), node(0, angle_code(23039), 0)}, {}, 20);
}

// Single precision (not double) puts an angle on a sector edge one bin low; 360 degrees wraps to bin 0.
TEST(ScanHistogram, SectorEdgesLandInTheBinsSinglePrecisionGives)
{
    // {angle in 1/64 degree, bin}
    const std::vector<std::pair<unsigned, int>> angle_bin = {
        {307, 0}, {308, 1}, {4608, 14}, {7680, 24}, {9216, 29},
        {15360, 49}, {16896, 54}, {18432, 59}, {23039, 74}, {23040, 0},
    };
    std::vector<std::string> nodes;
    std::map<int, int> full;
    for (auto [angle, bin] : angle_bin) {
        // Bit 0 of the angle code is not part of the angle.
        nodes.push_back(node(0, angle_code(angle) | (angle & 1), 4000));
        full[bin] = 20;
    }
    expect_chart(nodes, full);
}

TEST(ScanHistogram, BinsAverageTheirNodesAndTheMaximumKeepsEveryStoredValue)
{
    struct Case { const char* what; std::vector<std::pair<unsigned, unsigned>> nodes; std::map<int, int> heights; };
    const std::vector<Case> cases = {
        // 100, 150, 225 stored in bin 10; 112.5 is half the maximum 225.
        {"running average", {{10, 400}, {10, 800}, {10, 1200}, {20, 450}}, {{10, 20}, {20, 11}}},
        // 400 then 0 leaves 200, but the maximum stays 400.
        {"maximum of stored values", {{10, 1600}, {10, 0}, {20, 1200}}, {{10, 11}, {20, 16}}},
        // A bin holding 0.0 takes the next distance unchanged.
        {"zero bin restarts", {{10, 0}, {10, 1600}, {20, 400}}, {{10, 20}, {20, 6}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> nodes;
        for (auto [bin, dist] : c.nodes)
            nodes.push_back(node(0, angle_code(bin * 3072 / 10 + 154), dist));  // sector middle
        expect_chart(nodes, c.heights);
    }
}

// Every answer is read as one character; run_fake shows the question is flushed before it is awaited.
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
        FakeRun run = capture({node(1, 0, 0), node(0, 65535, 65535), node(0, 9217, 4001), node(2, 640, 4),
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
        FakeRun run = capture({node(1, 0, 400), node(0, 640, 800), node(0, 1280, 1200)}, {c.env}, "y\n");
        EXPECT_EQ(chart_rows(run.out).size(), 20u);
        EXPECT_EQ(lines_after(run.out, ANSWERED).size(), c.listed);
        EXPECT_EQ(run.err, report(c.result, "\n"));
        EXPECT_EQ(run.calls, grabbed(c.listed));
    }
}

TEST(ScanGrabResult, FailurePrintsTheCodeAndNeitherDrawsNorAsks)
{
    FakeRun run = capture({node(1, 0, 400)}, {"ZFAKE_GRAB=80008106"}, "y\n", false);
    EXPECT_EQ(run.out, "waiting for data...\nerror code: 80008106\n");
    EXPECT_EQ(run.err, report("80008106", "y\n"));
    EXPECT_EQ(run.calls, (std::vector<std::string>{"CreateDriver 0", "GrabScanData 8192 2000", "DisposeDriver"}));
}
