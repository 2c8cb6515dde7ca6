#!/usr/bin/env bash
# The driver's own cost per run, as a user pays it: the wall time of the whole command over its
# runs, for RUNS runs of a trivial program (plus-static 1) started by
#   hyperfine   hyperfine -N --warmup 0 --runs RUNS 'BIN/plus-static 1'
#   kernelscope kernelscope --no-probe sweep plus-static --sizes 1 --repeat RUNS --warmup 0
#               --no-plots --out TMP
#   bash loop   bash -c 'for ((i = 0; i < RUNS; i++)); do BIN/plus-static 1 >/dev/null; done'
#   floor       bare_runs RUNS BIN/plus-static 1 (driver/bench/bare_runs.cpp, built here with
#               ${CXX:-c++} -O2: vfork, exec, wait and nothing else; no runner goes below it)
# and, with --baseline, the kernelscope of another build (the same command) beside this one.
# Hyperfine's own figure (its mean) leaves out what it does between runs and before and after
# them; every figure here is the whole command's time, taken the same way for each runner.
# The runners take turns in each round, in an order that rotates from round to round, so that
# a change in the machine's load hits all of them alike; the table gives each one's median
# over the rounds and its ratio to hyperfine's. Then TOUR_ROUNDS alternating rounds of
# `kernelscope --no-probe tour` (each build's, when a baseline is given), timed the same way.
#
#   driver/bench/overhead.sh [--rounds N] [--runs N] [--tour-rounds N] [--tour-scale F]
#                            [--baseline BIN_DIR] [BIN_DIR]
#
# BIN_DIR: the build to measure (default build/ci/bin, else build/default/bin). --rounds 5,
# --runs 300, --tour-rounds 1 (0: no tour), --tour-scale 1 (the tour's --scale). The load
# average is printed before each round: measure on an idle machine. When perf is installed, one
# more pass gives each runner's own CPU time per run (perf stat --no-inherit: the runner's
# process alone, without the programs it starts). A benchmark, not a test; it needs hyperfine
# (Debian package hyperfine), bc and a C++ compiler. Its temporary folder is removed however
# it ends.
set -euo pipefail

rounds=5
runs=300
tour_rounds=1
tour_scale=1
baseline=
bin=
while (($#)); do
  case $1 in
  --rounds) rounds=$2 && shift 2 ;;
  --runs) runs=$2 && shift 2 ;;
  --tour-rounds) tour_rounds=$2 && shift 2 ;;
  --tour-scale) tour_scale=$2 && shift 2 ;;
  --baseline) baseline=$2 && shift 2 ;;
  -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' && exit 0 ;;
  -*) echo "overhead.sh: unknown option $1" >&2 && exit 2 ;;
  *) bin=$1 && shift ;;
  esac
done
if [[ -z $bin ]]; then
  bin=build/ci/bin
  [[ -x $bin/kernelscope ]] || bin=build/default/bin
fi
for n in "$rounds" "$runs" "$tour_rounds"; do
  [[ $n =~ ^[0-9]+$ ]] || { echo "overhead.sh: '$n' is not a count" >&2 && exit 2; }
done
((rounds > 0 && runs > 0)) || { echo "overhead.sh: rounds and runs must be above 0" >&2 && exit 2; }
for b in "$bin" ${baseline:+"$baseline"}; do
  [[ -x $b/kernelscope && -x $b/plus-static ]] ||
    { echo "overhead.sh: no kernelscope and plus-static in $b" >&2 && exit 2; }
done
for tool in hyperfine bc "${CXX:-c++}"; do
  command -v "$tool" >/dev/null || { echo "overhead.sh: $tool is not installed" >&2 && exit 2; }
done
bin=$(cd "$bin" && pwd)
[[ -z $baseline ]] || baseline=$(cd "$baseline" && pwd)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kernelscope-overhead.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"${CXX:-c++}" -O2 -o "$tmp/bare_runs" "$here/bare_runs.cpp"

load() { cut -d' ' -f1-3 /proc/loadavg; }
# The wall time of a command in milliseconds, its output dropped; a failure ends the script.
elapsed_ms() {
  local start=$EPOCHREALTIME
  if ! "$@" >/dev/null 2>"$tmp/stderr"; then
    echo "overhead.sh: failed: $*" >&2
    cat "$tmp/stderr" >&2
    exit 1
  fi
  local end=$EPOCHREALTIME
  echo "($end - $start) * 1000" | bc -l
}
median() {
  printf '%s\n' "$@" | sort -g |
    awk '{a[NR] = $1} END {print (NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2)}'
}

names=(hyperfine kernelscope "bash loop" "floor")
commands=(
  "hyperfine -N --warmup 0 --runs $runs '$bin/plus-static 1'"
  "$bin/kernelscope --no-probe sweep plus-static --sizes 1 --repeat $runs --warmup 0 --no-plots --out TMP"
  "bash -c 'for ((i = 0; i < $runs; i++)); do $bin/plus-static 1 >/dev/null; done'"
  "bare_runs $runs $bin/plus-static 1"
)
if [[ -n $baseline ]]; then
  names+=("kernelscope (baseline)")
  commands+=("$baseline/kernelscope --no-probe sweep plus-static --sizes 1 --repeat $runs --warmup 0 --no-plots --out TMP")
fi
run_runner() { # index, round
  local out=$tmp/sweep-$2-$1
  case $1 in
  0) elapsed_ms hyperfine -N --warmup 0 --runs "$runs" "$bin/plus-static 1" ;;
  1) elapsed_ms "$bin/kernelscope" --no-probe sweep plus-static --sizes 1 --repeat "$runs" \
    --warmup 0 --no-plots --out "$out" ;;
  2) elapsed_ms bash -c "for ((i = 0; i < $runs; i++)); do '$bin/plus-static' 1 >/dev/null; done" ;;
  3) elapsed_ms "$tmp/bare_runs" "$runs" "$bin/plus-static" 1 ;;
  4) elapsed_ms "$baseline/kernelscope" --no-probe sweep plus-static --sizes 1 --repeat "$runs" \
    --warmup 0 --no-plots --out "$out" ;;
  esac
  rm -rf "$out"
}

echo "kernelscope's cost per run: $runs runs of plus-static 1, $rounds alternating rounds"
echo "build: $bin${baseline:+; baseline: $baseline}"
echo "machine: $(nproc) CPUs, $(uname -r); load average at the start: $(load)"
for i in "${!names[@]}"; do
  printf '  %-24s %s\n' "${names[$i]}" "${commands[$i]}"
done
declare -a per_run
count=${#names[@]}
for ((r = 0; r < rounds; r++)); do
  line=$(printf 'round %d (load %s):' $((r + 1)) "$(load)")
  declare -a this=()
  for ((k = 0; k < count; k++)); do
    i=$(((r + k) % count))
    ms=$(run_runner "$i" "$r")
    this[$i]=$(echo "$ms / $runs" | bc -l)
    per_run[$i]+="${this[$i]} "
  done
  for ((i = 0; i < count; i++)); do
    line+=$(printf ' %s %.3f' "${names[$i]}" "${this[$i]}")
  done
  echo "$line ms/run"
done

# Each runner's own CPU time per run, from one more pass: the runner's process alone.
own_cpu=()
if command -v perf >/dev/null; then
  for ((i = 0; i < count; i++)); do
    out=$tmp/own-$i
    case $i in
    0) argv=(hyperfine -N --warmup 0 --runs "$runs" "$bin/plus-static 1") ;;
    1) argv=("$bin/kernelscope" --no-probe sweep plus-static --sizes 1 --repeat "$runs" --warmup 0 --no-plots --out "$out") ;;
    2) argv=(bash -c "for ((i = 0; i < $runs; i++)); do '$bin/plus-static' 1 >/dev/null; done") ;;
    3) argv=("$tmp/bare_runs" "$runs" "$bin/plus-static" 1) ;;
    4) argv=("$baseline/kernelscope" --no-probe sweep plus-static --sizes 1 --repeat "$runs" --warmup 0 --no-plots --out "$out") ;;
    esac
    if perf stat --no-inherit -x, -e task-clock -o "$tmp/stat" -- "${argv[@]}" >/dev/null 2>&1; then
      own_cpu[$i]=$(awk -F, -v runs="$runs" '$3 == "task-clock" {printf "%.3f", $1 / runs}' "$tmp/stat")
    fi
    rm -rf "$out"
  done
fi

tour_names=()
tour_bins=()
if ((tour_rounds > 0)); then
  tour_names=("kernelscope tour")
  tour_bins=("$bin")
  if [[ -n $baseline ]]; then
    tour_names+=("kernelscope tour (baseline)")
    tour_bins+=("$baseline")
  fi
  echo "tour: kernelscope --no-probe tour --scale $tour_scale, $tour_rounds alternating rounds"
fi
declare -a tour_ms
for ((r = 0; r < tour_rounds; r++)); do
  line=$(printf 'tour round %d (load %s):' $((r + 1)) "$(load)")
  declare -a this=()
  for ((k = 0; k < ${#tour_bins[@]}; k++)); do
    i=$(((r + k) % ${#tour_bins[@]}))
    this[$i]=$(elapsed_ms "${tour_bins[$i]}/kernelscope" --no-probe tour --scale "$tour_scale" \
      --out "$tmp/tour-$r-$i")
    rm -rf "$tmp/tour-$r-$i"
    tour_ms[$i]+="${this[$i]} "
  done
  for ((i = 0; i < ${#tour_bins[@]}; i++)); do
    line+=$(printf ' %s %.2f s' "${tour_names[$i]}" "$(echo "${this[$i]} / 1000" | bc -l)")
  done
  echo "$line"
done

echo
echo "Medians over $rounds rounds of $runs runs (whole command / runs); load average at the end: $(load)"
echo
echo "| runner | ms per run | ratio to hyperfine | its own CPU, ms per run |"
echo "|---|---|---|---|"
read -ra h <<<"${per_run[0]}"
hyperfine_ms=$(median "${h[@]}")
for ((i = 0; i < count; i++)); do
  read -ra v <<<"${per_run[$i]}"
  m=$(median "${v[@]}")
  printf '| %s | %.3f | %.2f | %s |\n' "${names[$i]}" "$m" "$(echo "$m / $hyperfine_ms" | bc -l)" \
    "${own_cpu[$i]:-(no perf)}"
done
if ((tour_rounds > 0)); then
  echo
  echo "| tour (--no-probe --scale $tour_scale) | seconds, median of $tour_rounds |"
  echo "|---|---|"
  for ((i = 0; i < ${#tour_bins[@]}; i++)); do
    read -ra v <<<"${tour_ms[$i]}"
    printf '| %s | %.2f |\n' "${tour_names[$i]}" "$(echo "$(median "${v[@]}") / 1000" | bc -l)"
  done
fi
