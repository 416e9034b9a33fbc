# Plots of a benchmark run, drawn from its CSVs (the medians of the repeats):
#   gnuplot -e "dir='RESULTS_DIR'; out='PLOTS_DIR'" bench/plots.gp
term(h) = sprintf('set terminal svg size 1200,%d dynamic noenhanced font "sans,12" background "white"', h)
eval term(420)
set datafile separator ","; set datafile columnheaders; set datafile missing NaN
set grid; set key below
csv(f) = dir . "/" . f . ".csv"
have(f) = system("test -s '" . csv(f) . "' && echo 1") eq "1"
# Column c of the rows of server s (with rate r where the file has a rate); NaN elsewhere.
of(s, r, c) = strcol("server") eq s && (r < 0 || column("rate") == r) ? column(c) : NaN
# The servers of the line plots and how each is drawn; a panel: title, y label, servers, file, rate (-1: any), column.
name(s) = s eq "ncat" ? "ncat --broker" : s eq "bare_relay" ? "bare loop" : s eq "bare_relay_nodelay" ? "bare loop + TCP_NODELAY" : s
style(s) = s eq "talkhub" ? 1 : s eq "ncat" ? 2 : s eq "bare_relay" ? 3 : 4
set style line 1 lc rgb "#1f77b4" lw 2 pt 7
set style line 2 lc rgb "#d62728" lw 2 pt 5
set style line 3 lc rgb "#7f7f7f" lw 2 pt 9 dt 2
set style line 4 lc rgb "#2ca02c" lw 2 pt 11 dt 3
relays = "talkhub ncat bare_relay"
nd = "talkhub ncat bare_relay bare_relay_nodelay"
panel(t, y, set, f, r, c) = sprintf('set title "%s"; set ylabel "%s"; plot for [s in %s] csv("%s") ', t, y, set, f) . \
  sprintf('u "clients":(of(s, %d, "%s")) w lp ls style(s) t name(s)', r, c)
# A dashed line across the graph at y: a goal or a limit.
level(y, c) = sprintf('set arrow 1 from graph 0, first %g to graph 1, first %g nohead lc rgb "%s" dt 2', y, y, c)
set logscale x 2; set xrange [12:340]; set xtics (16, 64, 256); set xlabel "clients"

if (have("chat")) {
  set output out . "/chat.svg"
  set multiplot layout 1,3 title "1. talkhub, 64-byte chat lines, 4 senders"
  set yrange [0:*]
  eval panel("as fast as they can", "lines delivered per second", "relays", "chat", 0, "deliveries_per_s")
  set logscale y; set yrange [*:*]
  p99 = "p99 latency to the last receiver (µs)"
  eval panel("p99 latency, as fast as they can", p99, "relays", "chat", 0, "lat_p99_us")
  eval panel("p99 latency at 50 lines/s per sender", p99, "relays", "chat", 50, "lat_p99_us")
  unset multiplot
}

if (have("chat_ordinary")) {
  set output out . "/ordinary.svg"
  set multiplot layout 1,2 title "1b. talkhub, chat lines at 50 lines/s per sender, ordinary clients (acknowledgements delayed)"
  set logscale y
  do for [p in "p50 p99"] { eval panel(p, "latency to the last receiver (µs)", "nd", "chat_ordinary", -1, "lat_".p."_us") }
  unset multiplot
}
unset logscale y

if (have("bulk")) {
  mtu = have("bulk_mtu")
  eval term(mtu ? 760 : 420)
  set output out . "/bulk.svg"
  set multiplot layout (mtu ? 2 : 1),2 title "2. talkhub, bulk: 4 senders of 1024-byte blocks (ncat reads 8 KB at a time)"
  set yrange [0:*]
  do for [f in (mtu ? "bulk bulk_mtu" : "bulk")] {
    link = f eq "bulk" ? "loopback, MTU 64 KiB" : "MTU 1500"
    eval panel("throughput, " . link, "MB/s delivered to the other clients", "nd", f, -1, "MB_per_s")
    eval panel("CPU per megabyte, " . link, "server CPU ms per delivered MB", "nd", f, -1, "cpu_ms_per_MB")
  }
  unset multiplot
  eval term(420)
}

# Bar charts from here on.
unset logscale x; set xrange [*:*]; set xtics autofreq rotate by -30; set xlabel ""; set yrange [0:*]
set key inside top right vertical
set style data histograms; set style fill solid 0.8 border -1

if (have("memory") && have("parrot")) {
  set output out . "/memory_parrot.svg"
  set multiplot layout 1,2
  set title "3. memory with 256 clients"; set ylabel "MiB"; eval level(24, "#d62728")
  set label 1 "24 MiB virtual-size goal" at graph 0.02, first 25 tc rgb "#d62728"
  plot [][0:27] csv("memory") u (column("vm_size_kib") / 1024):xtic(1) t "virtual size" lc rgb "#1f77b4", \
       "" u (column("vm_rss_kib") / 1024) t "resident size" lc rgb "#ff7f0e"
  unset arrow; unset label
  set title "4. echo: server CPU per megabyte"; set ylabel "CPU ms per MB echoed"
  plot csv("parrot") u "cpu_ms_per_MB":xtic(1) notitle lc rgb "#1f77b4"
  unset multiplot
}

# waits.csv: per baud and count, portwire on a 10-bit line, on an 8-bit line, the naive wait: side by side at row / 3.
if (have("waits")) {
  set output out . "/waits.svg"
  set multiplot layout 1,2 title "5. portwire waits: baud / bytes wanted"
  set boxwidth 0.27; set logscale y; set key inside top left vertical
  is(impl, bits) = strcol("impl") eq impl && column("bits") == bits
  x(k) = int(column(0) / 3) + k * 0.27
  tic(i) = sprintf("%d/%d", column("baud"), column("want"))
  set title "passes per wait"; set ylabel "passes (polls on the port), max"; eval level(4, "#d62728")
  plot [-0.6:5.6][1:*] csv("waits") u (x(-1)):(is("portwire", 10) ? column("passes_max") : NaN) w boxes \
       t "portwire, 10-bit line" lc rgb "#1f77b4", "" u (x(0)):(is("portwire", 8) ? column("passes_max") : NaN):xtic(tic(0)) \
       w boxes t "portwire, 8-bit line" lc rgb "#aec7e8", "" u (x(1)):(is("naive", 10) ? column("passes_median") : NaN) \
       w boxes t "naive, median" lc rgb "#7f7f7f"
  unset arrow
  set title "CPU per wait (10-bit line)"; set ylabel "CPU µs per wait, median"
  plot [-0.6:5.6][1:*] csv("waits") u (x(-0.5)):(is("portwire", 10) ? column("cpu_us_median") : NaN):xtic(tic(0)) \
       w boxes t "portwire" lc rgb "#1f77b4", "" u (x(0.5)):(is("naive", 10) ? column("cpu_us_median") : NaN) w boxes \
       t "naive" lc rgb "#7f7f7f"
  unset multiplot
  unset logscale y; set key inside top right vertical
}

if (have("footprint")) {
  set output out . "/footprint.svg"
  set title "6. armhf programs, stripped"; set ylabel "bytes"; set boxwidth 0.8; eval level(16384, "#d62728")
  set label 1 "16 KiB limit (scangrab: 32 KiB)" at graph 0.02, first 17000 tc rgb "#d62728"
  plot csv("footprint") u 0:(strcol("kind") eq "program" ? column("stripped_bytes") : NaN):xtic(1) w boxes \
       t "stripped size" lc rgb "#1f77b4"
  unset label
}

if (have("armhf_ratios")) {
  set output out . "/armhf.svg"
  set title "7. ratios to the bare loops built the same way: armhf under qemu, and host"; set ylabel "ratio"
  eval level(1, "#7f7f7f")
  plot csv("armhf_ratios") u "armhf":xtic(1) t "armhf (qemu)" lc rgb "#1f77b4", "" u "host" t "host" lc rgb "#aec7e8"
}
