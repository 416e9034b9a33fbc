// A case Transcript.NAME for each NAME.txt in the transcripts folder; the format is in doc/testing.md.
#include "faults.h"
#include "sockets.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

using namespace testsupport;

namespace {

struct Dialogue {
    int line = 0;
    std::vector<std::string> argv, sh;
    SpawnOptions opts;
    std::vector<std::pair<std::string, std::string>> steps;  // ?, < or NAME<, and the text
    std::string out, err;
    std::map<std::string, std::string> files;
    std::optional<Fault> fault;
    int hits = -1, status = 0, after = 0;
    bool running = false, least = false;
};

// The text of s with its escapes replaced, and a newline unless a backslash ends it.
bool unescape(const std::string& s, bool line, std::string& t)
{
    t.clear();
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\') {
            t += s[i];
        } else if (i + 1 == s.size() && line) {
            return true;
        } else if (s[i + 1] == '\\') {
            t += s[++i];
        } else if (s[i + 1] != 'x' || i + 3 >= s.size() || s.find_first_not_of("0123456789abcdefABCDEF", i + 2) < i + 4) {
            return false;
        } else {
            t += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        }
    }
    t += line ? "\n" : "";
    return true;
}

std::string parse(const std::string& path, std::vector<Dialogue>& runs)
{
    std::map<std::string, std::string> names = {{"port", std::to_string(free_tcp_port())}};
    for (const auto& [name, bin] : std::map<std::string, std::string>{TRANSCRIPT_PROGRAMS}) {
        names[name] = bin;
        names[name + "/"] = bin.substr(0, bin.rfind('/') + 1);
    }
    std::ifstream in(path);
    Dialogue base;
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        const std::string where = path + ":" + std::to_string(++n) + ": ";
        for (const auto& [name, value] : names)
            for (size_t at; (at = line.find("{" + name + "}")) != std::string::npos;)
                line.replace(at, name.size() + 2, value);
        const size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank), rest = blank == std::string::npos ? "" : line.substr(blank + 1);
        Dialogue& r = runs.empty() ? base : runs.back();
        std::string text;
        if (!unescape(rest, !key.empty() && (key.back() == '>' || key.back() == '<' || key == "?"), text))
            return where + "a backslash that is no escape (\\\\, \\xHH, or at the end)";
        std::istringstream words(text);
        if (key.empty() || key == "#") {
        } else if (key == "$") {
            runs.emplace_back(base).line = n;
            std::istringstream ws(rest);
            for (std::string w; ws >> w && unescape(w, false, text);)
                runs.back().argv.push_back(w == "''" ? "" : text);
        } else if (key == "env" || key == "sh") {
            (key == "env" ? r.opts.env : r.sh).push_back(text);
        } else if (key == "pty" || key == "running") {
            (key == "pty" ? r.opts.pty : r.running) = true;
        } else if (key == "fault") {
            Fault& f = r.fault.emplace();
            if (!(words >> f.call >> f.nth >> f.count >> f.error))
                return where + "fault CALL NTH COUNT ERRNO [SHORT]";
            if (!(words >> f.short_len))
                f.short_len = -1;
        } else if (key == "hits" || key == "exit" || key == "after") {
            if (!(words >> (key == "hits" ? r.hits : key == "exit" ? r.status : r.after)))
                return where + key + " wants a number";
            r.least = key == "hits" ? words.peek() == '+' : r.least;
        } else if (key == "file") {
            r.files[text];
        } else if (key.back() == '<' || key == "?") {
            r.steps.emplace_back(key, text);
        } else if (key == ">" || key == "2>" || r.files.count(key.substr(0, key.size() - 1))) {
            (key == ">" ? r.out : key == "2>" ? r.err : r.files[key.substr(0, key.size() - 1)]) += text;
        } else {
            return where + "no such line: " + key;
        }
    }
    return runs.empty() ? path + ": no run to read" : "";
}

void play(const std::string& path, const Dialogue& r)
{
    SCOPED_TRACE(path + ":" + std::to_string(r.line));
    if (r.fault && std::getenv("TOOLSET_TEST_WRAPPER"))
        return;  // as the *Fails suites: a checker's own start would meet the fault
    TempDir dir;
    SpawnOptions o = r.opts;
    o.cwd = dir.path();
    for (const std::string& command : r.sh)
        run_tool({"sh", "-c", "cd \"$0\" && " + command, dir.path()});
    std::optional<Injection> fault;
    if (r.fault)
        o = fault.emplace(*r.fault).options(o);
    Process p = Process::start(r.argv, o);
    auto out = [&] { return o.pty ? strip_cr(p.output()) : p.output(); };
    size_t from = 0;
    Deadline last_input = mono_ms();
    std::map<std::string, Fd> fifos;
    for (const auto& [key, text] : r.steps) {
        size_t at = 0;
        if (key != "?") {
            Fd& fifo = fifos[key];
            if (key != "<" && !fifo)
                fifo.reset(::open(dir.file(key.substr(0, key.size() - 1)).c_str(), O_RDWR | O_CLOEXEC));
            ASSERT_TRUE(write_all(key == "<" ? p.in() : fifo.get(), text)) << key;
            last_input = mono_ms();
            continue;
        }
        ASSERT_TRUE(p.read_until([&](const auto&) { return (at = out().find(text, from)) != std::string::npos; }, timeout()))
            << "waited for: " << text << "output: " << out() << p.errors();
        from = at + text.size();
    }
    if (!o.pty)
        p.close_input();
    if (r.running)
        EXPECT_TRUE(p.running()) << "ended";
    else
        EXPECT_EQ(p.wait_exit_code(timeout(milliseconds(20000))), r.status);  // a bound, never a pause
    EXPECT_GE(ms_since(last_input), r.after * 1000) << "ended early";
    EXPECT_EQ(out(), r.out);
    EXPECT_EQ(p.errors(), r.err);
    for (const auto& [name, text] : r.files) {
        std::ostringstream s;
        s << std::ifstream(dir.file(name)).rdbuf();
        EXPECT_EQ(s.str(), text) << name;
    }
    const int hits = fault ? fault->hits() : -1;
    EXPECT_TRUE(r.least ? hits >= r.hits : hits == r.hits) << hits << " faults struck";
}

struct Transcript : testing::Test {
    std::string path;
    explicit Transcript(std::string p) : path(std::move(p)) {}
    void TestBody() override
    {
        std::vector<Dialogue> runs;
        const std::string error = parse(path, runs);
        ASSERT_TRUE(error.empty()) << error;
        for (const Dialogue& r : runs)
            play(path, r);
    }
};

const bool registered = [] {
    namespace fs = std::filesystem;
    std::set<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(TRANSCRIPTS_DIR, ec))
        if (e.path().extension() == ".txt")
            files.insert(e.path());
    if (files.empty())
        files.emplace(std::string(TRANSCRIPTS_DIR) + "/none.txt");  // fails: nothing to read
    for (const fs::path& f : files)
        testing::RegisterTest("Transcript", f.stem().c_str(), nullptr, nullptr, __FILE__, __LINE__,
                              [f]() -> testing::Test* { return new Transcript(f.string()); });
    return true;
}();

}  // namespace
