// talkhub@PORT.service on the board: needs root and systemd as PID 1.
#include "sockets.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace testsupport;

namespace {

struct Outcome {
    std::optional<int> code;
    std::string out;
};

// Runs one of the board's own commands (systemctl, journalctl) to its end.
Outcome run(const std::vector<std::string>& argv)
{
    SpawnOptions o;
    o.host_program = true;
    o.env = {"LC_ALL=C", "SYSTEMD_PAGER=", "SYSTEMD_COLORS=0"};
    Process p = Process::start(argv, o);
    const std::optional<int> code = p.wait_exit_code(timeout(milliseconds(30000)));
    return {code, p.output() + p.errors()};
}

std::string property(const std::string& unit, const std::string& name)
{
    std::string v = run({"systemctl", "show", "--property=" + name, "--value", unit}).out;
    return v.substr(0, v.find('\n'));
}

std::string status_field(const std::string& pid, const std::string& name)
{
    std::ifstream f("/proc/" + pid + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

class TalkhubService : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::is_directory("/run/systemd/system"))
            GTEST_SKIP() << "systemd is not PID 1 here: the service cannot be started";
        if (::geteuid() != 0)
            GTEST_SKIP() << "starting a system service needs root";
        port = free_tcp_port();
        ASSERT_NE(port, 0);
        unit = "talkhub@" + std::to_string(port) + ".service";
    }

    void TearDown() override
    {
        if (!unit.empty()) {
            run({"systemctl", "disable", "--now", unit});
            run({"systemctl", "reset-failed", unit});
        }
    }

    uint16_t port = 0;
    std::string unit;
};

}  // namespace

TEST_F(TalkhubService, RelaysAndLogsToTheJournalComesBackAfterAKillAndStops)
{
    const Outcome enable = run({"systemctl", "enable", "--now", unit});
    ASSERT_EQ(enable.code, 0) << enable.out;
    ASSERT_TRUE(wait_listening(port, after(timeout()))) << run({"systemctl", "status", unit}).out;
    EXPECT_EQ(property(unit, "UnitFileState"), "enabled");
    const std::string first = property(unit, "MainPID");
    ASSERT_NE(first, "0");

    EXPECT_NE(std::stol("0" + status_field(first, "Uid")), 0) << status_field(first, "Uid");
    EXPECT_EQ(status_field(first, "CapEff"), "0000000000000000");

    // A client is in the relay's table once the journal names it.
    const std::string journal = "_SYSTEMD_INVOCATION_ID=" + property(unit, "InvocationID");
    Fd a = connect_tcp(port, after(timeout()));
    Fd b = connect_tcp(port, after(timeout()));
    ASSERT_TRUE(a && b);
    std::string log;
    EXPECT_TRUE(poll_until([&] {
        log = run({"journalctl", "--no-pager", "-o", "cat", journal}).out;
        return count_lines(log, "Connected Client IP: 127.0.0.1") == 2;
    }, after(timeout()), milliseconds(100))) << log;
    ASSERT_TRUE(write_all(a.get(), "hello from a"));
    EXPECT_EQ(read_until(b.get(), 12, after(timeout())), "hello from a");
    ASSERT_TRUE(write_all(b.get(), "and from b"));
    EXPECT_EQ(read_until(a.get(), 12 + 10, after(timeout())), "hello from aand from b");

    // A kill -9 is a failure: systemd starts it again, listening anew.
    ASSERT_EQ(::kill(std::stoi(first), SIGKILL), 0);
    EXPECT_TRUE(read_until(a.get(), kEnd, after(timeout())));
    std::string again;
    EXPECT_TRUE(poll_until([&] {
        again = property(unit, "MainPID");
        return again != "0" && again != first;
    }, after(timeout()), milliseconds(100))) << run({"systemctl", "status", unit}).out;
    EXPECT_EQ(property(unit, "NRestarts"), "1");
    ASSERT_TRUE(wait_listening(port, after(timeout())));
    Fd c = connect_tcp(port, after(timeout()));
    ASSERT_TRUE(c);
    ASSERT_TRUE(write_all(c.get(), "back"));
    EXPECT_EQ(read_until(c.get(), 4, after(timeout())), "back");

    // systemctl stop ends it cleanly: no restart, the port closed.
    const Outcome stop = run({"systemctl", "stop", unit});
    EXPECT_EQ(stop.code, 0) << stop.out;
    EXPECT_TRUE(read_until(c.get(), kEnd, after(timeout())));
    EXPECT_EQ(property(unit, "ActiveState"), "inactive");
    EXPECT_EQ(property(unit, "MainPID"), "0");
    EXPECT_FALSE(wait_listening(port, after(milliseconds(500))));

    const Outcome disable = run({"systemctl", "disable", unit});
    EXPECT_EQ(disable.code, 0) << disable.out;
    EXPECT_EQ(property(unit, "UnitFileState"), "disabled");
}

TEST(InstalledPackage, ManFindsEveryPage)
{
    const std::vector<std::pair<const char*, const char*>> pages{
        {"1", "talkhub"}, {"1", "parrot"}, {"1", "scangrab"}, {"1", "zorlan_sim"},
        {"1", "reapall"}, {"1", "reapfast"}, {"1", "reapblock"}, {"1", "childnote"},
        {"1", "fifotap"}, {"1", "fifokbd"}, {"1", "coinalarm"}, {"1", "spawnls"},
        {"3", "portwire"}, {"3", "serial"}, {"3", "serial_mangled"}, {"3", "zorlan_driver"}};
    if (!std::filesystem::exists("/usr/bin/man"))
        GTEST_SKIP() << "no man on this system (apt-get install man-db)";
    for (const auto& [section, name] : pages) {
        const Outcome o = run({"man", "-w", section, name});
        EXPECT_EQ(o.code, 0) << name << ": " << o.out;
        // A page that only points to another (.so) is found as that one.
        EXPECT_EQ(o.out.rfind(std::string("/usr/share/man/man") + section + "/", 0), 0u) << name << ": " << o.out;
    }
}
