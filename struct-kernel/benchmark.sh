#!/usr/bin/env bash
# Kernel times of the three record-array kernels, side by side: each round runs every
# variant once (interleaved), and the table gives the median of the rounds and the ratio of
# each variant's median to recmin-base's.
#
#   struct-kernel/benchmark.sh [BIN_DIR] [ROUNDS]
#
# BIN_DIR defaults to build/default/bin, ROUNDS to 5.
# The machine should be otherwise idle: the figures are wall-clock times.
set -euo pipefail

bin=${1:-build/default/bin}
rounds=${2:-5}
programs=(recmin-base recmin-fused recmin-unroll4)

# The time from a report's "Tiempo (seg): " line.
kernel_time() {
  "$@" | awk '/^Tiempo \(seg\): / { print $3; exit }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A times
for ((r = 0; r < rounds; r++)); do
  for p in "${programs[@]}"; do
    times[$p]+="$(kernel_time "$bin/$p") "
  done
done

echo "# $(uname -n): $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "# median of $rounds interleaved rounds, kernel seconds (ratio to recmin-base)"
echo
echo "| | recmin-base | recmin-fused | recmin-unroll4 |"
echo "|---|---|---|---|"
base=$(tr ' ' '\n' <<<"${times[recmin-base]}" | grep . | median)
row="| median |"
for p in "${programs[@]}"; do
  m=$(tr ' ' '\n' <<<"${times[$p]}" | grep . | median)
  row+=" $m ($(awk -v a="$m" -v b="$base" 'BEGIN { printf "%.2f", a / b }')) |"
done
echo "$row"
