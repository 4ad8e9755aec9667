#!/usr/bin/env bash
# The benchmark of both extractions on the embedded engine. For each size (voucher
# lines) it creates the demo account set, times `tallyport cashvouch` and a backfill
# `tallyport summary` over the year end to end with their peak memory, and on a copy
# of the same data times the set-based SQL of bench/reference_*.sql, which builds the
# same rows directly in SQLite. The two results are then compared row by row (every
# column but ID, amounts at four decimals); any difference, or any failed step, ends
# the benchmark with a non-zero status. Timings are reported, never judged here.
#
# Usage: bench/run_bench.sh [--short] [--build DIR] [--sizes "N N ..."] [--seed S]
#                           [--record] [--keep]
#   --short   sizes 10000 and 100000 (the default is 10000 100000 1000000)
#   --build   build directory holding bin/tallyport (default: build)
#   --record  append the figures, with date and machine, to bench/RESULTS.md
#   --keep    keep the work directory (printed at the end)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

sizes="10000 100000 1000000"
layer_args=()
build=build
seed=20060101
record=0
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --short) sizes="10000 100000"; layer_args=(--walk-rows 100000) ;;
    --build) build=$2; shift ;;
    --sizes) sizes=$2; shift ;;
    --seed) seed=$2; shift ;;
    --record) record=1 ;;
    --keep) keep=1 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "run_bench: unknown argument $1" >&2; exit 64 ;;
  esac
  shift
done

tallyport=$root/$build/bin/tallyport
[ -x "$tallyport" ] || { echo "run_bench: $tallyport not built" >&2; exit 1; }

# GNU time reports the peak resident set; the sqlite3 shell runs the reference.
need=()
[ -x /usr/bin/time ] || need+=(time)
command -v sqlite3 >/dev/null || need+=(sqlite3)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tallyport-bench.XXXXXX")
cleanup() { if [ "$keep" -eq 0 ]; then rm -rf "$work"; fi; }
trap cleanup EXIT
# Nothing registered: the program loads the edition library installed beside it.
export TALLYPORT_REGISTRY=$work/registry

begin=2006-01-01
end=2006-12-31
run_values="CREATE TEMP TABLE run AS SELECT '$begin 00:00:00' AS begin_date, '$end 00:00:00' AS end_date,
            '001' AS acc_id, 2006 AS year;"

# Runs a command under GNU time; sets $secs (wall clock, microsecond clock) and $rss_mib.
timed() {
  local name=$1; shift
  local t0=$EPOCHREALTIME
  if ! /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err"; then
    echo "run_bench: $name failed:" >&2
    cat "$work/$name.err" "$work/$name.out" >&2
    exit 1
  fi
  local t1=$EPOCHREALTIME
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  rss_mib=$(awk -F': ' '/Maximum resident set size/ { printf "%.1f", $2 / 1024 }' "$work/$name.time")
}

# Every column but ID as text, amounts at four decimals, NULL marked, sorted.
amount() { echo "CASE WHEN $1 IS NULL THEN NULL ELSE replace(printf('%.4f', round($1, 4)), '-0.0000', '0.0000') END"; }
dump_cash="SELECT Date, AccountTime, VouchId, Code_No, cComCode, DepartmentName, CustomerName, SupplierName,
  EmployeeName, ItemName, CashItemId, $(amount NatInMoney), $(amount NatOutMoney)
  FROM Temp_ETL_GL_CashVouch ORDER BY 1,2,3,4,5,6,7,8,9,10,11,12,13;"
dump_sum="SELECT Date, AccountTime, Code_No, cComCode, DepartmentID, CustomerID, SupplierID, EmployeeID, cItem_id,
  cItem_class, CurrencyID, $(amount mb), $(amount mb_f), $(amount md), $(amount md_f), $(amount mc),
  $(amount mc_f), $(amount me), $(amount me_f)
  FROM Temp_Etl_GL_Sum ORDER BY 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19;"

# Compares one table of both runs; sets $rows.
compare() {
  local what=$1 sql=$2
  sqlite3 -cmd ".nullvalue <null>" "$work/tp/olap.db" "$sql" >"$work/$what.tallyport.txt"
  sqlite3 -cmd ".nullvalue <null>" "$work/ref/olap.db" "$sql" >"$work/$what.reference.txt"
  rows=$(wc -l <"$work/$what.tallyport.txt")
  if ! cmp -s "$work/$what.tallyport.txt" "$work/$what.reference.txt"; then
    echo "run_bench: $what: tallyport and the reference differ (< tallyport, > reference):" >&2
    diff "$work/$what.tallyport.txt" "$work/$what.reference.txt" | head -20 >&2 || true
    keep=1
    echo "run_bench: data kept in $work" >&2
    exit 1
  fi
  if [ "$rows" -eq 0 ]; then echo "run_bench: $what: no rows to compare" >&2; exit 1; fi
}

declare -A T R M N
prev=""
report=$work/report.md
{
  echo "| voucher lines | extraction | rows | tallyport s | reference s | ratio | tallyport peak MiB | time growth |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|"
} >"$report"

for size in $sizes; do
  rm -rf "$work/tp" "$work/ref"
  # About 4.5 lines per voucher.
  timed demo "$tallyport" demo "$work/tp" --vouchers $(( (size * 2 + 8) / 9 )) --seed "$seed"
  lines=$(sqlite3 "$work/tp/vxdata_001_2006.db" "select count(*) from gl_accvouch")
  echo "== $size: $lines voucher lines, $(sqlite3 "$work/tp/vxdata_001_2006.db" "select count(*) from gl_cashtable") cash lines (demo data made in ${secs} s)"
  cp -r "$work/tp" "$work/ref"
  args=(--acc-server "$work/tp" --acc-db vxdata_001_2006 --olap-server "$work/tp" --olap-db olap
        --begin "$begin" --end "$end" --quiet)
  attach="ATTACH '$work/ref/vxdata_001_2006.db' AS acc; ATTACH '$work/ref/vxsystem.db' AS sys; $run_values"

  for ex in cashvouch summary; do
    timed "$ex-$size" "$tallyport" "$ex" "${args[@]}"
    T[$ex,$size]=$secs; M[$ex,$size]=$rss_mib
    timed "$ex-$size-reference" sqlite3 -bail -cmd "$attach" "$work/ref/olap.db" ".read $root/bench/reference_$ex.sql"
    R[$ex,$size]=$secs
  done
  compare cashvouch "$dump_cash"; N[cashvouch,$size]=$rows
  compare summary "$dump_sum"; N[summary,$size]=$rows

  for ex in cashvouch summary; do
    ratio=$(awk -v a="${T[$ex,$size]}" -v b="${R[$ex,$size]}" 'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')
    growth="-"
    if [ -n "$prev" ]; then
      growth=$(awk -v a="${T[$ex,$size]}" -v b="${T[$ex,$prev]}" 'BEGIN { printf "%.1fx", (b > 0 ? a / b : 0) }')
    fi
    printf "   %-9s rows %8d  tallyport %8.3f s  reference %7.3f s  ratio %6sx  peak %7s MiB  growth %s\n" \
      "$ex" "${N[$ex,$size]}" "${T[$ex,$size]}" "${R[$ex,$size]}" "$ratio" "${M[$ex,$size]}" "$growth"
    echo "| $lines | $ex | ${N[$ex,$size]} | ${T[$ex,$size]} | ${R[$ex,$size]} | ${ratio}x | ${M[$ex,$size]} | $growth |" >>"$report"
  done
  echo "   results identical to the reference"
  prev=$size
done

# The data layer's own cost: a look-up and a single-row update through the whole
# layer against the same statements prepared once and bound directly in SQLite.
layer_bench=$root/$build/bin/layer_bench
layer_ratio=""
if [ -x "$layer_bench" ]; then
  (cd "$work" && "$layer_bench" "${layer_args[@]}") >"$work/layer.out" 2>&1 || { cat "$work/layer.out" >&2; exit 1; }
  layer_ratio=$(sed -n 's/^ratio (layer time \/ direct time): \([0-9.]*\).*/\1/p' "$work/layer.out")
  echo "== data layer: $(grep -E '^(direct SQLite|data layer):' "$work/layer.out" | tr -s ' ' | paste -sd ';' -), ratio ${layer_ratio}x"
fi

# The goals, where the sizes they speak of were run.
goals=$work/goals.md
: >"$goals"
for ex in cashvouch summary; do
  if [ -n "${T[$ex,100000]:-}" ]; then
    awk -v ex=$ex -v a="${T[$ex,100000]}" -v b="${R[$ex,100000]}" 'BEGIN {
      r = a / b; printf "- %s at 100,000 lines within 3x the reference: %.1fx, %s\n", ex, r, r <= 3 ? "met" : "missed" }' >>"$goals"
  fi
  if [ -n "${T[$ex,1000000]:-}" ] && [ -n "${T[$ex,100000]:-}" ]; then
    awk -v ex=$ex -v a="${T[$ex,1000000]}" -v b="${T[$ex,100000]}" 'BEGIN {
      g = a / b; printf "- %s time growth 100,000 -> 1,000,000 at most 11x: %.1fx, %s\n", ex, g, g <= 11 ? "met" : "missed" }' >>"$goals"
  fi
  if [ -n "${M[$ex,1000000]:-}" ]; then
    awk -v ex=$ex -v m="${M[$ex,1000000]}" 'BEGIN {
      printf "- %s peak memory at 1,000,000 lines at most 100 MiB: %.1f MiB, %s\n", ex, m, m <= 100 ? "met" : "missed" }' >>"$goals"
  fi
done
if [ -n "$layer_ratio" ]; then
  awk -v r="$layer_ratio" 'BEGIN { printf "- data layer at most 2x direct SQLite per statement: %.2fx, %s\n", r, r <= 2 ? "met" : "missed" }' >>"$goals"
fi
if [ -s "$goals" ]; then echo "goals:"; sed 's/^/  /' "$goals"; fi

if [ "$record" -eq 1 ]; then
  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$root/$build/CMakeCache.txt" 2>/dev/null || true)
  {
    echo
    echo "## $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
    echo
    echo "Build ${build_type:-unknown} ($build), seed $seed, commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)."
    echo "Results identical to the reference at every size."
    echo
    cat "$report"
    echo
    cat "$goals"
  } >>"$root/bench/RESULTS.md"
  echo "recorded in bench/RESULTS.md"
fi
if [ "$keep" -eq 1 ]; then echo "work directory: $work"; fi
