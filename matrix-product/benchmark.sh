#!/usr/bin/env bash
# Kernel times of the matrix-product programs, side by side: each round runs every program
# once (in a fixed interleaved order), and the table gives the median of the rounds.
#
#   matrix-product/benchmark.sh [BIN_DIR] [ROUNDS]
#
# BIN_DIR defaults to build/default/bin, ROUNDS to 5. Two tables:
#   1. mprod-heap against mprod-team on two threads at N = 800, with the time ratio;
#   2. mprod-static, mprod-unroll4, mprod-colwise and mprod-heap at N = 500 and N = 1000.
# The machine should be otherwise idle: the figures are wall-clock times.
set -euo pipefail

bin=${1:-build/default/bin}
rounds=${2:-5}

# The time from a report's first "Tiempo (seg): " line.
kernel_time() {
  "$@" | awk '/^Tiempo \(seg\): / { print $3; exit }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A times
run_round() {  # label command...
  local label=$1
  shift
  times[$label]+="$(kernel_time "$@") "
}

echo "# $(uname -n): $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "# median of $rounds interleaved rounds, kernel seconds"

for ((r = 0; r < rounds; r++)); do
  run_round heap800 "$bin/mprod-heap" 800
  run_round team800 env OMP_NUM_THREADS=2 "$bin/mprod-team" 800
done
heap=$(tr ' ' '\n' <<<"${times[heap800]}" | grep . | median)
team=$(tr ' ' '\n' <<<"${times[team800]}" | grep . | median)
echo
echo "| N = 800 | mprod-heap | mprod-team (2 threads) | ratio |"
echo "|---|---|---|---|"
echo "| median | $heap | $team | $(awk -v a="$heap" -v b="$team" 'BEGIN { printf "%.2f", a / b }') |"

programs=(mprod-static mprod-unroll4 mprod-colwise mprod-heap)
for N in 500 1000; do
  for ((r = 0; r < rounds; r++)); do
    for p in "${programs[@]}"; do
      run_round "$p$N" "$bin/$p" "$N"
    done
  done
done
echo
header="| N |"
for p in "${programs[@]}"; do
  header+=" $p |"
done
echo "$header"
echo "|---|---|---|---|---|"
for N in 500 1000; do
  row="| $N |"
  for p in "${programs[@]}"; do
    row+=" $(tr ' ' '\n' <<<"${times[$p$N]}" | grep . | median) |"
  done
  echo "$row"
done
