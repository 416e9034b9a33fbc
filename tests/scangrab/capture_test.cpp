// The histogram, the question and the listing of one scan, driven through a
// caller program linked with the fake driver, so that standard input and
// output are real (and the run works under the emulator).
#include "scangrab_support.h"

using namespace testsupport;

namespace {

const std::string PROMPT = "Do you want to see all the data? (y/n) ";
// Input here is a pipe, not a terminal, so no echo ends the question's line:
// the program ends it after reading the answer.
const std::string ANSWERED = PROMPT + "\n";

struct CaptureRun {
    std::string out;
    std::string result;  // capture_and_display's result in hexadecimal
    std::string rest;    // what standard input still held afterwards
    std::vector<std::string> calls;
};

// Runs the caller with the fake driver scripted by env, feeding input (then
// end of input).
CaptureRun capture(std::vector<std::string> env, const std::string& input = "")
{
    CallLog log;
    SpawnOptions opts;
    opts.env = fake_env(log, env);
    Process p = Process::start({CAPTURE_CALLER_BIN}, opts);
    write_all(p.in(), input);
    p.close_input();
    EXPECT_EQ(p.wait_exit_code(timeout()), 0) << p.errors();

    CaptureRun run;
    run.out = p.output();
    const std::string& err = p.errors();
    size_t r = err.find("result "), rest = err.find("rest [");
    EXPECT_NE(r, std::string::npos) << err;
    EXPECT_NE(rest, std::string::npos) << err;
    if (r != std::string::npos && rest != std::string::npos) {
        run.result = err.substr(r + 7, err.find('\n', r) - r - 7);
        run.rest = err.substr(rest + 6, err.rfind("]\n") - rest - 6);
    }
    run.calls = log.lines();
    return run;
}

std::string nodes_env(const std::vector<std::string>& nodes) { return "ZFAKE_NODES=" + join(nodes); }

// The expected listing line of one node.
std::string listing(bool s, const char* theta, const char* dist)
{
    return std::string(s ? "S " : "  ") + " theta: " + theta + " Dist: " + dist + " ";
}

}  // namespace

TEST(ScanHistogram, EmptyScanOrAllZeroDistancesFillsEveryRow)
{
    std::string full;
    for (int i = 0; i < 20; i++)
        full += std::string(75, '*') + "\n";
    full += std::string(75, '-') + "\n";

    for (auto env : std::vector<std::vector<std::string>>{
             {}, {nodes_env({node(1, 0, 0), node(0, angle_code(9216), 0), node(0, angle_code(23039), 0)})}}) {
        CaptureRun run = capture(env);
        EXPECT_EQ(run.out, "waiting for data...\n" + full + ANSWERED);
        EXPECT_EQ(run.result, "0");
        ASSERT_GE(run.calls.size(), 3u);
        EXPECT_EQ(run.calls[1], "GrabScanData 8192 2000");
        EXPECT_EQ(run.calls[2], env.empty() ? "ArrangeScanData 0" : "ArrangeScanData 3");
    }
}

// Single-precision division by 4.8 puts an angle on a sector edge one bin
// low (double precision would not); 360 degrees and more wrap to bin 0.
TEST(ScanHistogram, SectorEdgesLandInTheBinsSinglePrecisionGives)
{
    const std::vector<std::pair<unsigned, int>> angle_bin = {
        {307, 0},     // 4.796875 degrees
        {308, 1},     // 4.8125
        {4608, 14},   // 72
        {7680, 24},   // 120
        {9216, 29},   // 144
        {15360, 49},  // 240
        {16896, 54},  // 264
        {18432, 59},  // 288
        {23039, 74},  // 359.984375
        {23040, 0},   // 360
    };
    std::vector<std::string> nodes;
    std::string top(75, ' ');
    for (auto [angle, bin] : angle_bin) {
        // Bit 0 of the angle code is not part of the angle.
        nodes.push_back(node(0, angle_code(angle) | (angle & 1), 4000));
        top[static_cast<size_t>(bin)] = '*';
    }
    CaptureRun run = capture({nodes_env(nodes)});
    auto rows = chart_rows(run.out);
    ASSERT_EQ(rows.size(), 20u);
    for (int r = 0; r < 19; r++)
        EXPECT_EQ(rows[static_cast<size_t>(r)], top) << "row " << 19 - r;
    EXPECT_EQ(rows[19], std::string(75, '*'));
}

// Each case: nodes (bin, distance code) in order, and the expected column
// heights (all other columns have only the bottom row).
TEST(ScanHistogram, BinsAverageTheirNodesAndTheMaximumKeepsEveryStoredValue)
{
    struct Case {
        const char* what;
        std::vector<std::pair<int, unsigned>> nodes;
        std::vector<std::pair<int, int>> heights;
    };
    const std::vector<Case> cases = {
        // 100, 150, 225 stored in bin 10; 112.5 is half the maximum 225.
        {"running average", {{10, 400}, {10, 800}, {10, 1200}, {20, 450}}, {{10, 20}, {20, 11}}},
        // 400 then 0 leaves 200, but the maximum stays 400.
        {"maximum of stored values", {{10, 1600}, {10, 0}, {20, 1200}}, {{10, 11}, {20, 16}}},
        // A bin holding 0.0 takes the next distance unchanged.
        {"zero bin restarts", {{10, 0}, {10, 1600}, {20, 400}}, {{10, 20}, {20, 6}}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> nodes;
        for (auto [bin, dist] : c.nodes)
            nodes.push_back(node(0, angle_code(static_cast<unsigned>(bin) * 3072 / 10 + 154), dist));  // sector middle
        CaptureRun run = capture({nodes_env(nodes)});
        auto rows = chart_rows(run.out);
        ASSERT_EQ(rows.size(), 20u) << c.what;
        for (size_t k = 0; k < 75; k++) {
            int want = 1;
            for (auto [bin, h] : c.heights)
                if (static_cast<size_t>(bin) == k)
                    want = h;
            EXPECT_EQ(column_height(rows, k), want) << c.what << ", column " << k;
        }
    }
}

TEST(ScanListing, EachNodeIsOneLineWithFixedFieldWidthsInBufferOrder)
{
    CaptureRun run = capture({nodes_env({node(1, 0, 0), node(0, 65535, 65535), node(0, 9217, 4001),
                                         node(2, 640, 4), node(3, 641, 40000)})},
                             "y\n");
    EXPECT_EQ(lines_after(run.out, ANSWERED), (std::vector<std::string>{
                                                listing(true, "0.00", "00000.00"),
                                                listing(false, "511.98", "16383.75"),
                                                listing(false, "72.00", "01000.25"),
                                                listing(false, "5.00", "00001.00"),
                                                listing(true, "5.00", "10000.00"),
                                            }));
    EXPECT_EQ(run.result, "0");
}

TEST(ScanListing, OnlyAnAnswerStartingWithYListsAndOnlyOneCharacterIsRead)
{
    struct Case {
        std::string input;
        bool lists;
    };
    const std::vector<Case> cases = {
        {"y\n", true}, {"Y", true},   {"yes please\n", true}, {"n\n", false},   {"\n", false},
        {"", false},   {"x\n", false}, {"Ny\n", false},       {"\xd9\n", false}, {" y\n", false},
    };
    for (const auto& c : cases) {
        CaptureRun run = capture({nodes_env({node(1, 0, 400), node(0, 640, 800)})}, c.input);
        auto listed = lines_after(run.out, ANSWERED);
        EXPECT_EQ(listed.size(), c.lists ? 2u : 0u) << "answer [" << c.input << "]";
        EXPECT_EQ(run.rest, c.input.empty() ? "" : c.input.substr(1)) << "answer [" << c.input << "]";
    }
}

TEST(ScanListing, QuestionIsShownBeforeTheAnswerIsRead)
{
    CallLog log;
    SpawnOptions opts;
    opts.env = fake_env(log, {nodes_env({node(1, 0, 400)})});
    Process p = Process::start({CAPTURE_CALLER_BIN}, opts);
    // Standard output is a pipe: without a flush the question would wait in
    // the program's buffer while the program waits for the answer.
    EXPECT_TRUE(p.wait_output(PROMPT, timeout()));
    write_all(p.in(), "y\n");
    p.close_input();
    EXPECT_EQ(p.wait_exit_code(timeout()), 0);
    EXPECT_EQ(lines_after(p.output(), ANSWERED).size(), 1u);
}

TEST(ScanGrabResult, TimeOutOrPositiveSuccessStillDrawsAndOffersTheNodesThatCame)
{
    for (std::string code : {"80008002", "1"}) {
        CaptureRun run = capture({"ZFAKE_GRAB=" + code, nodes_env({node(1, 0, 400), node(0, 640, 800), node(0, 1280, 1200)})},
                                 "y\n");
        EXPECT_EQ(chart_rows(run.out).size(), 20u);
        EXPECT_EQ(lines_after(run.out, ANSWERED).size(), 3u) << code;
        EXPECT_EQ(run.result, code);
        EXPECT_EQ(run.calls, (std::vector<std::string>{"CreateDriver 0", "GrabScanData 8192 2000",
                                                       "ArrangeScanData 3", "DisposeDriver"}));
    }
}

TEST(ScanGrabResult, FailurePrintsTheCodeAndNeitherDrawsNorAsks)
{
    CaptureRun run = capture({"ZFAKE_GRAB=80008106", nodes_env({node(1, 0, 400)})}, "y\n");
    EXPECT_EQ(run.out, "waiting for data...\nerror code: 80008106\n");
    EXPECT_EQ(run.result, "80008106");
    EXPECT_EQ(run.rest, "y\n");
    EXPECT_EQ(run.calls, (std::vector<std::string>{"CreateDriver 0", "GrabScanData 8192 2000", "DisposeDriver"}));
}

// A driver that claims more nodes than the buffer holds: only the buffer's
// 8192 nodes are arranged, drawn and listed (the sanitizer build would catch
// a read past the buffer).
TEST(ScanGrabResult, CountAboveTheCapacityIsClampedToTheBuffer)
{
    CaptureRun run = capture({"ZFAKE_COUNT=9000", nodes_env({node(0, 640, 400), node(0, 1280, 800)})}, "y\n");
    EXPECT_EQ(lines_after(run.out, ANSWERED).size(), 8192u);
    EXPECT_EQ(run.calls, (std::vector<std::string>{"CreateDriver 0", "GrabScanData 8192 2000",
                                                   "ArrangeScanData 8192", "DisposeDriver"}));
    EXPECT_EQ(run.result, "0");
}
