#!/usr/bin/env bash
# Kernel times of the five scaled-update builds, side by side: each round runs every build
# once per size (interleaved), and the table gives the median of the rounds and the ratio of
# each build's median to yupd-o0's.
#
#   vector-update/benchmark.sh [BIN_DIR] [ROUNDS] [SIZES...]
#
# BIN_DIR defaults to build/default/bin, ROUNDS to 5, SIZES to 1000000 50000000 (the larger
# size needs about 400 MB of stack; the programs raise their soft stack limit themselves).
# A time that does not grow with N would mean the compiler removed the kernel.
# The machine should be otherwise idle: the figures are wall-clock times.
set -euo pipefail

bin=${1:-build/default/bin}
rounds=${2:-5}
shift $(($# < 2 ? $# : 2))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000000 50000000)
builds=(yupd-o0 yupd-o1 yupd-o2 yupd-o3 yupd-os)

# The time from a report's "Tiempo(seg): " line.
kernel_time() {
  "$@" | awk '/^Tiempo\(seg\): / { print $2; exit }'
}

median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A times
for ((r = 0; r < rounds; r++)); do
  for N in "${sizes[@]}"; do
    for b in "${builds[@]}"; do
      times[$b$N]+="$(kernel_time "$bin/$b" "$N") "
    done
  done
done

echo "# $(uname -n): $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "# median of $rounds interleaved rounds, kernel seconds (ratio to yupd-o0)"
echo
header="| N |"
rule="|---|"
for b in "${builds[@]}"; do
  header+=" $b |"
  rule+="---|"
done
echo "$header"
echo "$rule"
for N in "${sizes[@]}"; do
  base=$(tr ' ' '\n' <<<"${times[yupd-o0$N]}" | grep . | median)
  row="| $N |"
  for b in "${builds[@]}"; do
    m=$(tr ' ' '\n' <<<"${times[$b$N]}" | grep . | median)
    row+=" $m ($(awk -v a="$m" -v b="$base" 'BEGIN { printf "%.2f", a / b }')) |"
  done
  echo "$row"
done
