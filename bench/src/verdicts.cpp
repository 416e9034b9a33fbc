// verdicts DIR: the goals of the benchmarks checked against the CSVs of a run, a line a goal in DIR/summary.md with
// the figures it compares: met, missed, a tie (the medians miss, the ranges of the repeats overlap) or n/a (not
// measured); and DIR/armhf_ratios.csv, the ratios to the bare loops under qemu-arm and on the host (no goal).

#include <cmath>

#include "benchlib.h"

static std::string dir;
static FILE* out;

// The cells of DIR/name.csv, the header first; none when it is absent.
static std::vector<std::vector<std::string>> load(const std::string& name)
{
    std::vector<std::vector<std::string>> t;
    std::ifstream in(dir + "/" + name + ".csv");
    for (std::string line; std::getline(in, line);) {
        std::stringstream cells(line);
        t.emplace_back();
        for (std::string cell; std::getline(cells, cell, ',');)
            t.back().push_back(cell);
    }
    return t;
}

// Column col of the first row of file whose columns match where ("server=ncat clients=16"); NaN when there is none.
static double v(const std::string& file, const std::string& col, const std::string& where)
{
    const std::vector<std::vector<std::string>> t = load(file);
    auto at = [&](size_t r, const std::string& c) {
        size_t i = (size_t)(std::find(t[0].begin(), t[0].end(), c) - t[0].begin());
        return i < t[r].size() ? t[r][i] : std::string("\n");
    };
    for (size_t r = 1; r < t.size(); r++) {
        bool ok = at(r, col) != "\n";
        std::stringstream ss(where);
        for (std::string kv; ok && ss >> kv;)
            ok = at(r, kv.substr(0, kv.find('='))) == kv.substr(kv.find('=') + 1);
        if (ok)
            return strtod(at(r, col).c_str(), nullptr);
    }
    return NAN;
}

// One verdict line: the figures take the places of the #s in shown.
static void goal(const std::string& what, bool met, bool tie, const std::string& shown, std::vector<double> figures)
{
    std::string s;
    for (size_t i = 0, k = 0; i < shown.size(); i++)
        s += shown[i] == '#' ? fmt(figures[k++]) : shown.substr(i, 1);
    bool na = std::any_of(figures.begin(), figures.end(), [](double x) { return std::isnan(x); });
    fprintf(out, "- %s: %s (%s)\n", what.c_str(),
            na ? "n/a" : met ? "met" : tie ? "tie (within the spread of the repeats)" : "**missed**", s.c_str());
}

int main(int argc, char** argv)
{
    if (argc != 2 || !(out = fopen((std::string(argv[1]) + "/summary.md").c_str(), "w")))
        die("usage: verdicts DIR (a folder to write summary.md in)");
    dir = argv[1];
    fprintf(out, "# Benchmark goals\n\nFrom the CSVs in this folder (medians of the repeats), by bench/src/verdicts.cpp.\n");
    const std::vector<std::string> counts = {"16", "64", "256"};
    fprintf(out, "\n## 1. talkhub, chat lines, clients that acknowledge at once\n\n");
    for (const std::string& n : counts) {
        std::string t = "server=talkhub rate=0 clients=" + n, k = "server=ncat rate=0 clients=" + n;
        double tr = v("chat", "deliveries_per_s", t), kr = v("chat", "deliveries_per_s", k);
        double tp = v("chat", "lat_p99_us", t), kp = v("chat", "lat_p99_us", k);
        goal(n + " clients flat out, rate at least ncat's and p99 at most ncat's", tr >= kr && tp <= kp,
             v("chat", "deliveries_per_s_max", t) >= v("chat", "deliveries_per_s_min", k) &&
                 v("chat", "lat_p99_us_min", t) <= v("chat", "lat_p99_us_max", k),
             "lines/s # / #, p99 µs # / #", {tr, kr, tp, kp});
    }
    for (const std::string& n : counts) {
        double tp = v("chat", "lat_p99_us", "server=talkhub rate=50 clients=" + n);
        double kp = v("chat", "lat_p99_us", "server=ncat rate=50 clients=" + n);
        goal(n + " clients at 50 lines/s, p99 at most ncat's", tp <= kp, false, "p99 µs # / #", {tp, kp});
    }
    fprintf(out, "\n## 1b. talkhub, chat lines at 50 lines/s, ordinary clients\n\n");
    for (const std::string& n : counts) {
        double tp = v("chat_ordinary", "lat_p50_us", "server=talkhub clients=" + n);
        double kp = v("chat_ordinary", "lat_p50_us", "server=ncat clients=" + n);
        if (n == "16")
            goal("16 clients, p50 at most 1 ms", tp <= 1000, false, "p50 # µs", {tp});
        goal(n + " clients, p50 at most 0.1 times ncat's", tp <= 0.1 * kp, false, "p50 µs # / #, ratio #",
             {tp, kp, tp / kp});
    }
    fprintf(out, "\n## 2b. talkhub, bulk over a 1500-byte MTU\n\n");
    for (const std::string& n : counts) {
        double tc = v("bulk_mtu", "cpu_ms_per_MB", "server=talkhub clients=" + n);
        double bc = v("bulk_mtu", "cpu_ms_per_MB", "server=bare_relay clients=" + n);
        goal(n + " clients, CPU per MB at most 0.9 times the bare loop's", tc <= 0.9 * bc, false, "ms/MB # / #, ratio #",
             {tc, bc, tc / bc});
    }
    fprintf(out, "\n## 3. talkhub memory with 256 clients\n\n");
    double vs = v("memory", "vm_size_kib", "server=talkhub") / 1024, rs = v("memory", "vm_rss_kib", "server=talkhub") / 1024;
    double ks = v("memory", "vm_rss_kib", "server=ncat") / 1024;
    goal("virtual size at most 24 MiB", vs <= 24, false, "# MiB", {vs});
    goal("resident size below ncat's", rs < ks, false, "MiB # / #", {rs, ks});
    fprintf(out, "\n## 4. parrot\n\n");
    double pc = v("parrot", "cpu_ms_per_MB", "server=parrot"), pmin = v("parrot", "cpu_ms_per_MB_min", "server=parrot");
    double bc = v("parrot", "cpu_ms_per_MB", "server=bare_echo"), sc = v("parrot", "cpu_ms_per_MB", "server=socat");
    goal("CPU per MB within 10% of the bare loop's", pc <= 1.1 * bc,
         pmin <= 1.1 * v("parrot", "cpu_ms_per_MB_max", "server=bare_echo"), "ms/MB # / #", {pc, bc});
    goal("CPU per MB below socat's", pc < sc, pmin < v("parrot", "cpu_ms_per_MB_max", "server=socat"), "ms/MB # / #",
         {pc, sc});
    fprintf(out, "\n## 5. portwire waits\n\n");
    for (std::string baud : {"115200", "921600"})
        for (std::string want : {"100", "600", "4000"}) {
            std::string c = " baud=" + baud + " want=" + want, w = baud + " baud, " + want + " bytes";
            std::string p10 = "impl=portwire bits=10" + c, p8 = "impl=portwire bits=8" + c;
            double m10 = v("waits", "passes_max", p10), m8 = v("waits", "passes_max", p8);
            double l10 = v("waits", "late_ms_max", p10), l8 = v("waits", "late_ms_max", p8);
            double est = v("waits", "estimate_ms", p10), cp = v("waits", "cpu_us_median", p10);
            double cn = v("waits", "cpu_us_median", "impl=naive" + c);
            goal(w + ", at most 4 passes, 10-bit line", m10 <= 4, false, "max #", {m10});
            goal(w + ", at most 4 passes, 8-bit line", m8 <= 4, false, "max #", {m8});
            goal(w + ", late by at most the estimate plus 2 ms", l10 <= est + 2 && l8 <= est + 2, false,
                 "max ms # (10-bit) / # (8-bit), estimate #", {l10, l8, est});
            goal(w + ", CPU at most 0.25 times the naive wait's", cp <= 0.25 * cn, false, "µs # / #, ratio #",
                 {cp, cn, cp / cn});
        }
    fprintf(out, "\n## 5b. portwire waits on a line gone quiet part-way\n\n");
    for (std::string baud : {"115200", "4000000"})
        for (std::string want : {"2", "100"}) {
            double cpu = v("waits_quiet", "cpu_percent_max", "baud=" + baud + " want=" + want);
            goal(baud + " baud, " + want + " bytes wanted, CPU at most 1% of a core", cpu <= 1, false, "max #%", {cpu});
        }
    fprintf(out, "\n## 6. Footprint on the board\n\n");
    for (const auto& row : load("footprint"))
        if (row.size() >= 6 && row[1] == "program") {
            double size = strtod(row[2].c_str(), nullptr), limit = row[0] == "scangrab" ? 32768 : 16384;
            goal(row[0] + ", at most " + fmt(limit) + " bytes stripped, no C++ runtime unless it uses it",
                 size <= limit && !(row[4] == "yes" && row[5] == "no"), false, "# bytes, needs " + row[3], {size});
        }
    // Reported, no goal. The CSV is made with the first ratio, so that no plot is drawn without one.
    fprintf(out, "\n## 7. armhf under qemu-arm: ratios to the bare loops built the same way (armhf / host)\n\n");
    const std::string ratios_csv = dir + "/armhf_ratios.csv";
    FILE* ratios = nullptr;
    remove(ratios_csv.c_str());
    auto ratio = [&](const std::string& label, const std::string& file, const std::string& col, const std::string& b,
                     const std::string& where) {
        std::string a = "server=" + std::string(file == "parrot" ? "parrot" : "talkhub") + where;
        double ra = v("armhf_" + file, col, a) / v("armhf_" + file, col, "server=" + b + where);
        double rh = v(file, col, a) / v(file, col, "server=" + b + where);
        if (std::isnan(ra))
            return;
        if (!ratios && !(ratios = fopen(ratios_csv.c_str(), "w")))
            die("cannot write %s", ratios_csv.c_str());
        fprintf(ratios, "%s%s,%.3f,%.3f\n", ftell(ratios) ? "" : "measure,armhf,host\n", label.c_str(), ra, rh);
        fprintf(out, "- %s: %.2f / %.2f\n", label.c_str(), ra, rh);
    };
    for (const std::string& n : counts)
        ratio("chat rate " + n, "chat", "deliveries_per_s", "bare_relay", " rate=0 clients=" + n);
    for (const std::string& n : counts)
        ratio("chat p99 " + n, "chat", "lat_p99_us", "bare_relay", " rate=0 clients=" + n);
    for (const std::string& n : counts)
        ratio("bulk CPU/MB " + n, "bulk", "cpu_ms_per_MB", "bare_relay", " clients=" + n);
    for (const std::string& n : counts)
        ratio("bulk CPU/MB to bare+ND " + n, "bulk", "cpu_ms_per_MB", "bare_relay_nodelay", " clients=" + n);
    ratio("RSS 256", "memory", "vm_rss_kib", "bare_relay", "");
    ratio("echo CPU/MB", "parrot", "cpu_ms_per_MB", "bare_echo", "");
    if (ratios)
        fclose(ratios);
    fclose(out);
    return 0;
}
