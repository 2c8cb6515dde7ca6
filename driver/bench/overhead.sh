#!/usr/bin/env bash
# The driver's own cost per run: RUNS runs of a trivial program (plus-static 1) through
# `kernelscope sweep` against the same runs started from a shell loop and, when hyperfine is
# installed, by hyperfine (its mean, without a shell), in alternating rounds; prints each round
# and the medians.
#
#   driver/bench/overhead.sh [BIN_DIR] [ROUNDS] [RUNS]
#
# BIN_DIR defaults to build/default/bin, ROUNDS to 5, RUNS to 300. The driver's figure includes
# everything it does for a sweep: spawning, capturing, parsing, validating, the machine context,
# the run store (one committed transaction a run) and the reports (plots off). "Outside" is its
# time outside its children: the total less the children's spawn-to-reap times.
set -euo pipefail
bin=${1:-build/default/bin}
rounds=${2:-5}
runs=${3:-300}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

now() { date +%s.%N; }
hyperfine=$(command -v hyperfine || true)
direct=()
driver=()
outside=()
runner=()
for ((r = 1; r <= rounds; r++)); do
  t0=$(now)
  for ((i = 0; i < runs; i++)); do "$bin/plus-static" 1 >/dev/null; done
  t1=$(now)
  "$bin/kernelscope" sweep plus-static --sizes 1 --repeat "$runs" --warmup 0 --no-plots \
    --out "$out/r$r" >/dev/null
  t2=$(now)
  direct+=("$(echo "($t1 - $t0) * 1000 / $runs" | bc -l)")
  driver+=("$(echo "($t2 - $t1) * 1000 / $runs" | bc -l)")
  children=$(awk -F, 'NR == 1 {for (i = 1; i <= NF; i++) if ($i == "wall_seconds") c = i}
                      NR > 1 {s += $c} END {printf "%.9f", s}' "$out/r$r/runs.csv")
  outside+=("$(echo "(($t2 - $t1) - $children) * 1000 / $runs" | bc -l)")
  line=$(printf 'round %d: shell loop %.3f ms/run, kernelscope %.3f ms/run (%.3f outside the children)' \
    "$r" "${direct[-1]}" "${driver[-1]}" "${outside[-1]}")
  if [[ -n $hyperfine ]]; then
    "$hyperfine" -N --runs "$runs" --export-json "$out/h$r.json" "$bin/plus-static 1" \
      >/dev/null 2>&1
    runner+=("$(grep -o '"mean": *[0-9.e-]*' "$out/h$r.json" | head -1 |
      awk -F: '{printf "%.9f", $2 * 1000}')")
    line+=$(printf ', hyperfine %.3f ms/run' "${runner[-1]}")
  fi
  echo "$line"
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
summary=$(printf 'median over %d rounds of %d runs: shell loop %.3f, kernelscope %.3f (%.3f outside the children)' \
  "$rounds" "$runs" "$(median "${direct[@]}")" "$(median "${driver[@]}")" "$(median "${outside[@]}")")
if [[ -n $hyperfine ]]; then
  summary+=$(printf ', hyperfine %.3f' "$(median "${runner[@]}")")
fi
echo "$summary ms/run; load average $(cut -d' ' -f1-3 /proc/loadavg)"
