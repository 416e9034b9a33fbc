#include "proctest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace proctest {

namespace {

// Output that no program under test prints: waiting for it reads on until
// the deadline or the end of the output.
const std::string never = "\x01\x02\x03";

bool is_count(const std::string& s)
{
    return !s.empty() && s.size() < 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::string t = strip_cr(text);
    size_t start = 0;
    for (size_t nl; (nl = t.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(t.substr(start, nl - start));
    return out;
}

bool wait_for(Process& p, const std::function<bool(const std::vector<std::string>&)>& done,
              milliseconds t)
{
    Deadline d = after(t);
    for (;;) {
        if (done(lines_of(p.output())))
            return true;
        if (Clock::now() >= d)
            return false;
        // Returns early only at the end of the output.
        Deadline step = after(milliseconds(50));
        p.wait_output(never, milliseconds(50));
        if (Clock::now() < step)
            return done(lines_of(p.output()));
    }
}

void drain(Process& p, milliseconds t) { p.wait_output(never, t); }

pid_t child_of(pid_t pid, milliseconds t)
{
    std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    Deadline d = after(t);
    for (;;) {
        std::ifstream f(path);
        long child = -1;
        if (f >> child)
            return static_cast<pid_t>(child);
        if (Clock::now() >= d)
            return -1;
        std::this_thread::sleep_for(milliseconds(10));  // polls /proc, bounded by d
    }
}

char proc_state(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all;
    if (!std::getline(f, all))
        return 0;
    // "pid (comm) S ...": the name may hold blanks and parentheses.
    size_t close = all.rfind(')');
    if (close == std::string::npos || close + 2 >= all.size())
        return 0;
    return all[close + 2];
}

namespace {

// Polls the state of pid in /proc until `done` holds for it or the deadline.
bool poll_state(pid_t pid, const std::function<bool(char)>& done, milliseconds t)
{
    Deadline d = after(t);
    while (!done(proc_state(pid))) {
        if (Clock::now() >= d)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

}  // namespace

bool wait_state(pid_t pid, char state, milliseconds t)
{
    return poll_state(pid, [state](char s) { return s == state; }, t);
}

bool wait_ended(pid_t pid, milliseconds t)
{
    return poll_state(pid, [](char s) { return s == 0 || s == 'Z'; }, t);
}

std::vector<std::string> CountRun::other_texts() const
{
    std::vector<std::string> out;
    for (const auto& o : others)
        out.push_back(o.second);
    return out;
}

CountRun split_count(const std::vector<std::string>& lines)
{
    CountRun run;
    for (const auto& l : lines) {
        if (is_count(l)) {
            if (std::stoi(l) != run.last + 1)
                run.in_order = false;
            run.last = std::stoi(l);
        } else {
            run.others.emplace_back(run.last, l);
        }
    }
    return run;
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/proctools-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    else
        path_ = tmpl;
}

TempDir::~TempDir()
{
    if (path_.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace proctest
