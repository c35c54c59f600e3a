#!/usr/bin/env bash
# Draws the cost per request of the rules on both servers against their number, from the
# figures of a run of bench/throughput.sh: each server's CPU time per request over itself
# without its rewriting (vortane-serve without the filter, Apache httpd without mod_rewrite),
# for 0 (an empty configuration; mod_rewrite on with no rules), 20, 50 and 1,000 rules, and
# for WordPress's front controller (its file tests) beside them.
# The run's machine and load, from the data file's comments, go under the title.
#
#   bench/plot.sh [DATA [SVG]]   (defaults: bench/throughput.dat, docs/performance.svg)
set -euo pipefail
repo_dir=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-$repo_dir/bench/throughput.dat}
svg=${2:-$repo_dir/docs/performance.svg}

command -v gnuplot >/dev/null || { echo "gnuplot is missing (bash scripts/setup.sh)" >&2; exit 1; }
[ -s "$data" ] || { echo "no figures in $data: run bench/throughput.sh first" >&2; exit 1; }
# Four rows of figures by number of rules, then the front controller's (wp), three fields each.
rows=$(grep -v '^#' "$data" | awk 'NF == 3 && $1 ~ /^([0-9]+|wp)$/ && $2 ~ /^[-+0-9.]+$/ &&
  $3 ~ /^[-+0-9.]+$/' | wc -l)
[ "$rows" -eq 5 ] || { echo "$data does not hold the five rows of figures" >&2; exit 1; }

# The run's description, for the subtitle; quotes and backslashes would end gnuplot's string.
about=$(sed -n '1,2s/^# //p' "$data" | sed 's/bench\/throughput.sh, //' | tr -d '"\\{}' |
  awk '{ printf "%s%s", (NR > 1 ? "\\n" : ""), $0 }')

# The numbers of rules are far apart (0 to 1,000): each gets an equal place on the x axis,
# labelled with its number, so the small configurations stay readable.
gnuplot <<GNUPLOT
set terminal svg size 800,500 dynamic noenhanced font "sans,12" background rgb "white"
set output "$svg"
set title "Cost of the rules per request: CPU time over the server without its rewriting\\n$about" font "sans,10"
set xlabel "number of rules (0: the filter with an empty configuration, mod_rewrite on with none); a front controller"
set ylabel "µs of CPU per request"
set key top left
set grid ytics
# A cost within the noise may come out below 0: the axis shows it.
set yrange [*:*]
set xzeroaxis lt -1
set offsets 0.3, 0.3, 0, 0
# The front controller (the fifth row) stands apart: points, not the end of the lines.
label(x) = x eq "wp" ? "WordPress (file tests)" : x
plot "$data" every ::0::3 using 0:2:xtic(label(strcol(1))) with linespoints lw 2 pt 7 ps 0.8 lc rgb "#1f77b4" title "vortane-serve, the filter", \\
     "" every ::0::3 using 0:2:(sprintf("%.1f", \$2)) with labels offset -2.2,0.8 tc rgb "#1f77b4" notitle, \\
     "" every ::0::3 using 0:3 with linespoints lw 2 pt 5 ps 0.8 lc rgb "#d62728" title "Apache httpd, mod_rewrite", \\
     "" every ::0::3 using 0:3:(sprintf("%.1f", \$3)) with labels offset 2.2,0.8 tc rgb "#d62728" notitle, \\
     "" every ::4::4 using (4):2:xtic(label(strcol(1))) with points pt 7 ps 1.2 lc rgb "#1f77b4" notitle, \\
     "" every ::4::4 using (4):2:(sprintf("%.1f", \$2)) with labels offset -2.2,0.8 tc rgb "#1f77b4" notitle, \\
     "" every ::4::4 using (4):3 with points pt 5 ps 1.2 lc rgb "#d62728" notitle, \\
     "" every ::4::4 using (4):3:(sprintf("%.1f", \$3)) with labels offset 2.2,0.8 tc rgb "#d62728" notitle
GNUPLOT
echo "drew $svg from $data"
