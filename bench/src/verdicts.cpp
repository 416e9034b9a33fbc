// verdicts: the goals of the benchmarks, checked against the CSVs of a run.
// Writes DIR/summary.md, one line a goal with its verdict and the figures it
// compares, and DIR/armhf_ratios.csv, the ratios to the bare loops under
// qemu-arm and on the host (reported, no goal; plotted).
//
//   verdicts DIR
//
// A verdict is met, missed, a tie (the medians miss, the ranges of the
// repeats overlap) or n/a (not measured in this run).

#include <cmath>
#include <fstream>
#include <sstream>

#include "benchlib.h"

namespace {

std::string dir;
FILE* out;

struct Table {
    std::vector<std::string> head;
    std::vector<std::vector<std::string>> rows;
};

const Table& load(const std::string& name)
{
    static std::map<std::string, Table> tables;
    if (tables.count(name))
        return tables[name];
    Table& t = tables[name];
    std::ifstream in(dir + "/" + name + ".csv");
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string cell; std::getline(ss, cell, ',');)
            cells.push_back(cell);
        if (t.head.empty())
            t.head = cells;
        else
            t.rows.push_back(cells);
    }
    return t;
}

// Column col of the row of file whose columns match where ("server=ncat
// clients=16"), the first such row; NaN when there is none.
double v(const std::string& file, const std::string& col, const std::string& where)
{
    const Table& t = load(file);
    auto index = [&](const std::string& c) { return std::find(t.head.begin(), t.head.end(), c) - t.head.begin(); };
    for (const auto& row : t.rows) {
        bool ok = row.size() == t.head.size();
        std::stringstream ss(where);
        for (std::string kv; ok && ss >> kv;) {
            size_t i = (size_t)index(kv.substr(0, kv.find('=')));
            ok = i < row.size() && row[i] == kv.substr(kv.find('=') + 1);
        }
        size_t i = (size_t)index(col);
        if (ok && i < row.size())
            return strtod(row[i].c_str(), nullptr);
    }
    return NAN;
}

// One verdict line; n/a when a figure is missing.
void goal(const std::string& what, bool met, bool tie, std::vector<double> figures, const std::string& shown)
{
    bool na = std::any_of(figures.begin(), figures.end(), [](double x) { return std::isnan(x); });
    const char* verdict = na ? "n/a" : met ? "met" : tie ? "tie (within the spread of the repeats)" : "**missed**";
    fprintf(out, "- %s: %s (%s)\n", what.c_str(), verdict, shown.c_str());
}

std::string f(double x) { return bench::fmt(x); }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        bench::die("usage: verdicts DIR");
    dir = argv[1];
    out = fopen((dir + "/summary.md").c_str(), "w");
    if (!out)
        bench::die("cannot write %s/summary.md", dir.c_str());
    fprintf(out, "# Benchmark goals\n\nFrom the CSVs in this folder (medians of the repeats) by bench/src/verdicts.cpp.\n");
    const int counts[] = {16, 64, 256};

    fprintf(out, "\n## 1. talkhub, chat lines, clients that acknowledge at once\n\n");
    for (int n : counts) {
        std::string c = " clients=" + std::to_string(n) + " rate=0 quickack=1", t = "server=talkhub" + c, k = "server=ncat" + c;
        double tr = v("chat", "deliveries_per_s", t), kr = v("chat", "deliveries_per_s", k);
        double tp = v("chat", "lat_p99_us", t), kp = v("chat", "lat_p99_us", k);
        goal(std::to_string(n) + " clients flat out, rate at least ncat's and p99 at most ncat's", tr >= kr && tp <= kp,
             v("chat", "deliveries_per_s_max", t) >= v("chat", "deliveries_per_s_min", k) &&
                 v("chat", "lat_p99_us_min", t) <= v("chat", "lat_p99_us_max", k),
             {tr, kr, tp, kp}, "lines/s " + f(tr) + " / " + f(kr) + ", p99 µs " + f(tp) + " / " + f(kp));
    }
    for (int n : counts) {
        std::string c = " clients=" + std::to_string(n) + " rate=50";
        double tp = v("chat", "lat_p99_us", "server=talkhub" + c), kp = v("chat", "lat_p99_us", "server=ncat" + c);
        goal(std::to_string(n) + " clients at 50 lines/s, p99 at most ncat's", tp <= kp, false, {tp, kp},
             "p99 µs " + f(tp) + " / " + f(kp));
    }

    fprintf(out, "\n## 1b. talkhub, chat lines at 50 lines/s, ordinary clients\n\n");
    for (int n : counts) {
        std::string c = " clients=" + std::to_string(n);
        double tp = v("chat_ordinary", "lat_p50_us", "server=talkhub" + c);
        double kp = v("chat_ordinary", "lat_p50_us", "server=ncat" + c);
        if (n == 16)
            goal("16 clients, p50 at most 1 ms", tp <= 1000, false, {tp}, "p50 " + f(tp) + " µs");
        goal(std::to_string(n) + " clients, p50 at most 0.1 times ncat's", tp <= 0.1 * kp, false, {tp, kp},
             "p50 µs " + f(tp) + " / " + f(kp) + ", ratio " + f(tp / kp));
    }

    fprintf(out, "\n## 2b. talkhub, bulk over a 1500-byte MTU\n\n");
    for (int n : counts) {
        std::string c = " clients=" + std::to_string(n);
        double tc = v("bulk_mtu", "cpu_ms_per_MB", "server=talkhub" + c);
        double bc = v("bulk_mtu", "cpu_ms_per_MB", "server=bare_relay" + c);
        goal(std::to_string(n) + " clients, CPU per MB at most 0.9 times the bare loop's", tc <= 0.9 * bc, false,
             {tc, bc}, "ms/MB " + f(tc) + " / " + f(bc) + ", ratio " + f(tc / bc));
    }

    fprintf(out, "\n## 3. talkhub memory with 256 clients\n\n");
    double vs = v("memory", "vm_size_kib", "server=talkhub"), rs = v("memory", "vm_rss_kib", "server=talkhub");
    double nr = v("memory", "vm_rss_kib", "server=ncat");
    goal("virtual size at most 24 MiB", vs <= 24 * 1024, false, {vs}, f(vs / 1024) + " MiB");
    goal("resident size below ncat's", rs < nr, false, {rs, nr}, "MiB " + f(rs / 1024) + " / " + f(nr / 1024));

    fprintf(out, "\n## 4. parrot\n\n");
    double pc = v("parrot", "cpu_ms_per_MB", "server=parrot"), bc = v("parrot", "cpu_ms_per_MB", "server=bare_echo");
    double sc = v("parrot", "cpu_ms_per_MB", "server=socat"), pmin = v("parrot", "cpu_ms_per_MB_min", "server=parrot");
    goal("CPU per MB within 10% of the bare loop's", pc <= 1.1 * bc,
         pmin <= 1.1 * v("parrot", "cpu_ms_per_MB_max", "server=bare_echo"), {pc, bc},
         "ms/MB " + f(pc) + " / " + f(bc));
    goal("CPU per MB below socat's", pc < sc, pmin < v("parrot", "cpu_ms_per_MB_max", "server=socat"), {pc, sc},
         "ms/MB " + f(pc) + " / " + f(sc));

    fprintf(out, "\n## 5. portwire waits (10-bit line / 8-bit line)\n\n");
    for (const char* baud : {"115200", "921600"})
        for (const char* want : {"100", "600", "4000"}) {
            std::string c = std::string(" baud=") + baud + " want=" + want, w = std::string(baud) + " baud, " + want + " bytes";
            std::string p10 = "impl=portwire bits=10" + c, p8 = "impl=portwire bits=8" + c;
            double m10 = v("waits", "passes_max", p10), m8 = v("waits", "passes_max", p8);
            double l10 = v("waits", "late_ms_max", p10), l8 = v("waits", "late_ms_max", p8);
            double est = v("waits", "estimate_ms", p10), cp = v("waits", "cpu_us_median", p10);
            double cn = v("waits", "cpu_us_median", "impl=naive" + c);
            goal(w + ", at most 4 passes, 10-bit line", m10 <= 4, false, {m10}, "max " + f(m10));
            goal(w + ", at most 4 passes, 8-bit line", m8 <= 4, false, {m8}, "max " + f(m8));
            goal(w + ", late by at most the estimate plus 2 ms", l10 <= est + 2 && l8 <= est + 2, false, {l10, l8, est},
                 "max ms " + f(l10) + " / " + f(l8) + ", estimate " + f(est));
            goal(w + ", CPU at most 0.25 times the naive wait's", cp <= 0.25 * cn, false, {cp, cn},
                 "µs " + f(cp) + " / " + f(cn) + ", ratio " + f(cp / cn));
        }

    fprintf(out, "\n## 5b. portwire waits on a line gone quiet part-way\n\n");
    for (const char* baud : {"115200", "4000000"})
        for (const char* want : {"2", "100"}) {
            double cpu = v("waits_quiet", "cpu_percent_max", std::string("baud=") + baud + " want=" + want);
            goal(std::string(baud) + " baud, " + want + " bytes wanted, CPU at most 1% of a core", cpu <= 1, false,
                 {cpu}, "max " + f(cpu) + "%");
        }

    fprintf(out, "\n## 6. Footprint on the board\n\n");
    const Table& fp = load("footprint");
    for (const auto& row : fp.rows) {
        if (row.size() < 7 || row[1] != "program")
            continue;
        double size = strtod(row[2].c_str(), nullptr), limit = row[0] == "scangrab" ? 32768 : 16384;
        bool cxx_unused = row[4] == "yes" && row[5] == "no";
        goal(row[0] + ", at most " + f(limit) + " bytes stripped and no C++ runtime unless it uses it",
             size <= limit && !cxx_unused, false, {size}, f(size) + " bytes, needs " + row[3]);
    }

    // Ratios of talkhub and parrot to the bare loops, built for armhf under
    // qemu-arm and on the host: reported, and drawn from armhf_ratios.csv.
    FILE* ratios = fopen((dir + "/armhf_ratios.csv").c_str(), "w");
    fprintf(ratios, "measure,armhf,host\n");
    fprintf(out, "\n## 7. armhf under qemu-arm: ratios to the bare loops built the same way (armhf / host)\n\n");
    auto ratio = [&](const std::string& label, const std::string& file, const std::string& col, const std::string& a,
                     const std::string& b, const std::string& where) {
        double ra = v("armhf_" + file, col, "server=" + a + where) / v("armhf_" + file, col, "server=" + b + where);
        double rh = v(file, col, "server=" + a + where) / v(file, col, "server=" + b + where);
        if (std::isnan(ra))
            return;
        fprintf(ratios, "%s,%.3f,%.3f\n", label.c_str(), ra, rh);
        fprintf(out, "- %s: %.2f / %.2f\n", label.c_str(), ra, rh);
    };
    for (int n : counts)
        ratio("chat rate " + std::to_string(n), "chat", "deliveries_per_s", "talkhub", "bare_relay",
              " rate=0 clients=" + std::to_string(n));
    for (int n : counts)
        ratio("chat p99 " + std::to_string(n), "chat", "lat_p99_us", "talkhub", "bare_relay",
              " rate=0 clients=" + std::to_string(n));
    for (int n : counts)
        ratio("bulk CPU/MB " + std::to_string(n), "bulk", "cpu_ms_per_MB", "talkhub", "bare_relay",
              " clients=" + std::to_string(n));
    for (int n : counts)
        ratio("bulk CPU/MB to bare+ND " + std::to_string(n), "bulk", "cpu_ms_per_MB", "talkhub",
              "bare_relay_nodelay", " clients=" + std::to_string(n));
    ratio("RSS 256", "memory", "vm_rss_kib", "talkhub", "bare_relay", "");
    ratio("echo CPU/MB", "parrot", "cpu_ms_per_MB", "parrot", "bare_echo", "");
    fclose(ratios);
    fclose(out);
    return 0;
}
