// zorlan_sim: plays a rotating laser range scanner on a pseudo-terminal, so
// that the driver and scangrab can run without hardware.
//
// Usage: zorlan_sim [options]   (zorlan_sim --help lists them)
// Prints the path of the terminal to open (for example /dev/pts/3) and serves
// it until it is killed.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "room.h"
#include "toolset/monoclock.h"
#include "toolset/stdfds.h"
#include "wire.h"

namespace wire = orv::standalone::zorlan::wire;
namespace room = orv::standalone::zorlan::room;

namespace {

struct Options {
    std::uint8_t serial[16] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07, 0x18,
                               0x29, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F, 0x90};
    std::uint16_t firmware = 0x011D;
    std::uint8_t hardware = 7;
    std::uint8_t model = 24;
    std::uint8_t health_status = 0;
    std::uint16_t health_code = 0;
    std::uint32_t nodes = 720;
    bool pace = false;
    std::uint32_t baud = 115200;
    bool silent = false;
    bool refuse_start = false;
    bool noise = false;
    std::uint32_t cut = 0;      // 0: never
    std::uint32_t corrupt = 0;  // 0: never
};

Options opt;

// The scanner's state.
bool streaming = false;
std::uint32_t next_node = 0;        // index of the next node in its revolution
std::uint32_t nodes_this_scan = 0;  // for --cut
std::uint32_t node_frames = 0;      // for --corrupt
std::uint64_t next_frame_us = 0;    // for --pace
std::uint32_t rng_state = 0x2545F491;

// Bytes waiting to go out to the terminal.
std::string out;

const char HELP[] =
    "Usage: zorlan_sim [options]\n"
    "Plays a laser range scanner on a new pseudo-terminal and prints its path.\n"
    "  --serial HEX        serial number, 32 hexadecimal digits\n"
    "  --firmware MAJ.MIN  firmware version (default 1.29)\n"
    "  --hardware N        hardware revision (default 7)\n"
    "  --model N           model code (default 24)\n"
    "  --health S[,CODE]   health status and error code (default 0,0)\n"
    "  --nodes N           nodes a revolution, 10 to 8192 (default 720)\n"
    "  --pace              send no faster than the line rate\n"
    "  --baud N            line rate for --pace (default 115200)\n"
    "  --silent            answer no request\n"
    "  --refuse-start      refuse every start\n"
    "  --noise             random bytes and false frame starts between frames\n"
    "  --cut N             fall quiet after N nodes of a scan\n"
    "  --corrupt N         spoil the checksum of every Nth measurement frame\n"
    "  --help              this text\n";

[[noreturn]] void usage()
{
    std::fputs(HELP, stderr);
    std::exit(2);
}

// Fixed-seed generator, so that every run sends the same noise.
std::uint32_t rnd()
{
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 17;
    rng_state ^= rng_state << 5;
    return rng_state;
}

bool parse_number(const char* text, unsigned long max, unsigned long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value <= max && text[0] != '-';
}

bool parse_serial(const char* text)
{
    if (std::strlen(text) != 32)
        return false;
    for (int i = 0; i < 16; i++) {
        char byte[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char* end = nullptr;
        unsigned long v = std::strtoul(byte, &end, 16);
        if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(byte[0])))
            return false;
        opt.serial[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

void parse_options(int argc, char** argv)
{
    constexpr int OPT_HELP = 256;  // outside the range of option characters
    static const option longs[] = {
        {"serial", required_argument, nullptr, 's'},   {"firmware", required_argument, nullptr, 'f'},
        {"hardware", required_argument, nullptr, 'h'}, {"model", required_argument, nullptr, 'm'},
        {"health", required_argument, nullptr, 'H'},   {"nodes", required_argument, nullptr, 'n'},
        {"pace", no_argument, nullptr, 'p'},           {"baud", required_argument, nullptr, 'b'},
        {"silent", no_argument, nullptr, 'S'},         {"refuse-start", no_argument, nullptr, 'r'},
        {"noise", no_argument, nullptr, 'N'},          {"cut", required_argument, nullptr, 'c'},
        {"corrupt", required_argument, nullptr, 'C'},  {"help", no_argument, nullptr, OPT_HELP},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    unsigned long v, w;
    while ((c = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        switch (c) {
        case 's':
            if (!parse_serial(optarg))
                usage();
            break;
        case 'f': {
            const char* dot = std::strchr(optarg, '.');
            if (!dot)
                usage();
            std::string major(optarg, static_cast<std::size_t>(dot - optarg));
            if (!parse_number(major.c_str(), 255, v) || !parse_number(dot + 1, 255, w))
                usage();
            opt.firmware = static_cast<std::uint16_t>(v << 8 | w);
            break;
        }
        case 'h':
            if (!parse_number(optarg, 255, v))
                usage();
            opt.hardware = static_cast<std::uint8_t>(v);
            break;
        case 'm':
            if (!parse_number(optarg, 255, v))
                usage();
            opt.model = static_cast<std::uint8_t>(v);
            break;
        case 'H': {
            std::string text(optarg);
            std::string code = "0";
            std::size_t comma = text.find(',');
            if (comma != std::string::npos) {
                code = text.substr(comma + 1);
                text.resize(comma);
            }
            if (!parse_number(text.c_str(), 255, v) || !parse_number(code.c_str(), 65535, w))
                usage();
            opt.health_status = static_cast<std::uint8_t>(v);
            opt.health_code = static_cast<std::uint16_t>(w);
            break;
        }
        case 'n':
            if (!parse_number(optarg, 8192, v) || v < 10)
                usage();
            opt.nodes = static_cast<std::uint32_t>(v);
            break;
        case 'p':
            opt.pace = true;
            break;
        case 'b':
            if (!parse_number(optarg, 0xFFFFFFFFul, v) || v == 0)
                usage();
            opt.baud = static_cast<std::uint32_t>(v);
            break;
        case 'S':
            opt.silent = true;
            break;
        case 'r':
            opt.refuse_start = true;
            break;
        case 'N':
            opt.noise = true;
            break;
        case 'c':
            if (!parse_number(optarg, 0xFFFFFFFFul, v) || v == 0)
                usage();
            opt.cut = static_cast<std::uint32_t>(v);
            break;
        case 'C':
            if (!parse_number(optarg, 0xFFFFFFFFul, v) || v == 0)
                usage();
            opt.corrupt = static_cast<std::uint32_t>(v);
            break;
        case OPT_HELP:
            std::fputs(HELP, stdout);
            std::exit(0);
        default:
            usage();
        }
    }
    if (optind != argc)
        usage();
}

// Random bytes and, now and then, a false frame start. A false start before
// node frames may claim a length its type allows, which holds the reader until
// that many bytes have come; before answers it never does, since nothing may
// follow an answer to complete it.
void add_noise(bool before_nodes)
{
    std::uint32_t n = 1 + rnd() % 12;
    for (std::uint32_t i = 0; i < n; i++)
        out += static_cast<char>(rnd() & 0xFF);
    switch (rnd() % 4) {
    case 0:  // a length no frame has
        out += std::string{static_cast<char>(wire::SYNC0), static_cast<char>(wire::SYNC1),
                           static_cast<char>(wire::RSP_NODES), static_cast<char>(0xFF)};
        break;
    case 1:  // a type nobody knows
        out += std::string{static_cast<char>(wire::SYNC0), static_cast<char>(wire::SYNC1), static_cast<char>(0x7F),
                           static_cast<char>(3)};
        break;
    case 2:
        if (before_nodes)  // a plausible header whose checksum will not match
            out += std::string{static_cast<char>(wire::SYNC0), static_cast<char>(wire::SYNC1),
                               static_cast<char>(wire::RSP_NODES), static_cast<char>(5 * (1 + rnd() % 50))};
        break;
    default:
        break;
    }
}

void queue_frame(std::uint8_t type, const std::uint8_t* payload, std::size_t length, bool spoil = false)
{
    if (opt.noise)
        add_noise(type == wire::RSP_NODES);
    std::uint8_t frame[wire::MAX_FRAME];
    std::size_t size = wire::encode_frame(type, payload, length, frame);
    if (spoil)
        frame[size - 1] ^= 0x5A;
    out.append(reinterpret_cast<const char*>(frame), size);
}

void answer(const wire::Frame& req)
{
    if (opt.silent)
        return;
    switch (req.type) {
    case wire::REQ_IDENTITY: {
        std::uint8_t p[20];
        p[0] = opt.model;
        p[1] = static_cast<std::uint8_t>(opt.firmware & 0xFF);
        p[2] = static_cast<std::uint8_t>(opt.firmware >> 8);
        p[3] = opt.hardware;
        std::memcpy(p + 4, opt.serial, 16);
        queue_frame(wire::RSP_IDENTITY, p, sizeof(p));
        break;
    }
    case wire::REQ_HEALTH: {
        std::uint8_t p[3] = {opt.health_status, static_cast<std::uint8_t>(opt.health_code & 0xFF),
                             static_cast<std::uint8_t>(opt.health_code >> 8)};
        queue_frame(wire::RSP_HEALTH, p, sizeof(p));
        break;
    }
    case wire::REQ_START: {
        std::uint8_t verdict = wire::START_ACCEPTED;
        if (opt.refuse_start)
            verdict = wire::START_REFUSED_FAULT;
        else if (req.payload[0] != 0)
            verdict = wire::START_REFUSED_MODE;
        else if (opt.health_status == 2)
            verdict = wire::START_REFUSED_FAULT;
        queue_frame(wire::RSP_START, &verdict, 1);
        if (verdict == wire::START_ACCEPTED) {
            streaming = true;
            next_node = 0;
            nodes_this_scan = 0;
            next_frame_us = mono_us();
        }
        break;
    }
    case wire::REQ_STOP:
        streaming = false;
        queue_frame(wire::RSP_STOP, nullptr, 0);
        break;
    default:
        break;  // our own kinds of frame echoed back, or answers: not for us
    }
}

// Queues the next frame of measurements.
void queue_nodes()
{
    std::uint8_t p[wire::MAX_PAYLOAD];
    std::size_t count = 0;
    while (count < wire::MAX_NODES_PER_FRAME && !(opt.cut && nodes_this_scan >= opt.cut)) {
        std::uint32_t angle = room::node_angle(next_node, opt.nodes);
        std::uint16_t angle_code = static_cast<std::uint16_t>(angle << 1 | 1);
        std::uint16_t dist = room::distance_code(angle);
        std::uint8_t* n = p + count * wire::NODE_SIZE;
        n[0] = next_node == 0 ? 1 : 0;
        n[1] = static_cast<std::uint8_t>(angle_code & 0xFF);
        n[2] = static_cast<std::uint8_t>(angle_code >> 8);
        n[3] = static_cast<std::uint8_t>(dist & 0xFF);
        n[4] = static_cast<std::uint8_t>(dist >> 8);
        count++;
        nodes_this_scan++;
        next_node = (next_node + 1) % opt.nodes;
    }
    if (count == 0) {
        streaming = false;  // cut short: the scanner falls quiet
        return;
    }
    node_frames++;
    std::size_t before = out.size();
    queue_frame(wire::RSP_NODES, p, count * wire::NODE_SIZE, opt.corrupt && node_frames % opt.corrupt == 0);
    if (opt.pace) {
        // Ten bit times a byte: start bit, eight data bits, stop bit. Time
        // spent blocked on a full terminal is not made up with a burst.
        std::uint64_t bytes = out.size() - before;
        std::uint64_t now = mono_us();
        next_frame_us = (next_frame_us > now ? next_frame_us : now) + bytes * 10u * 1000000u / opt.baud;
    }
}

int open_terminal(int& keep_slave, std::string& path)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    char name[128];
    if (ptsname_r(master, name, sizeof(name)) != 0)
        return -1;
    path = name;
    // Our own descriptor of the far end keeps the terminal alive between the
    // driver's sessions (no hang-up on the master) and carries the raw
    // settings, so data passes unchanged even where the driver cannot set
    // the line up itself.
    keep_slave = open(name, O_RDWR | O_NOCTTY);
    if (keep_slave < 0)
        return -1;
    termios t;
    if (tcgetattr(keep_slave, &t) != 0)
        return -1;
    cfmakeraw(&t);
    if (tcsetattr(keep_slave, TCSANOW, &t) != 0)
        return -1;
    int fl = fcntl(master, F_GETFL);
    if (fl < 0 || fcntl(master, F_SETFL, fl | O_NONBLOCK) != 0)
        return -1;
    return master;
}

}  // namespace

int main(int argc, char** argv)
{
    open_std_fds();
    parse_options(argc, argv);

    int slave = -1;
    std::string path;
    int master = open_terminal(slave, path);
    if (master < 0) {
        std::perror("zorlan_sim: pseudo-terminal");
        return 1;
    }
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);

    wire::FrameReader reader;
    wire::Frame frame;
    for (;;) {
        // Make the next measurement frame once the previous one is out.
        int wait_ms = -1;
        if (streaming && out.empty()) {
            std::uint64_t now = mono_us();
            if (!opt.pace || now >= next_frame_us)
                queue_nodes();
            else
                wait_ms = static_cast<int>((next_frame_us - now + 999) / 1000);
        }

        pollfd p{master, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
        int r = poll(&p, 1, out.empty() ? wait_ms : -1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::perror("zorlan_sim: poll");
            return 1;
        }
        if ((p.revents & (POLLERR | POLLNVAL)) && !(p.revents & POLLIN)) {
            std::fprintf(stderr, "zorlan_sim: terminal failed\n");
            return 1;
        }
        if (p.revents & POLLIN) {
            ssize_t n = read(master, reader.space(), reader.space_size());
            if (n > 0) {
                reader.commit(static_cast<std::size_t>(n));
                while (reader.next(frame))
                    answer(frame);
            }
        }
        if ((p.revents & POLLOUT) && !out.empty()) {
            ssize_t n = write(master, out.data(), out.size());
            if (n > 0)
                out.erase(0, static_cast<std::size_t>(n));
        }
    }
}
