// The driver contract's table layout, the wire frames, and the driver against the scanner emulator.
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "room.h"
#include "scangrab/zorlan_driver.h"
#include "scangrab_support.h"
#include "wire.h"

using namespace testsupport;
using namespace orv::standalone::zorlan;
namespace wire = orv::standalone::zorlan::wire;

namespace {

// Slot in the class's table, -1 if not virtual (Itanium C++ ABI; ARM's flags virtuals in the adjustment).
template <typename F>
long slot_of(F f)
{
    struct Rep {
        std::uintptr_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(F) == sizeof(Rep), "pointer-to-member layout");
    std::memcpy(&rep, &f, sizeof(rep));
#if defined(__arm__)
    if (!(rep.adj & 1))
        return -1;
    return static_cast<long>(rep.ptr / sizeof(void*));
#else
    if (!(rep.ptr & 1))
        return -1;
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
#endif
}

struct Driver {
    ZorlanDriver* d = ZorlanDriver::CreateDriver(ZORLAN_TRANSPORT_SERIAL);
    Driver() { EXPECT_NE(d, nullptr); }
    ~Driver() { ZorlanDriver::DisposeDriver(d); }
    ZorlanDriver* operator->() { return d; }
};

using Node = _zorlan_response_measurement_node_t;

std::vector<std::uint8_t> frame_bytes(std::uint8_t type, std::vector<std::uint8_t> payload)
{
    std::uint8_t buf[wire::MAX_FRAME];
    size_t n = wire::encode_frame(type, payload.data(), payload.size(), buf);
    return std::vector<std::uint8_t>(buf, buf + n);
}

}  // namespace

TEST(DriverContract, OperationsSitAtTheirTableSlots)
{
    using D = ZorlanDriver;
    // Slots 1 and 2 hold the destructor; the program was built against this table.
    EXPECT_EQ((std::vector<long>{slot_of(&D::BindPort), slot_of(&D::UnbindPort), slot_of(&D::IsPortBound),
                                 slot_of(&D::ClearInput), slot_of(&D::GetBoundRate), slot_of(&D::StartScanOperation),
                                 slot_of(&D::IsScanning), slot_of(&D::RetrieveHealth), slot_of(&D::RetrieveDeviceInfo),
                                 slot_of(&D::GetFrameStats), slot_of(&D::ResetFrameStats), slot_of(&D::PrepareScan),
                                 slot_of(&D::FinishScan), slot_of(&D::Reserved15), slot_of(&D::Reserved19),
                                 slot_of(&D::HaltScan), slot_of(&D::GrabScanData), slot_of(&D::Reserved22),
                                 slot_of(&D::ArrangeScanData)}),
              (std::vector<long>{0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 19, 20, 21, 22, 23}));
}

TEST(WireFrames, EncodeRefusesLengthsItsTypeCannotHave)
{
    std::uint8_t buf[wire::MAX_FRAME], payload[wire::MAX_PAYLOAD + 5] = {};
    const struct { std::uint8_t type; size_t len, frame; } cases[] = {
        {wire::RSP_NODES, 250, 255}, {wire::RSP_NODES, 255, 0}, {wire::RSP_NODES, 7, 0},
        {wire::RSP_NODES, 0, 0},     {wire::RSP_HEALTH, 2, 0},  {0x7F, 0, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(wire::encode_frame(c.type, payload, c.len, buf), c.frame) << int(c.type) << ", " << c.len;
    // CRC-8 with polynomial 0x07 of "123456789" is 0xF4.
    EXPECT_EQ(wire::crc8(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xF4);
}

TEST(WireFrames, ReaderSkipsNoiseAndRejectsBadFramesWithoutLosingGoodOnes)
{
    auto stop = frame_bytes(wire::RSP_STOP, {});
    auto health = frame_bytes(wire::RSP_HEALTH, {1, 2, 3});
    auto bad = health;
    bad.back() ^= 0xFF;

    std::vector<std::uint8_t> bytes{0x00, 0xE7, 0x11, 0x7E};  // noise, a lone first sync byte
    bytes.insert(bytes.end(), bad.begin(), bad.end());          // wrong checksum
    bytes.insert(bytes.end(), {wire::SYNC0, wire::SYNC1, wire::RSP_NODES, 0xFF});  // impossible length
    bytes.insert(bytes.end(), {wire::SYNC0, wire::SYNC1, 0x7F, 0x00});             // unknown type
    // A false start whose 5 bytes swallow the start of a real frame.
    bytes.insert(bytes.end(), {wire::SYNC0, wire::SYNC1, wire::RSP_NODES, 0x05});
    bytes.insert(bytes.end(), stop.begin(), stop.end());
    bytes.insert(bytes.end(), health.begin(), health.end());
    // A length its type cannot have (the next frame's first byte): rejected at once and not dropped whole.
    bytes.insert(bytes.end(), {wire::SYNC0, wire::SYNC1, wire::RSP_IDENTITY});
    bytes.insert(bytes.end(), stop.begin(), stop.end());

    for (size_t chunk : {bytes.size(), size_t(1), size_t(3)}) {
        wire::FrameReader r;
        wire::Frame f;
        std::vector<std::uint8_t> types;
        for (size_t pos = 0, n; pos < bytes.size(); pos += n) {
            n = std::min({chunk, bytes.size() - pos, r.space_size()});
            std::memcpy(r.space(), bytes.data() + pos, n);
            r.commit(n);
            while (r.next(f))
                types.push_back(f.type);
        }
        EXPECT_EQ(types, (std::vector<std::uint8_t>{wire::RSP_STOP, wire::RSP_HEALTH, wire::RSP_STOP}))
            << "chunk " << chunk;
        EXPECT_EQ(r.accepted, 3u);
        EXPECT_EQ(r.rejected, 5u);
    }
}

TEST(DriverStates, UnboundDriverRefusesWorkAndTeardownIsHarmlessEverywhere)
{
    EXPECT_EQ(ZorlanDriver::CreateDriver(1), nullptr);
    ZorlanDriver::DisposeDriver(nullptr);

    Driver drv;
    EXPECT_EQ(drv->Reserved17(), ZORLAN_ERR_NOT_SUPPORTED);
    // The regular file must keep its bytes: the session's requests find no port to go to.
    TempDir dir;
    const std::string path = dir.file("notatty");
    std::ofstream(path) << "board\n";
    Sim sim({"--refuse-start"});
    Fd holder(::open(sim.path.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    const std::pair<const char*, result_t> ports[] = {{"", ZORLAN_OK},  // none bound yet
                                                      {"/nonexistent/tty0", ZORLAN_ERR_PORT},
                                                      {path.c_str(), ZORLAN_ERR_PORT},
                                                      {sim.path.c_str(), ZORLAN_ERR_BUSY},
                                                      {nullptr, ZORLAN_ERR_BAD_ARGUMENT}};
    _zorlan_response_identity_t id;
    _zorlan_response_health_t health;
    Node nodes[4];
    std::uint32_t count = 4, rate = 0;
    for (const auto& [port, result] : ports) {
        SCOPED_TRACE(port ? port : "no path");
        if (!port || *port) {
            EXPECT_EQ(drv->BindPort(port, 115200, 0), result);
        }
        EXPECT_FALSE(drv->IsPortBound());
        EXPECT_EQ(drv->RetrieveDeviceInfo(&id, 100), ZORLAN_ERR_NOT_BOUND);
        EXPECT_EQ(drv->RetrieveHealth(&health, 100), ZORLAN_ERR_NOT_BOUND);
        EXPECT_EQ(drv->PrepareScan(), ZORLAN_ERR_NOT_BOUND);
        EXPECT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_ERR_NOT_BOUND);
        count = 4;
        EXPECT_EQ(drv->GrabScanData(nodes, &count, 100), ZORLAN_ERR_NOT_BOUND);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(drv->GetBoundRate(&rate), ZORLAN_ERR_NOT_BOUND);
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(drv->HaltScan(2000), ZORLAN_OK);
            EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);
        }
    }
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "board\n");
    holder.reset();

    // A rate of 0 would hang up a real line.
    EXPECT_EQ(drv->BindPort(sim.path.c_str(), 0, 0), ZORLAN_ERR_BAD_ARGUMENT);
    ASSERT_EQ(drv->BindPort(sim.path.c_str(), 256000, 0), ZORLAN_OK);
    EXPECT_TRUE(drv->IsPortBound());
    EXPECT_EQ(drv->GetBoundRate(&rate), ZORLAN_OK);
    EXPECT_EQ(rate, 256000u);
    count = 4;
    EXPECT_EQ(drv->GrabScanData(nodes, &count, 100), ZORLAN_ERR_BAD_STATE) << "not scanning";
    count = 0;
    EXPECT_EQ(drv->GrabScanData(nodes, &count, 100), ZORLAN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(drv->RetrieveDeviceInfo(nullptr, 100), ZORLAN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(drv->StartScanOperation(0, 1, 7, 0), ZORLAN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_ERR_REFUSED);
    EXPECT_FALSE(drv->IsScanning());
    EXPECT_EQ(drv->HaltScan(2000), ZORLAN_OK) << "bound but idle";
    EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);
    EXPECT_FALSE(drv->IsPortBound());
}

// --corrupt spoils the frame of the second revolution's first node: only the angle falling back starts it.
TEST(DriverWithEmulator, EachGrabDeliversARevolutionFromItsStartAndNoSpoiledFrame)
{
    struct Grab { std::uint32_t buffer, count; };  // count 0: what the spoiled frames left
    struct Case {
        std::vector<std::string> sim;
        std::uint32_t revolution;
        result_t result;  // of every grab
        std::vector<Grab> grabs;
    };
    const std::vector<Case> cases = {
        {{"--nodes", "720"}, 720, ZORLAN_OK, {{8192, 720}, {8192, 720}, {8192, 720}}},
        {{"--nodes", "720", "--noise"}, 720, ZORLAN_OK, {{8192, 720}, {8192, 720}, {8192, 720}}},
        {{"--nodes", "8192"}, 8192, ZORLAN_OK, {{8192, 8192}, {100, 100}, {8192, 8192}}},
        {{"--nodes", "720", "--cut", "130"}, 720, ZORLAN_ERR_TIMEOUT, {{8192, 130}}},
        {{"--nodes", "720", "--corrupt", "3"}, 720, ZORLAN_OK, std::vector<Grab>(8, {8192, 0})},
        {{"--nodes", "720", "--corrupt", "15"}, 720, ZORLAN_OK, std::vector<Grab>(8, {8192, 0})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(join(c.sim, " "));
        const bool corrupt = c.sim.size() > 2 && c.sim[2] == "--corrupt";
        Sim sim(c.sim);
        Driver drv;
        ASSERT_EQ(drv->BindPort(sim.path.c_str(), 115200, 0), ZORLAN_OK);
        _zorlan_response_identity_t id;
        ASSERT_EQ(drv->RetrieveDeviceInfo(&id, 2000), ZORLAN_OK);
        EXPECT_EQ(id.head_byte, 24) << "the emulator's model";
        ASSERT_EQ(drv->PrepareScan(), ZORLAN_OK);
        ASSERT_EQ(drv->StartScanOperation(9, 1, 0, 0), ZORLAN_ERR_REFUSED) << "unknown scan mode";
        ASSERT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_OK);
        static Node nodes[8192];
        bool lost = false, start_lost = false;
        for (const Grab& g : c.grabs) {
            SCOPED_TRACE("grab " + std::to_string(&g - c.grabs.data()));
            std::uint32_t count = g.buffer;
            ASSERT_EQ(drv->GrabScanData(nodes, &count, c.result == ZORLAN_OK ? 2000 : 500), c.result);
            if (g.count) {
                ASSERT_EQ(count, g.count);
            }
            ASSERT_GT(count, 0u);
            ASSERT_LE(count, c.revolution) << "the grab ran into the next revolution";
            for (std::uint32_t i = 0; i < count; i++) {
                const std::uint32_t angle = nodes[i].angle_code >> 1;
                // A whole revolution from its start has node i at step i; otherwise the angle's own step.
                const std::uint32_t step = g.count ? i : static_cast<std::uint32_t>(
                    (std::uint64_t{angle} * c.revolution + room::ANGLE_UNITS - 1) / room::ANGLE_UNITS);
                ASSERT_EQ(angle, room::node_angle(step, c.revolution)) << "node " << i << " off the grid";
                ASSERT_TRUE(i == 0 || angle > (nodes[i - 1].angle_code >> 1)) << "node " << i << " out of order";
                ASSERT_EQ(nodes[i].angle_code & 1, 1) << "node " << i;
                ASSERT_EQ(nodes[i].distance_code, room::distance_code(angle)) << "node " << i;
                ASSERT_EQ(nodes[i].scan_flags, angle == 0 ? 1 : 0) << "node " << i;
            }
            lost = lost || count != c.revolution;
            start_lost = start_lost || nodes[0].scan_flags == 0;
        }
        if (corrupt) {
            EXPECT_TRUE(lost) << "frames were spoiled";
            EXPECT_TRUE(start_lost) << "a revolution's first node was in a spoiled frame";
        }
        EXPECT_EQ(drv->HaltScan(2000), ZORLAN_OK) << "the stop was answered";
        EXPECT_FALSE(drv->IsScanning());
        _zorlan_response_health_t health;
        EXPECT_EQ(drv->RetrieveHealth(&health, 2000), ZORLAN_OK);
        std::uint32_t accepted = 0, rejected = 0;
        drv->GetFrameStats(&accepted, &rejected);
        EXPECT_GT(accepted, 0u);
        EXPECT_EQ(rejected > 0, corrupt || c.sim.back() == "--noise");
    }
}

TEST(DriverWithEmulator, SilentScannerTimesOutAndTeardownStaysHarmless)
{
    Sim sim({"--silent"});
    Driver drv;
    ASSERT_EQ(drv->BindPort(sim.path.c_str(), 115200, 0), ZORLAN_OK);
    _zorlan_response_identity_t id;
    const Deadline t0 = mono_ms();
    EXPECT_EQ(drv->RetrieveDeviceInfo(&id, 300), ZORLAN_ERR_TIMEOUT);
    EXPECT_GE(ms_since(t0), 290) << "gave up early";
    _zorlan_response_health_t health;
    EXPECT_EQ(drv->RetrieveHealth(&health, 0), ZORLAN_ERR_TIMEOUT);
    EXPECT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_ERR_TIMEOUT);
    EXPECT_FALSE(drv->IsScanning());

    ASSERT_EQ(drv->StartScanOperation(0, 0, 0, 0), ZORLAN_OK);
    static Node nodes[16];
    std::uint32_t count = 16;
    EXPECT_EQ(drv->GrabScanData(nodes, &count, 200), ZORLAN_ERR_TIMEOUT);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(drv->HaltScan(200), ZORLAN_ERR_TIMEOUT) << "the stop is not answered";
    EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);
}

TEST(DriverArrange, NodesAreSortedByAngleKeepingTheOrderOfEqualAngles)
{
    Driver drv;
    Node nodes[5] = {{0, 200 << 1, 1}, {1, 0 << 1, 2}, {0, (100 << 1) | 1, 3}, {0, 100 << 1, 4}, {0, 50 << 1, 5}};
    ASSERT_EQ(drv->ArrangeScanData(nodes, 5), ZORLAN_OK);
    std::vector<unsigned> order;
    for (const Node& n : nodes)
        order.push_back(n.distance_code);
    EXPECT_EQ(order, (std::vector<unsigned>{2, 5, 3, 4, 1}));
    EXPECT_EQ(drv->ArrangeScanData(nullptr, 3), ZORLAN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(drv->ArrangeScanData(nodes, 0), ZORLAN_OK);
}
