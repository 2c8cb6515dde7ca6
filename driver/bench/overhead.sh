#!/usr/bin/env bash
# The driver's own cost per run: 200 runs of a trivial program (plus-static 1) through
# `kernelscope sweep` against the same 200 runs started directly from the shell, in
# alternating rounds; prints each round and the medians.
#
#   driver/bench/overhead.sh [BIN_DIR] [ROUNDS]
#
# BIN_DIR defaults to build/default/bin. The driver's figure includes everything it does for
# a sweep: spawning, capturing, parsing, validating, the machine context and the reports
# (plots off).
set -euo pipefail
bin=${1:-build/default/bin}
rounds=${2:-5}
runs=200
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

now() { date +%s.%N; }
direct=()
driver=()
outside=()
for ((r = 1; r <= rounds; r++)); do
  t0=$(now)
  for ((i = 0; i < runs; i++)); do "$bin/plus-static" 1 >/dev/null; done
  t1=$(now)
  "$bin/kernelscope" sweep plus-static --sizes 1 --repeat $runs --warmup 0 --no-plots \
    --out "$out/r$r" >/dev/null
  t2=$(now)
  direct+=("$(echo "($t1 - $t0) * 1000 / $runs" | bc -l)")
  driver+=("$(echo "($t2 - $t1) * 1000 / $runs" | bc -l)")
  # The driver's time outside its children: total minus the children's spawn-to-reap times.
  children=$(awk -F, 'NR > 1 {s += $16} END {printf "%.9f", s}' "$out/r$r/runs.csv")
  outside+=("$(echo "(($t2 - $t1) - $children) * 1000 / $runs" | bc -l)")
  printf 'round %d: direct %.3f ms/run, kernelscope %.3f ms/run (%.3f ms/run outside the children)\n' \
    "$r" "${direct[-1]}" "${driver[-1]}" "${outside[-1]}"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
md=$(median "${direct[@]}")
mk=$(median "${driver[@]}")
mo=$(median "${outside[@]}")
printf 'median over %d rounds of %d runs: direct %.3f ms/run, kernelscope %.3f ms/run, difference %.3f ms/run; kernelscope outside its children %.3f ms/run\n' \
  "$rounds" "$runs" "$md" "$mk" "$(echo "$mk - $md" | bc -l)" "$mo"
