#!/usr/bin/env bash
# bench/plot.sh: the server-rate plot of docs/performance.md from the
# rate.tsv files bench/run --out leaves (columns: conns, zemsynth rate,
# zemsynth p99 in us, nginx rate, nginx p99 in us).
#
#   bench/plot.sh AFTER.tsv OUT.png [BEFORE.tsv]
#
# Rate (left) and p99 latency (right) against concurrent connections, for
# zemsynth and the nginx measured in the same run; BEFORE adds the figures
# from before the server's fixes.  Needs gnuplot (Debian: gnuplot-nox).
set -euo pipefail
after=$1; png=$2; before=${3:-}
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot is missing (apt-get install gnuplot-nox)" >&2; exit 1; }
rate_plot="'$after' using 1:2 with linespoints lw 2 pt 7 title 'zemsynth', \
  '$after' using 1:4 with linespoints lw 2 pt 5 title 'nginx (same run)'"
p99_plot="'$after' using 1:(\$3/1000) with linespoints lw 2 pt 7 title 'zemsynth', \
  '$after' using 1:(\$5/1000) with linespoints lw 2 pt 5 title 'nginx (same run)'"
if [[ -n $before ]]; then
  rate_plot+=", '$before' using 1:2 with linespoints dt 2 lw 2 pt 6 title 'zemsynth before', \
  '$before' using 1:4 with linespoints dt 2 lw 1 pt 4 title 'nginx (before run)'"
  p99_plot+=", '$before' using 1:(\$3/1000) with linespoints dt 2 lw 2 pt 6 title 'zemsynth before', \
  '$before' using 1:(\$5/1000) with linespoints dt 2 lw 1 pt 4 title 'nginx (before run)'"
fi
gnuplot <<GP
set terminal pngcairo size 1200,480 font 'Sans,11'
set output '$png'
set datafile separator '\t'
set key autotitle columnhead
set multiplot layout 1,2 title 'Empty SynthZemReq, one request per connection, loopback'
set logscale x 2
set xtics (1, 16, 64, 256, 1024)
set xrange [0.8:1300]
set grid
set key top left
set xlabel 'concurrent connections'
set ylabel 'requests per second'
set yrange [0:*]
plot $rate_plot
set ylabel 'p99 latency (ms)'
set logscale y 10
set yrange [*:*]
set key top left
plot $p99_plot
unset multiplot
GP
