// The driver contract's table layout, the wire protocol's frame reader, and
// the stand-in driver against the scanner emulator on a pseudo-terminal.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

// Slot of a virtual member function in its class's table, read from the
// pointer-to-member (Itanium C++ ABI; the ARM variant flags virtual functions
// in the adjustment instead of the pointer). -1 for a non-virtual function.
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

// Owns a driver from CreateDriver(0).
struct Driver {
    ZorlanDriver* d = ZorlanDriver::CreateDriver(ZORLAN_TRANSPORT_SERIAL);
    Driver() { EXPECT_NE(d, nullptr); }
    ~Driver() { ZorlanDriver::DisposeDriver(d); }
    ZorlanDriver* operator->() { return d; }
};

// A driver bound to a running emulator and scanning.
struct Scanning {
    Sim sim;
    Driver drv;
    explicit Scanning(const std::vector<std::string>& options) : sim(options)
    {
        EXPECT_EQ(drv->BindPort(sim.path.c_str(), 115200, 0), ZORLAN_OK);
        EXPECT_EQ(drv->PrepareScan(), ZORLAN_OK);
        EXPECT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_OK);
    }
};

using Node = _zorlan_response_measurement_node_t;

// Checks that every node is what the emulator's room gives at its angle, on
// the grid of a revolution of n nodes.
void expect_room_nodes(const Node* nodes, std::uint32_t count, std::uint32_t n)
{
    for (std::uint32_t i = 0; i < count; i++) {
        std::uint32_t angle = nodes[i].angle_code >> 1;
        EXPECT_EQ(nodes[i].angle_code & 1, 1) << "node " << i;
        std::uint32_t step = static_cast<std::uint32_t>(
            (static_cast<std::uint64_t>(angle) * n + room::ANGLE_UNITS - 1) / room::ANGLE_UNITS);
        EXPECT_EQ(room::node_angle(step, n), angle) << "node " << i << " off the grid";
        EXPECT_EQ(nodes[i].distance_code, room::distance_code(angle)) << "node " << i;
        EXPECT_EQ(nodes[i].scan_flags, angle == 0 ? 1 : 0) << "node " << i;
    }
}

// Exactly one revolution of n nodes, in order, starting with the flagged node.
void expect_revolution(const Node* nodes, std::uint32_t count, std::uint32_t n)
{
    ASSERT_EQ(count, n);
    for (std::uint32_t i = 0; i < count; i++)
        ASSERT_EQ(nodes[i].angle_code >> 1, room::node_angle(i, n)) << "node " << i;
    expect_room_nodes(nodes, count, n);
}

std::vector<std::uint8_t> frame_bytes(std::uint8_t type, std::vector<std::uint8_t> payload)
{
    std::uint8_t buf[wire::MAX_FRAME];
    size_t n = wire::encode_frame(type, payload.data(), payload.size(), buf);
    return std::vector<std::uint8_t>(buf, buf + n);
}

// Feeds bytes to a reader and takes out every frame type it finds.
std::vector<std::uint8_t> read_types(wire::FrameReader& r, const std::vector<std::uint8_t>& bytes, size_t chunk = 0)
{
    std::vector<std::uint8_t> types;
    wire::Frame f;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t n = std::min(chunk ? chunk : bytes.size(), std::min(bytes.size() - pos, r.space_size()));
        std::memcpy(r.space(), bytes.data() + pos, n);
        r.commit(n);
        pos += n;
        while (r.next(f))
            types.push_back(f.type);
    }
    return types;
}

}  // namespace

TEST(DriverContract, OperationsSitAtTheirTableSlots)
{
    EXPECT_EQ(slot_of(&ZorlanDriver::BindPort), 0);
    // Slots 1 and 2 hold the destructor.
    EXPECT_EQ(slot_of(&ZorlanDriver::UnbindPort), 3);
    EXPECT_EQ(slot_of(&ZorlanDriver::IsPortBound), 4);
    EXPECT_EQ(slot_of(&ZorlanDriver::ClearInput), 5);
    EXPECT_EQ(slot_of(&ZorlanDriver::GetBoundRate), 6);
    EXPECT_EQ(slot_of(&ZorlanDriver::StartScanOperation), 7);
    EXPECT_EQ(slot_of(&ZorlanDriver::IsScanning), 8);
    EXPECT_EQ(slot_of(&ZorlanDriver::RetrieveHealth), 9);
    EXPECT_EQ(slot_of(&ZorlanDriver::RetrieveDeviceInfo), 10);
    EXPECT_EQ(slot_of(&ZorlanDriver::GetFrameStats), 11);
    EXPECT_EQ(slot_of(&ZorlanDriver::ResetFrameStats), 12);
    EXPECT_EQ(slot_of(&ZorlanDriver::PrepareScan), 13);
    EXPECT_EQ(slot_of(&ZorlanDriver::FinishScan), 14);
    EXPECT_EQ(slot_of(&ZorlanDriver::Reserved15), 15);
    EXPECT_EQ(slot_of(&ZorlanDriver::Reserved19), 19);
    EXPECT_EQ(slot_of(&ZorlanDriver::HaltScan), 20);
    EXPECT_EQ(slot_of(&ZorlanDriver::GrabScanData), 21);
    EXPECT_EQ(slot_of(&ZorlanDriver::Reserved22), 22);
    EXPECT_EQ(slot_of(&ZorlanDriver::ArrangeScanData), 23);
}

TEST(WireFrames, EncodeRefusesLengthsItsTypeCannotHave)
{
    std::uint8_t buf[wire::MAX_FRAME], payload[wire::MAX_PAYLOAD + 5] = {};
    EXPECT_EQ(wire::encode_frame(wire::RSP_NODES, payload, 250, buf), 255u);
    EXPECT_EQ(wire::encode_frame(wire::RSP_NODES, payload, 255, buf), 0u);
    EXPECT_EQ(wire::encode_frame(wire::RSP_NODES, payload, 7, buf), 0u);
    EXPECT_EQ(wire::encode_frame(wire::RSP_NODES, payload, 0, buf), 0u);
    EXPECT_EQ(wire::encode_frame(wire::RSP_HEALTH, payload, 2, buf), 0u);
    EXPECT_EQ(wire::encode_frame(0x7F, payload, 0, buf), 0u);
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
    // A false start claiming 5 bytes that swallows the start of a real frame.
    bytes.insert(bytes.end(), {wire::SYNC0, wire::SYNC1, wire::RSP_NODES, 0x05});
    bytes.insert(bytes.end(), stop.begin(), stop.end());
    bytes.insert(bytes.end(), health.begin(), health.end());

    for (size_t chunk : {size_t(0), size_t(1), size_t(3)}) {
        wire::FrameReader r;
        EXPECT_EQ(read_types(r, bytes, chunk), (std::vector<std::uint8_t>{wire::RSP_STOP, wire::RSP_HEALTH}))
            << "chunk " << chunk;
        EXPECT_EQ(r.accepted, 2u);
        EXPECT_EQ(r.rejected, 4u);
    }
}

TEST(WireFrames, ImpossibleLengthIsRejectedBeforeAnyMoreBytesCome)
{
    wire::FrameReader r;
    auto stop = frame_bytes(wire::RSP_STOP, {});
    std::vector<std::uint8_t> bytes{wire::SYNC0, wire::SYNC1, wire::RSP_IDENTITY, 0xC8};
    bytes.insert(bytes.end(), stop.begin(), stop.end());
    // Nothing follows: trusting the length would wait for 200 more bytes.
    EXPECT_EQ(read_types(r, bytes), (std::vector<std::uint8_t>{wire::RSP_STOP}));
}

TEST(DriverStates, UnboundDriverRefusesWorkAndTeardownIsHarmlessEverywhere)
{
    EXPECT_EQ(ZorlanDriver::CreateDriver(1), nullptr);
    ZorlanDriver::DisposeDriver(nullptr);

    Driver drv;
    _zorlan_response_identity_t id;
    _zorlan_response_health_t health;
    Node nodes[4];
    std::uint32_t count = 4, rate = 0;
    EXPECT_EQ(drv->RetrieveDeviceInfo(&id, 100), ZORLAN_ERR_NOT_BOUND);
    EXPECT_EQ(drv->RetrieveHealth(&health, 100), ZORLAN_ERR_NOT_BOUND);
    EXPECT_EQ(drv->PrepareScan(), ZORLAN_ERR_NOT_BOUND);
    EXPECT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_ERR_NOT_BOUND);
    EXPECT_EQ(drv->GrabScanData(nodes, &count, 100), ZORLAN_ERR_NOT_BOUND);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(drv->GetBoundRate(&rate), ZORLAN_ERR_NOT_BOUND);
    EXPECT_EQ(drv->Reserved17(), ZORLAN_ERR_NOT_SUPPORTED);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(drv->HaltScan(2000), ZORLAN_OK);
        EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);
    }

    EXPECT_EQ(drv->BindPort("/nonexistent/tty0", 115200, 0), ZORLAN_ERR_PORT);
    EXPECT_FALSE(drv->IsPortBound());
    {
        // A regular file given as the port is refused and keeps its bytes:
        // the session's requests find no port to go to.
        std::string path = ::testing::TempDir() + "zorlan-notatty-XXXXXX";
        const int fd = ::mkstemp(&path[0]);
        ASSERT_GE(fd, 0) << "no temporary file";
        ASSERT_EQ(::write(fd, "board\n", 6), 6);
        ::close(fd);
        EXPECT_EQ(drv->BindPort(path.c_str(), 115200, 0), ZORLAN_ERR_PORT);
        EXPECT_FALSE(drv->IsPortBound());
        EXPECT_EQ(drv->PrepareScan(), ZORLAN_ERR_NOT_BOUND);
        EXPECT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_ERR_NOT_BOUND);
        EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "board\n");
        ::unlink(path.c_str());
    }
    EXPECT_EQ(drv->BindPort(nullptr, 115200, 0), ZORLAN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(drv->HaltScan(2000), ZORLAN_OK);
    EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);

    Sim sim;
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
    EXPECT_EQ(drv->StartScanOperation(9, 1, 0, 0), ZORLAN_ERR_REFUSED) << "unknown scan mode";
    EXPECT_FALSE(drv->IsScanning());
    EXPECT_EQ(drv->HaltScan(2000), ZORLAN_OK) << "bound but idle";
    EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);
    EXPECT_FALSE(drv->IsPortBound());
}

TEST(DriverWithEmulator, IdentityAndHealthComeBackAsTheScannerSaysThem)
{
    for (bool noise : {false, true}) {
        std::vector<std::string> opts{"--serial", "0102030405060708090A0B0C0D0E0FF0", "--firmware", "3.7",
                                      "--hardware", "9", "--model", "5", "--health", "1,300"};
        if (noise)
            opts.push_back("--noise");
        Sim sim(opts);
        Driver drv;
        ASSERT_EQ(drv->BindPort(sim.path.c_str(), 115200, 0), ZORLAN_OK);
        for (int round = 0; round < 3; round++) {
            _zorlan_response_identity_t id;
            _zorlan_response_health_t health;
            ASSERT_EQ(drv->RetrieveDeviceInfo(&id, 2000), ZORLAN_OK);
            EXPECT_EQ(id.head_byte, 5);
            EXPECT_EQ(id.firmware_version, 0x0307);
            EXPECT_EQ(id.hardware_revision, 9);
            for (int i = 0; i < 15; i++)
                EXPECT_EQ(id.serial_number[i], i + 1);
            EXPECT_EQ(id.serial_number[15], 0xF0);
            ASSERT_EQ(drv->RetrieveHealth(&health, 2000), ZORLAN_OK);
            EXPECT_EQ(health.status, 1);
            EXPECT_EQ(health.error_code, 300);
        }
        std::uint32_t accepted = 0, rejected = 0;
        EXPECT_EQ(drv->GetFrameStats(&accepted, &rejected), ZORLAN_OK);
        EXPECT_EQ(accepted, 6u);
        if (noise) {
            EXPECT_GT(rejected, 0u) << "the noise had false starts";
        }
    }
}

TEST(DriverWithEmulator, EachGrabDeliversOneWholeRevolution)
{
    // 720 nodes do not fill whole frames, so revolutions begin inside frames.
    for (bool noise : {false, true}) {
        Scanning s(noise ? std::vector<std::string>{"--nodes", "720", "--noise"}
                         : std::vector<std::string>{"--nodes", "720"});
        static Node nodes[8192];
        for (int grab = 0; grab < 3; grab++) {
            std::uint32_t count = 8192;
            ASSERT_EQ(s.drv->GrabScanData(nodes, &count, 2000), ZORLAN_OK) << "grab " << grab;
            expect_revolution(nodes, count, 720);
        }
        EXPECT_EQ(s.drv->HaltScan(2000), ZORLAN_OK) << "the stop was answered";
        EXPECT_FALSE(s.drv->IsScanning());
        // The stream has stopped and what was left of it is skipped.
        _zorlan_response_health_t health;
        EXPECT_EQ(s.drv->RetrieveHealth(&health, 2000), ZORLAN_OK);
        std::uint32_t accepted = 0, rejected = 0;
        s.drv->GetFrameStats(&accepted, &rejected);
        if (noise) {
            EXPECT_GT(rejected, 0u);
        } else {
            EXPECT_EQ(rejected, 0u);
        }
    }
}

TEST(DriverWithEmulator, RevolutionOfTheFullBufferSizeOrLongerThanTheBuffer)
{
    Scanning s({"--nodes", "8192"});
    static Node nodes[8192];
    std::uint32_t count = 8192;
    ASSERT_EQ(s.drv->GrabScanData(nodes, &count, 2000), ZORLAN_OK);
    expect_revolution(nodes, count, 8192);

    // A small buffer gets the start of the revolution; the next grab begins
    // with the next revolution.
    count = 100;
    ASSERT_EQ(s.drv->GrabScanData(nodes, &count, 2000), ZORLAN_OK);
    ASSERT_EQ(count, 100u);
    expect_room_nodes(nodes, count, 8192);
    EXPECT_EQ(nodes[0].scan_flags, 1);
    count = 8192;
    ASSERT_EQ(s.drv->GrabScanData(nodes, &count, 2000), ZORLAN_OK);
    expect_revolution(nodes, count, 8192);
}

TEST(DriverWithEmulator, SilentScannerTimesOutAndTeardownStaysHarmless)
{
    Sim sim({"--silent"});
    Driver drv;
    ASSERT_EQ(drv->BindPort(sim.path.c_str(), 115200, 0), ZORLAN_OK);
    _zorlan_response_identity_t id;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(drv->RetrieveDeviceInfo(&id, 300), ZORLAN_ERR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(290)) << "gave up early";
    _zorlan_response_health_t health;
    EXPECT_EQ(drv->RetrieveHealth(&health, 0), ZORLAN_ERR_TIMEOUT);
    EXPECT_EQ(drv->StartScanOperation(0, 1, 0, 0), ZORLAN_ERR_TIMEOUT);
    EXPECT_FALSE(drv->IsScanning());

    // Started without waiting for the answer: the grab finds nothing.
    ASSERT_EQ(drv->StartScanOperation(0, 0, 0, 0), ZORLAN_OK);
    static Node nodes[16];
    std::uint32_t count = 16;
    EXPECT_EQ(drv->GrabScanData(nodes, &count, 200), ZORLAN_ERR_TIMEOUT);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(drv->HaltScan(200), ZORLAN_ERR_TIMEOUT) << "the stop is not answered";
    EXPECT_EQ(drv->FinishScan(), ZORLAN_OK);
}

TEST(DriverWithEmulator, ScanCutShortDeliversWhatCameWithTheTimeOutCode)
{
    Scanning s({"--nodes", "720", "--cut", "130"});
    static Node nodes[8192];
    std::uint32_t count = 8192;
    EXPECT_EQ(s.drv->GrabScanData(nodes, &count, 500), ZORLAN_ERR_TIMEOUT);
    ASSERT_EQ(count, 130u);
    for (std::uint32_t i = 0; i < count; i++)
        ASSERT_EQ(nodes[i].angle_code >> 1, room::node_angle(i, 720));
    expect_room_nodes(nodes, count, 720);
    EXPECT_EQ(s.drv->HaltScan(2000), ZORLAN_OK) << "a quiet scanner still answers the stop";
}

// Spoiled frames are dropped, and with them the flagged first node of some
// revolutions (at both rates, the second revolution's start is in a spoiled
// frame). A grab still delivers at most one revolution: the angle falling
// back starts the next one, so the angles of a grab rise strictly and none
// comes twice.
TEST(DriverWithEmulator, FramesWithBadChecksumsAreDroppedNeverDelivered)
{
    for (const char* every : {"3", "15"}) {
        SCOPED_TRACE(std::string("--corrupt ") + every);
        Scanning s({"--nodes", "720", "--corrupt", every});
        static Node nodes[8192];
        bool lost = false, start_lost = false;
        for (int grab = 0; grab < 8; grab++) {
            std::uint32_t count = 8192;
            ASSERT_EQ(s.drv->GrabScanData(nodes, &count, 2000), ZORLAN_OK) << "grab " << grab;
            ASSERT_GT(count, 0u) << "grab " << grab;
            ASSERT_LE(count, 720u) << "grab " << grab << " ran into the next revolution";
            expect_room_nodes(nodes, count, 720);
            for (std::uint32_t i = 1; i < count; i++)
                ASSERT_GT(nodes[i].angle_code >> 1, nodes[i - 1].angle_code >> 1) << "grab " << grab << " node " << i;
            lost = lost || count != 720;
            start_lost = start_lost || nodes[0].scan_flags == 0;
        }
        EXPECT_TRUE(lost) << "frames were spoiled";
        EXPECT_TRUE(start_lost) << "a revolution's first node was in a spoiled frame";
        std::uint32_t accepted = 0, rejected = 0;
        s.drv->GetFrameStats(&accepted, &rejected);
        EXPECT_GT(rejected, 0u);
    }
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
