#!/usr/bin/env bash
# A large run store made from a small real one, for measuring what `kernelscope report` costs
# at scale: DEST/results.db holds SRC's configurations, each planned for about RUNS / C
# measured runs (C configurations, rounds interleaved as a sweep plans them), every planned run
# completed by a copy of one of SRC's runs of the same configuration (cycling through them; its
# start shifted so that the runs follow one another), and SRC's command, machines and store row.
#
#   driver/bench/make-store.sh SRC_DIR DEST_DIR RUNS
#
# SRC_DIR holds a store of a sweep whose every configuration has at least one measured run;
# DEST_DIR is made (it must not exist). Needs sqlite3 (Debian package sqlite3). A benchmark's
# input, not a test; report-memory.sh makes its source store and calls it.
set -euo pipefail

if [[ $# -ne 3 ]]; then
  echo "usage: $0 SRC_DIR DEST_DIR RUNS" >&2
  exit 2
fi
src=$1
dest=$2
runs=$3
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
  echo "$0: RUNS must be a positive whole number, not '$runs'" >&2
  exit 2
fi
if [[ -e $dest ]]; then
  echo "$0: $dest exists" >&2
  exit 2
fi
mkdir -- "$dest"
sqlite3 "$src/results.db" ".backup '${dest//\'/\'\'}/results.db'"

sqlite3 "$dest/results.db" >/dev/null <<SQL
PRAGMA journal_mode = OFF;
PRAGMA synchronous = OFF;
BEGIN;
CREATE TEMP TABLE source AS
  SELECT r.*, p.config AS config,
         row_number() OVER (PARTITION BY p.config ORDER BY r.seq, r.host) - 1 AS k,
         count(*) OVER (PARTITION BY p.config) AS n
  FROM runs r JOIN plan p ON p.seq = r.seq WHERE p.warmup = 0;
CREATE TEMP TABLE shape AS
  SELECT (SELECT count(*) FROM configs) AS c,
         (($runs + (SELECT count(*) FROM configs) - 1) / (SELECT count(*) FROM configs)) AS r,
         (SELECT min(started_at) FROM runs) AS t0;
DELETE FROM runs;
DELETE FROM plan;
DELETE FROM files;
UPDATE configs SET repeat = (SELECT r FROM shape), warmup = 0;
WITH RECURSIVE seqs(seq) AS (SELECT 0 UNION ALL SELECT seq + 1 FROM seqs
                             WHERE seq + 1 < (SELECT c * r FROM shape))
INSERT INTO plan (seq, config, round, repetition, warmup)
  SELECT seq, seq % (SELECT c FROM shape), seq / (SELECT c FROM shape),
         seq / (SELECT c FROM shape), 0 FROM seqs;
INSERT INTO runs (seq, host, started_at, outcome, reason, printed_seconds, wall_seconds,
                  exit_status, signal, stdout, stderr, user_seconds, system_seconds,
                  peak_rss_kib, minor_faults, major_faults, voluntary_switches,
                  involuntary_switches, perf_task_clock_ns, perf_page_faults,
                  perf_context_switches, perf_migrations, perf_cycles, perf_instructions,
                  perf_cache_references, perf_cache_misses, perf_branch_misses)
  SELECT p.seq, s.host, (SELECT t0 FROM shape) + p.seq * 0.002, s.outcome, s.reason,
         s.printed_seconds, s.wall_seconds, s.exit_status, s.signal, s.stdout, s.stderr,
         s.user_seconds, s.system_seconds, s.peak_rss_kib, s.minor_faults, s.major_faults,
         s.voluntary_switches, s.involuntary_switches, s.perf_task_clock_ns,
         s.perf_page_faults, s.perf_context_switches, s.perf_migrations, s.perf_cycles,
         s.perf_instructions, s.perf_cache_references, s.perf_cache_misses,
         s.perf_branch_misses
  FROM plan p JOIN source s ON s.config = p.config AND s.k = p.round % s.n
  ORDER BY p.seq;
COMMIT;
VACUUM;
PRAGMA journal_mode = WAL;
SQL
echo "$dest/results.db: $(sqlite3 "$dest/results.db" 'SELECT count(*) FROM runs') runs of" \
  "$(sqlite3 "$dest/results.db" 'SELECT count(*) FROM configs') configurations," \
  "$(du -k "$dest/results.db" | cut -f1) KiB"
