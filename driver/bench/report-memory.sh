#!/usr/bin/env bash
# What `kernelscope report DIR` costs on a large store: peak resident memory and wall time, from
# /usr/bin/time -v, for stores of each size in RUNS, made by make-store.sh from one small real
# sweep (plus-static, plus-heap and plus-parloop at 1K and 64K, plus-parloop on 1 and 2
# threads: 8 configurations). With --baseline, the kernelscope of another build renders a copy
# of the same store in turn with this one, round after round, and the rendered files of the two
# are compared byte for byte (results.json, runs.csv, summary.csv, summary.md, report.md and
# report.html, the source revision's lines apart); a difference is reported and fails the run.
#
#   driver/bench/report-memory.sh [--runs "200000 1000000"] [--rounds N] [--keep DIR]
#                                 [--baseline BIN_DIR] [BIN_DIR]
#
# BIN_DIR: the build to measure (default build/ci/bin). --rounds 3. --keep DIR: make the stores
# in DIR and leave them there (they are reused when present), instead of in a temporary folder
# removed at the end. A benchmark, not a test: it needs sqlite3 and /usr/bin/time (Debian
# packages sqlite3 and time) and a few GB of disk for a million runs.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
sizes="200000 1000000"
rounds=3
keep=
baseline=
bin=
while [[ $# -gt 0 ]]; do
  case $1 in
    --runs) sizes=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --baseline) baseline=$(cd "$2" && pwd); shift 2 ;;
    -*) echo "$0: unknown option $1" >&2; exit 2 ;;
    *) bin=$(cd "$1" && pwd); shift ;;
  esac
done
bin=${bin:-$(cd "$here/../../build/ci/bin" && pwd)}

if [[ -n $keep ]]; then
  mkdir -p -- "$keep"
  work=$(cd "$keep" && pwd)
  scratch=$(mktemp -d "$work/render.XXXXXX")
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/ks-report-memory.XXXXXX")
  scratch=$work
fi
cleanup() {
  if [[ -n $keep ]]; then rm -rf -- "$scratch"; else rm -rf -- "$work"; fi
}
trap cleanup EXIT

if [[ ! -f $work/source/results.db ]]; then
  rm -rf -- "$work/source"
  "$bin/kernelscope" --no-probe sweep plus-static plus-heap plus-parloop --sizes 1K,64K \
    --threads 1,2 --repeat 20 --warmup 1 --no-plots --bin "$bin" --out "$work/source" >/dev/null
fi

# One rendering: "peak_kib wall_seconds cpu_seconds" of `report` of a fresh copy of the store
# (the CPU time, user and system, says more than the wall time on a loaded machine).
render() {
  local kernelscope=$1 store=$2 out=$3
  rm -rf -- "$out"
  mkdir -- "$out"
  cp -- "$store/results.db" "$out/results.db"
  /usr/bin/time -v -o "$out.time" "$kernelscope" report --no-plots "$out" >"$out.stdout" 2>&1 ||
    { echo "$0: report of $store failed; see $out.stdout" >&2; exit 1; }
  awk -F': ' '/Maximum resident set size/ { kib = $2 }
    /User time|System time/ { cpu += $2 }
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0
      for (i = 1; i <= n; i++) s = s * 60 + p[i] }
    END { print kib, s, cpu }' "$out.time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

same_files() {
  local a=$1 b=$2 f bad=0
  for f in results.json runs.csv summary.csv summary.md report.md report.html; do
    if ! cmp -s <(grep -v revision "$a/$f") <(grep -v revision "$b/$f"); then
      echo "DIFFERENT: $f" >&2
      bad=1
    fi
  done
  return $bad
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-9s %-6s %6s %9s %9s %9s %9s\n' runs build rounds peak_MiB wall_s cpu_s json_MiB
status=0
for n in $sizes; do
  store=$work/store-$n
  if [[ ! -f $store/results.db ]]; then
    "$here/make-store.sh" "$work/source" "$store" "$n" >/dev/null
  fi
  declare -A peaks=() walls=() cpus=()
  for ((r = 0; r < rounds; r++)); do
    for which in new ${baseline:+old}; do
      k=$bin/kernelscope
      [[ $which == old ]] && k=$baseline/kernelscope
      read -r kib secs cpu < <(render "$k" "$store" "$scratch/$which")
      peaks[$which]+="$kib "
      walls[$which]+="$secs "
      cpus[$which]+="$cpu "
    done
    if [[ -n $baseline && $r -eq 0 ]] && ! same_files "$scratch/new" "$scratch/old"; then
      status=1
    fi
  done
  for which in ${baseline:+old} new; do
    json=$(du -m "$scratch/$which/results.json" 2>/dev/null | cut -f1 || echo -)
    printf '%-9s %-6s %6s %9s %9s %9s %9s\n' "$n" "$which" "$rounds" \
      "$(tr ' ' '\n' <<<"${peaks[$which]}" | grep . | median | awk '{ printf "%.0f", $1 / 1024 }')" \
      "$(tr ' ' '\n' <<<"${walls[$which]}" | grep . | median)" \
      "$(tr ' ' '\n' <<<"${cpus[$which]}" | grep . | median)" "$json"
  done
  unset peaks walls cpus
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
