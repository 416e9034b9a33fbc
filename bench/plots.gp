# Plots of a benchmark run, from the tables report.sh derives from the CSVs.
# Called as: gnuplot -e "datadir='DIR'; outdir='DIR'" plots.gp
# (add fmt='png' for PNG files instead of SVG).
if (!exists("fmt")) fmt = "svg"
set datafile missing "NA"
if (fmt eq "png") {
  set terminal pngcairo size 1200,420 font "sans,10" background "white"
} else {
  set terminal svg size 1200,420 dynamic font "sans,12" background "white"
}
set termoption noenhanced
set key top left
set grid
have(f) = system("test -s '" . datadir . "/" . f . "' && echo 1 || echo 0") eq "1"
set style line 1 lc rgb "#1f77b4" lw 2 pt 7
set style line 2 lc rgb "#d62728" lw 2 pt 5
set style line 3 lc rgb "#7f7f7f" lw 2 pt 9 dt 2
set style line 4 lc rgb "#2ca02c" lw 2 pt 11 dt 3

if (have("chat.dat")) {
  set key below
  set output outdir . "/chat." . fmt
  set multiplot layout 1,3 title "1. talkhub, 64-byte chat lines, 4 senders"
  set logscale x 2
  set xrange [12:340]
  set xtics (16, 64, 256)
  set xlabel "clients"
  set ylabel "lines delivered per second"
  set title "as fast as they can"
  set yrange [0:*]
  plot datadir . "/chat.dat" u 1:2 w lp ls 1 t "talkhub", "" u 1:3 w lp ls 2 t "ncat --broker", "" u 1:4 w lp ls 3 t "bare loop"
  set ylabel "p99 latency to the last receiver (µs)"
  set logscale y
  set yrange [*:*]
  set title "p99 latency, as fast as they can"
  plot datadir . "/chat.dat" u 1:5 w lp ls 1 t "talkhub", "" u 1:6 w lp ls 2 t "ncat --broker", "" u 1:7 w lp ls 3 t "bare loop"
  set title "p99 latency at 50 lines/s per sender"
  plot datadir . "/chat.dat" u 1:8 w lp ls 1 t "talkhub", "" u 1:9 w lp ls 2 t "ncat --broker", "" u 1:10 w lp ls 3 t "bare loop"
  unset multiplot
  unset logscale
  set xtics autofreq
  set xrange [*:*]
  set yrange [*:*]
}

if (have("ordinary.dat")) {
  set key below
  set output outdir . "/ordinary." . fmt
  set multiplot layout 1,2 title "1b. talkhub, chat lines at 50 lines/s per sender, ordinary clients (acknowledgements delayed)"
  set logscale x 2
  set xrange [12:340]
  set xtics (16, 64, 256)
  set xlabel "clients"
  set logscale y
  set ylabel "latency to the last receiver (µs)"
  set title "p50"
  plot datadir . "/ordinary.dat" u 1:2 w lp ls 1 t "talkhub", "" u 1:3 w lp ls 2 t "ncat --broker", "" u 1:4 w lp ls 3 t "bare loop", "" u 1:5 w lp ls 4 t "bare loop + TCP_NODELAY"
  set title "p99"
  plot datadir . "/ordinary.dat" u 1:6 w lp ls 1 t "talkhub", "" u 1:7 w lp ls 2 t "ncat --broker", "" u 1:8 w lp ls 3 t "bare loop", "" u 1:9 w lp ls 4 t "bare loop + TCP_NODELAY"
  unset multiplot
  unset logscale
  set xtics autofreq
  set xrange [*:*]
  set yrange [*:*]
}

# bulk.dat and bulk_mtu.dat: clients, MB/s talkhub bare ncat, CPU ms/MB
# talkhub bare ncat, bare + TCP_NODELAY MB/s and CPU ms/MB.
if (have("bulk.dat")) {
  set key below
  mtu = have("bulk_mtu.dat")
  if (mtu) {
    if (fmt eq "png") {
      set terminal pngcairo size 1200,760 font "sans,10" background "white"
    } else {
      set terminal svg size 1200,760 dynamic font "sans,12" background "white"
    }
    set termoption noenhanced
  }
  set output outdir . "/bulk." . fmt
  if (mtu) { set multiplot layout 2,2 title "2. talkhub, bulk: 4 senders of 1024-byte blocks" } else { set multiplot layout 1,2 title "2. talkhub, bulk: 4 senders of 1024-byte blocks" }
  set logscale x 2
  set xrange [12:340]
  set xtics (16, 64, 256)
  set xlabel "clients"
  set yrange [0:*]
  do for [i = 1:(mtu ? 2 : 1)] {
    f = datadir . (i == 1 ? "/bulk.dat" : "/bulk_mtu.dat")
    where = (i == 1 ? "loopback, MTU 64 KiB" : "MTU 1500")
    set ylabel "MB/s delivered to the other clients"
    set title "throughput, " . where
    plot f u 1:2 w lp ls 1 t "talkhub", "" u 1:3 w lp ls 3 t "bare loop (same design)", "" u 1:8 w lp ls 4 t "bare loop + TCP_NODELAY", "" u 1:4 w lp ls 2 t "ncat --broker (8 KB reads)"
    set ylabel "server CPU ms per delivered MB"
    set title "CPU per megabyte, " . where
    plot f u 1:5 w lp ls 1 t "talkhub", "" u 1:6 w lp ls 3 t "bare loop (same design)", "" u 1:9 w lp ls 4 t "bare loop + TCP_NODELAY", "" u 1:7 w lp ls 2 t "ncat --broker (8 KB reads)"
  }
  unset multiplot
  if (fmt eq "png") {
    set terminal pngcairo size 1200,420 font "sans,10" background "white"
  } else {
    set terminal svg size 1200,420 dynamic font "sans,12" background "white"
  }
  set termoption noenhanced
  unset logscale x
  set xtics autofreq
  set xrange [*:*]
  set yrange [*:*]
}

set key inside top left vertical
set style data histograms
set style fill solid 0.8 border -1
set boxwidth 0.8

if (have("memory.dat") && have("parrot.dat")) {
  set output outdir . "/memory_parrot." . fmt
  set multiplot layout 1,2
  set title "3. memory with 256 clients"
  set style histogram clustered gap 1
  set ylabel "MiB"
  set xlabel ""
  stats datadir . "/memory.dat" u 2 nooutput
  set yrange [0:(STATS_max > 24 ? STATS_max * 1.1 : 27)]
  set key inside top right vertical
  set arrow 1 from graph 0, first 24 to graph 1, first 24 nohead lc rgb "#d62728" dt 2
  set label 1 "24 MiB virtual-size goal" at graph 0.02, first 25 tc rgb "#d62728"
  plot datadir . "/memory.dat" u 2:xtic(1) t "virtual size" lc rgb "#1f77b4", "" u 3 t "resident size" lc rgb "#ff7f0e"
  unset arrow 1
  unset label 1
  set yrange [0:*]
  set key inside top left vertical
  set title "4. echo: server CPU per megabyte"
  set ylabel "CPU ms per MB echoed"
  plot datadir . "/parrot.dat" u 2:xtic(1) notitle lc rgb "#1f77b4"
  unset multiplot
}

if (have("waits.dat")) {
  set output outdir . "/waits." . fmt
  set multiplot layout 1,2 title "5. portwire waits: baud / bytes wanted"
  set style histogram clustered gap 1
  set xtics rotate by -30 font ",10"
  set logscale y
  set yrange [1:*]
  set xlabel ""
  set ylabel "passes (selects on the port), max"
  set title "passes per wait"
  set arrow 2 from graph 0, first 4 to graph 1, first 4 nohead lc rgb "#d62728" dt 2
  plot datadir . "/waits.dat" u 2:xtic(1) t "portwire, 10-bit line" lc rgb "#1f77b4", "" u 3 t "portwire, 8-bit line" lc rgb "#aec7e8", "" u 4 t "naive, median" lc rgb "#7f7f7f"
  unset arrow 2
  set ylabel "CPU µs per wait, median"
  set title "CPU per wait (10-bit line)"
  plot datadir . "/waits.dat" u 5:xtic(1) t "portwire" lc rgb "#1f77b4", "" u 6 t "naive" lc rgb "#7f7f7f"
  unset multiplot
  unset logscale y
  set yrange [*:*]
  set xtics norotate font ",12"
}

if (have("footprint.dat")) {
  set output outdir . "/footprint." . fmt
  set title "6. armhf programs, stripped"
  set style histogram clustered gap 1
  set ylabel "bytes"
  set yrange [0:*]
  set key inside top right vertical
  set xtics rotate by -30
  plot datadir . "/footprint.dat" u 2:xtic(1) t "stripped size" lc rgb "#1f77b4", "" u 3 t "limit" lc rgb "#d62728" fs pattern 4
  set xtics norotate
}

if (have("armhf.dat")) {
  set output outdir . "/armhf.". fmt
  set title "7. ratios to the bare loops built the same way: armhf under qemu, and host"
  set style histogram clustered gap 1
  set ylabel "ratio"
  set yrange [0:*]
  set key inside top right vertical
  set xtics rotate by -30
  set arrow 3 from graph 0, first 1 to graph 1, first 1 nohead lc rgb "#7f7f7f" dt 2
  plot datadir . "/armhf.dat" u 2:xtic(1) t "armhf (qemu)" lc rgb "#1f77b4", "" u 3 t "host" lc rgb "#aec7e8"
  unset arrow 3
  set xtics norotate
}
