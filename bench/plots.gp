# Plots of a benchmark run, drawn from its CSVs (the medians of the repeats):
#   gnuplot -e "dir='RESULTS_DIR'; out='PLOTS_DIR'" bench/plots.gp
set terminal svg size 1200,420 dynamic noenhanced font "sans,12" background "white"
set datafile separator ","
set datafile columnheaders
set datafile missing NaN
set grid
set key below
have(f) = system("test -s '" . dir . "/" . f . ".csv' && echo 1") eq "1"
csv(f) = dir . "/" . f . ".csv"
# Column c of the rows of server s (and, for the chat, of rate r); NaN elsewhere.
of(s, c) = strcol("server") eq s ? column(c) : NaN
ofr(s, r, c) = strcol("server") eq s && column("rate") == r ? column(c) : NaN
set style line 1 lc rgb "#1f77b4" lw 2 pt 7
set style line 2 lc rgb "#d62728" lw 2 pt 5
set style line 3 lc rgb "#7f7f7f" lw 2 pt 9 dt 2
set style line 4 lc rgb "#2ca02c" lw 2 pt 11 dt 3
set logscale x 2
set xrange [12:340]
set xtics (16, 64, 256)
set xlabel "clients"

if (have("chat")) {
  set output out . "/chat.svg"
  set multiplot layout 1,3 title "1. talkhub, 64-byte chat lines, 4 senders"
  f = csv("chat")
  set title "as fast as they can"
  set ylabel "lines delivered per second"
  set yrange [0:*]
  plot f u "clients":(ofr("talkhub", 0, "deliveries_per_s")) w lp ls 1 t "talkhub", \
       f u "clients":(ofr("ncat", 0, "deliveries_per_s")) w lp ls 2 t "ncat --broker", \
       f u "clients":(ofr("bare_relay", 0, "deliveries_per_s")) w lp ls 3 t "bare loop"
  set ylabel "p99 latency to the last receiver (µs)"
  set logscale y
  set yrange [*:*]
  do for [r in "0 50"] {
    set title (r eq "0" ? "p99 latency, as fast as they can" : "p99 latency at 50 lines/s per sender")
    plot f u "clients":(ofr("talkhub", r + 0, "lat_p99_us")) w lp ls 1 t "talkhub", \
         f u "clients":(ofr("ncat", r + 0, "lat_p99_us")) w lp ls 2 t "ncat --broker", \
         f u "clients":(ofr("bare_relay", r + 0, "lat_p99_us")) w lp ls 3 t "bare loop"
  }
  unset multiplot
}

if (have("chat_ordinary")) {
  set output out . "/ordinary.svg"
  set multiplot layout 1,2 title "1b. talkhub, chat lines at 50 lines/s per sender, ordinary clients (acknowledgements delayed)"
  f = csv("chat_ordinary")
  set logscale y
  set ylabel "latency to the last receiver (µs)"
  do for [p in "p50 p99"] {
    set title p
    c = "lat_" . p . "_us"
    plot f u "clients":(of("talkhub", c)) w lp ls 1 t "talkhub", f u "clients":(of("ncat", c)) w lp ls 2 t "ncat --broker", \
         f u "clients":(of("bare_relay", c)) w lp ls 3 t "bare loop", \
         f u "clients":(of("bare_relay_nodelay", c)) w lp ls 4 t "bare loop + TCP_NODELAY"
  }
  unset multiplot
  unset logscale y
}

if (have("bulk")) {
  mtu = have("bulk_mtu")
  set terminal svg size 1200,(mtu ? 760 : 420) dynamic noenhanced font "sans,12" background "white"
  set output out . "/bulk.svg"
  set multiplot layout (mtu ? 2 : 1),2 title "2. talkhub, bulk: 4 senders of 1024-byte blocks"
  set yrange [0:*]
  do for [i = 1:(mtu ? 2 : 1)] {
    f = csv(i == 1 ? "bulk" : "bulk_mtu")
    where = (i == 1 ? "loopback, MTU 64 KiB" : "MTU 1500")
    do for [c in "MB_per_s cpu_ms_per_MB"] {
      set ylabel (c eq "MB_per_s" ? "MB/s delivered to the other clients" : "server CPU ms per delivered MB")
      set title (c eq "MB_per_s" ? "throughput, " : "CPU per megabyte, ") . where
      plot f u "clients":(of("talkhub", c)) w lp ls 1 t "talkhub", \
           f u "clients":(of("bare_relay", c)) w lp ls 3 t "bare loop (same design)", \
           f u "clients":(of("bare_relay_nodelay", c)) w lp ls 4 t "bare loop + TCP_NODELAY", \
           f u "clients":(of("ncat", c)) w lp ls 2 t "ncat --broker (8 KB reads)"
    }
  }
  unset multiplot
  set terminal svg size 1200,420 dynamic noenhanced font "sans,12" background "white"
}

# Bar charts from here on.
unset logscale x
set xrange [*:*]
set xtics autofreq
set xlabel ""
set key inside top right vertical
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.8

if (have("memory") && have("parrot")) {
  set output out . "/memory_parrot.svg"
  set multiplot layout 1,2
  set title "3. memory with 256 clients"
  set ylabel "MiB"
  set yrange [0:27]
  set arrow 1 from graph 0, first 24 to graph 1, first 24 nohead lc rgb "#d62728" dt 2
  set label 1 "24 MiB virtual-size goal" at graph 0.02, first 25 tc rgb "#d62728"
  plot csv("memory") u (column("vm_size_kib") / 1024):xtic(1) t "virtual size" lc rgb "#1f77b4", \
       "" u (column("vm_rss_kib") / 1024) t "resident size" lc rgb "#ff7f0e"
  unset arrow 1
  unset label 1
  set yrange [0:*]
  set title "4. echo: server CPU per megabyte"
  set ylabel "CPU ms per MB echoed"
  plot csv("parrot") u "cpu_ms_per_MB":xtic(1) notitle lc rgb "#1f77b4"
  unset multiplot
}

# waits.csv: per baud and count, the rows of portwire on a 10-bit and an
# 8-bit line, then of the naive wait; bars side by side at x = row / 3.
if (have("waits")) {
  set output out . "/waits.svg"
  set multiplot layout 1,2 title "5. portwire waits: baud / bytes wanted"
  set style fill solid 0.8 border -1
  set boxwidth 0.27
  set xtics rotate by -30 font ",10"
  set logscale y
  set yrange [1:*]
  set xrange [-0.6:5.6]
  set key inside top left vertical
  f = csv("waits")
  is(impl, bits) = strcol("impl") eq impl && column("bits") == bits
  x(k) = int(column(0) / 3) + k * 0.27
  tic(i) = sprintf("%d/%d", column("baud"), column("want"))
  set title "passes per wait"
  set ylabel "passes (polls on the port), max"
  set arrow 2 from graph 0, first 4 to graph 1, first 4 nohead lc rgb "#d62728" dt 2
  plot f u (x(-1)):(is("portwire", 10) ? column("passes_max") : NaN) w boxes t "portwire, 10-bit line" lc rgb "#1f77b4", \
       f u (x(0)):(is("portwire", 8) ? column("passes_max") : NaN):xtic(tic(0)) w boxes t "portwire, 8-bit line" lc rgb "#aec7e8", \
       f u (x(1)):(is("naive", 10) ? column("passes_median") : NaN) w boxes t "naive, median" lc rgb "#7f7f7f"
  unset arrow 2
  set title "CPU per wait (10-bit line)"
  set ylabel "CPU µs per wait, median"
  plot f u (x(-0.5)):(is("portwire", 10) ? column("cpu_us_median") : NaN):xtic(tic(0)) w boxes t "portwire" lc rgb "#1f77b4", \
       f u (x(0.5)):(is("naive", 10) ? column("cpu_us_median") : NaN) w boxes t "naive" lc rgb "#7f7f7f"
  unset multiplot
  unset logscale y
  set xrange [*:*]
  set yrange [*:*]
  set boxwidth 0.8
  set key inside top right vertical
}

if (have("footprint")) {
  set output out . "/footprint.svg"
  set title "6. armhf programs, stripped"
  set ylabel "bytes"
  set yrange [0:*]
  set xtics rotate by -30 font ",12"
  set arrow 3 from graph 0, first 16384 to graph 1, first 16384 nohead lc rgb "#d62728" dt 2
  set label 3 "16 KiB limit (scangrab: 32 KiB)" at graph 0.02, first 17000 tc rgb "#d62728"
  plot csv("footprint") u 0:(strcol("kind") eq "program" ? column("stripped_bytes") : NaN):xtic(1) w boxes \
       t "stripped size" lc rgb "#1f77b4"
  unset arrow 3
  unset label 3
}

if (have("armhf_ratios")) {
  set output out . "/armhf.svg"
  set title "7. ratios to the bare loops built the same way: armhf under qemu, and host"
  set ylabel "ratio"
  set yrange [0:*]
  set arrow 4 from graph 0, first 1 to graph 1, first 1 nohead lc rgb "#7f7f7f" dt 2
  plot csv("armhf_ratios") u "armhf":xtic(1) t "armhf (qemu)" lc rgb "#1f77b4", "" u "host" t "host" lc rgb "#aec7e8"
}
