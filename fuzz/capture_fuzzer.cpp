// The histogram and the listing fed arbitrary nodes and node counts, counts
// above the buffer's capacity included, through a driver double. Standard
// output goes to /dev/null; standard input is a file whose answer the input
// picks, mostly yes, so that the listing runs.
//
// Checks, besides the sanitizers: the grab is asked for the full capacity
// with the time-out 2000; the nodes are arranged only after a grab that did
// not fail (a time-out counts as not failed), in the grab's buffer and with a
// count never above the capacity; the grab's result comes back unchanged;
// exactly one character of input is read, and only when the chart was drawn.
// plot_histogram is also called on a buffer of exactly the nodes it is given,
// so that a read past them is caught.
//
// Input (integers from the end, nodes from the front, as FuzzedDataProvider
// takes them): grab result, kind of reported count, answer, arrangement,
// maybe a count, then the node bytes (5 a node, repeated to fill the count).
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "capture.h"
#include "fuzz_support.h"

using namespace orv::standalone::zorlan;

namespace {

using Node = _zorlan_response_measurement_node_t;

// The answers the standard input file holds, one a position; the last
// position is the end of the file.
constexpr char ANSWERS[] = "yYyn";
constexpr long ANSWER_COUNT = sizeof(ANSWERS);  // with the end of input

class FuzzDriver final : public ZorlanDriver {
public:
    result_t grab_result = ZORLAN_OK;
    std::uint32_t reported = 0;
    std::vector<Node> source;
    int arrangement = 0;

    int grabs = 0;
    int arranges = 0;
    Node* grab_buffer = nullptr;

    result_t BindPort(const char*, std::uint32_t, std::uint32_t) override { return unexpected("BindPort"); }
    result_t UnbindPort() override { return unexpected("UnbindPort"); }
    bool IsPortBound() override { return unexpected("IsPortBound") != 0; }
    result_t ClearInput() override { return unexpected("ClearInput"); }
    result_t GetBoundRate(std::uint32_t*) override { return unexpected("GetBoundRate"); }
    result_t StartScanOperation(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override
    {
        return unexpected("StartScanOperation");
    }
    bool IsScanning() override { return unexpected("IsScanning") != 0; }
    result_t RetrieveHealth(_zorlan_response_health_t*, std::uint32_t) override
    {
        return unexpected("RetrieveHealth");
    }
    result_t RetrieveDeviceInfo(_zorlan_response_identity_t*, std::uint32_t) override
    {
        return unexpected("RetrieveDeviceInfo");
    }
    result_t GetFrameStats(std::uint32_t*, std::uint32_t*) override { return unexpected("GetFrameStats"); }
    result_t ResetFrameStats() override { return unexpected("ResetFrameStats"); }
    result_t PrepareScan() override { return unexpected("PrepareScan"); }
    result_t FinishScan() override { return unexpected("FinishScan"); }
    result_t HaltScan(std::uint32_t) override { return unexpected("HaltScan"); }

    result_t GrabScanData(Node* nodes, std::uint32_t* count, std::uint32_t timeout) override
    {
        FUZZ_CHECK(grabs == 0);
        grabs++;
        FUZZ_CHECK(nodes != nullptr && count != nullptr);
        FUZZ_CHECK(*count == SCAN_NODE_CAPACITY);
        FUZZ_CHECK(timeout == 2000);
        grab_buffer = nodes;
        if (zorlan_failed(grab_result) && grab_result != ZORLAN_ERR_TIMEOUT)
            return grab_result;
        // Only the buffer is filled; the count may claim more.
        std::uint32_t fill = std::min(reported, *count);
        for (std::uint32_t i = 0; i < fill; i++) {
            if (source.empty())
                std::memset(&nodes[i], 0, sizeof(Node));
            else
                nodes[i] = source[i % source.size()];
        }
        *count = reported;
        return grab_result;
    }

    result_t ArrangeScanData(Node* nodes, std::uint32_t count) override
    {
        FUZZ_CHECK(grabs == 1 && arranges == 0);
        arranges++;
        FUZZ_CHECK(nodes == grab_buffer);
        FUZZ_CHECK(count == std::min(reported, SCAN_NODE_CAPACITY));
        if (arrangement == 1)
            std::stable_sort(nodes, nodes + count,
                             [](const Node& a, const Node& b) { return a.angle_code < b.angle_code; });
        else if (arrangement == 2)
            std::reverse(nodes, nodes + count);
        // Any result: the caller ignores it.
        return arrangement == 3 ? ZORLAN_ERR_BAD_ARGUMENT : ZORLAN_OK;
    }

private:
    result_t unexpected(const char* name)
    {
        std::fprintf(stderr, "fuzz check failed: unexpected call of %s\n", name);
        std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    int null_fd = ::open("/dev/null", O_WRONLY);
    FUZZ_CHECK(null_fd >= 0);
    std::fflush(stdout);
    FUZZ_CHECK(::dup2(null_fd, STDOUT_FILENO) == STDOUT_FILENO);
    ::close(null_fd);

    std::FILE* answers = std::tmpfile();
    FUZZ_CHECK(answers != nullptr);
    FUZZ_CHECK(std::fwrite(ANSWERS, 1, sizeof(ANSWERS) - 1, answers) == sizeof(ANSWERS) - 1);
    std::fflush(answers);
    FUZZ_CHECK(::dup2(fileno(answers), STDIN_FILENO) == STDIN_FILENO);
    std::fclose(answers);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    FuzzDriver driver;

    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
        driver.grab_result = ZORLAN_OK;
        break;
    case 1:
        driver.grab_result = ZORLAN_ERR_TIMEOUT;
        break;
    case 2:
        driver.grab_result = ZORLAN_ERR_PORT;
        break;
    case 3:  // success values other than 0
        driver.grab_result = in.ConsumeIntegral<std::uint32_t>() & 0x7FFFFFFF;
        break;
    default:
        driver.grab_result = in.ConsumeIntegral<std::uint32_t>();
        break;
    }
    int count_kind = in.ConsumeIntegralInRange<int>(0, 5);
    long answer = in.ConsumeIntegralInRange<long>(0, ANSWER_COUNT - 1);
    driver.arrangement = in.ConsumeIntegralInRange<int>(0, 3);
    std::uint32_t any_count = count_kind == 4 ? in.ConsumeIntegral<std::uint32_t>() : 0;

    std::vector<std::uint8_t> bytes = in.ConsumeRemainingBytes<std::uint8_t>();
    std::size_t node_count = bytes.size() / sizeof(Node);
    std::unique_ptr<Node[]> exact(new Node[node_count]);
    if (node_count > 0)
        std::memcpy(exact.get(), bytes.data(), node_count * sizeof(Node));
    driver.source.assign(exact.get(), exact.get() + node_count);

    switch (count_kind) {
    case 0:
        driver.reported = static_cast<std::uint32_t>(node_count);
        break;
    case 1:
        driver.reported = SCAN_NODE_CAPACITY;
        break;
    case 2:
        driver.reported = SCAN_NODE_CAPACITY + 1;
        break;
    case 3:
        driver.reported = 0xFFFFFFFFu;
        break;
    case 4:
        driver.reported = any_count;
        break;
    default:
        driver.reported = static_cast<std::uint32_t>(node_count) + SCAN_NODE_CAPACITY;
        break;
    }

    plot_histogram(exact.get(), static_cast<unsigned int>(node_count));

    std::clearerr(stdin);
    FUZZ_CHECK(std::fseek(stdin, answer, SEEK_SET) == 0);

    int result = capture_and_display(&driver);

    FUZZ_CHECK(result == static_cast<int>(driver.grab_result));
    FUZZ_CHECK(driver.grabs == 1);
    bool drawn = !zorlan_failed(driver.grab_result) || driver.grab_result == ZORLAN_ERR_TIMEOUT;
    FUZZ_CHECK(driver.arranges == (drawn ? 1 : 0));
    // One character of the answer, and nothing more, was read (none at the end
    // of input).
    long read_to = drawn && answer < ANSWER_COUNT - 1 ? answer + 1 : answer;
    FUZZ_CHECK(std::ftell(stdin) == read_to);
    return 0;
}
