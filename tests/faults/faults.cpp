#include "faults.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace faults {

Scratch::Scratch()
{
    char tmpl[] = "/tmp/faults.XXXXXX";
    const char* p = ::mkdtemp(tmpl);
    path_ = p ? p : "";
}

Scratch::~Scratch()
{
    if (path_.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

SpawnOptions Injection::options(SpawnOptions o) const
{
    const std::string preload = std::string("LD_PRELOAD=") + FAULTSHIM_BIN;
    o.env.push_back(under_emulator() ? "QEMU_SET_ENV=" + preload : preload);
    o.env.push_back("FAULT_CALL=" + fault_.call);
    o.env.push_back("FAULT_NTH=" + std::to_string(fault_.nth));
    o.env.push_back("FAULT_COUNT=" + (fault_.count == 0 ? std::string("all") : std::to_string(fault_.count)));
    o.env.push_back("FAULT_ERRNO=" + fault_.error);
    if (fault_.short_len >= 0)
        o.env.push_back("FAULT_SHORT=" + std::to_string(fault_.short_len));
    o.env.push_back("FAULT_LOG=" + dir_.file("log"));
    // A sanitized program insists on its runtime coming first among the
    // libraries; the preloaded library comes before it, and passes every
    // call on to it, so the check is switched off.
    const char* asan = std::getenv("ASAN_OPTIONS");
    o.env.push_back(std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                    "verify_asan_link_order=0");
    return o;
}

int Injection::hits() const
{
    std::ifstream in(dir_.file("log"));
    int n = 0;
    std::string line;
    while (std::getline(in, line))
        n += line.rfind(fault_.call + " ", 0) == 0;
    return n;
}

bool Injection::wait_hits(int n, milliseconds t) const
{
    // The log is a file the program appends to: there is nothing to block
    // on, so it is looked at again every few milliseconds.
    const Deadline d = after(t);
    while (hits() < n) {
        if (Clock::now() >= d)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

std::string field_line(const std::string& text, const std::string& key)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.rfind(key + "=", 0) == 0)
            return line;
    }
    return "";
}

std::string await_line(Process& p, const std::string& key, milliseconds t)
{
    const Deadline d = after(t);
    const std::string start = "\n" + key + "=";
    for (;;) {
        const std::string out = "\n" + p.output();
        const size_t at = out.find(start);
        if (at != std::string::npos && out.find('\n', at + 1) != std::string::npos)
            return field_line(out.substr(at + 1), key);
        if (Clock::now() >= d)
            return "";
        // A needle that never comes: gathers output for up to 10 ms. When it
        // returns sooner with nothing new, the output has ended.
        const size_t had = p.output().size() + p.errors().size();
        const auto t0 = Clock::now();
        p.wait_output(std::string(1, '\0'), milliseconds(10));
        if (p.output().size() + p.errors().size() == had && Clock::now() - t0 < milliseconds(10))
            return "";
    }
}

long long field(const std::string& line, const std::string& key, long long fallback)
{
    const std::string k = key + "=";
    size_t at = line.rfind(k, 0) == 0 ? 0 : line.find(" " + k);
    if (at == std::string::npos)
        return fallback;
    at += at == 0 ? k.size() : k.size() + 1;
    char* end = nullptr;
    const long long v = std::strtoll(line.c_str() + at, &end, 10);
    return end == line.c_str() + at ? fallback : v;
}

}  // namespace faults
