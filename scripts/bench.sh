#!/usr/bin/env bash
# Builds the benchmarks on a Release build, runs every one of them, one after
# the other, and prints one table of their figures, each set against its bound.
# Each benchmark prints a "share | ..." line per figure (bench/share_line.h);
# a benchmark that prints none gets a row pointing at its output. The whole
# output of each benchmark is kept in the log directory.
#
#   scripts/bench.sh [--quick] [--max-load L] [--no-wait]
#
#   --quick       smaller runs (a 256 MiB scan, 20,000 recovered messages): a
#                 check that everything runs, not figures to quote
#   --max-load L  first wait, up to 30 minutes, until the 1-minute load average
#                 is below L (default 1.5): the figures are only as good as the
#                 machine is quiet
#   --no-wait     do not wait for the load
#
# BENCH_BUILD_DIR (default build-bench) is the build directory, BENCH_LOG_DIR
# (default BENCH_BUILD_DIR/bench-logs) where the outputs go.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
max_load=1.5
wait_load=1
while (($#)); do
  case "$1" in
    --quick) quick=1 ;;
    --max-load) max_load=$2; shift ;;
    --no-wait) wait_load=0 ;;
    *) echo "usage: scripts/bench.sh [--quick] [--max-load L] [--no-wait]" >&2; exit 2 ;;
  esac
  shift
done

build=${BENCH_BUILD_DIR:-build-bench}
logs=${BENCH_LOG_DIR:-$build/bench-logs}

./scripts/install-deps.sh
# The recovery benchmark counts system calls with strace.
if ! command -v strace >/dev/null 2>&1; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq strace || echo "strace missing: no system call counts"
fi

# Warnings do not stop a measurement; the test scripts are where they fail.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZENTO_WERROR=OFF -DZENTO_BENCH=ON >/dev/null
mapfile -t benches < <(find bench -maxdepth 1 -name '*_bench.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
mkdir -p "$logs"
# One target at a time: a benchmark that does not build is reported, and the
# others still run.
failed=()
for b in "${benches[@]}"; do
  cmake --build "$build" --target "$b" >"$logs/$b.build.log" 2>&1 || failed+=("$b (build: $logs/$b.build.log)")
done

load() { cut -d' ' -f1 /proc/loadavg; }
if ((wait_load)); then
  for ((i = 0; i < 180; ++i)); do
    awk -v l="$(load)" -v m="$max_load" 'BEGIN { exit !(l < m) }' && break
    ((i % 6)) || echo "waiting for the load average ($(load)) to drop below $max_load"
    sleep 10
  done
fi
load_before=$(load)

# The known benchmarks first, in the order of the table, then any other.
order=(crc_bench scan_bench recovery_bench snf_bench diag_reports_bench)
for b in "${benches[@]}"; do
  [[ " ${order[*]} " == *" $b "* ]] || order+=("$b")
done

args_for() {
  case "$1" in
    scan_bench) ((quick)) && echo "--size-mb=256" ;;
    recovery_bench) ((quick)) && echo "--messages 20000 --small 5000" ;;
    snf_bench) echo "--dir=${TMPDIR:-/var/tmp}" ;;
  esac
  return 0
}

rows=()
for b in "${order[@]}"; do
  exe="$build/bench/$b"
  [ -x "$exe" ] || continue
  read -r -a args <<<"$(args_for "$b")"
  echo "== $b ${args[*]}"
  start=$SECONDS
  if ! "$exe" "${args[@]}" >"$logs/$b.log" 2>&1; then
    failed+=("$b")
  fi
  echo "   $((SECONDS - start)) s, load $(load)"
  mapfile -t lines < <(grep '^share | ' "$logs/$b.log" | sed 's/^share \(.*\)$/\1 |/')
  if ((${#lines[@]})); then
    rows+=("${lines[@]}")
  else
    rows+=("| $b | no share line: see $logs/$b.log | | | | |")
  fi
done

echo
echo "| figure | measured | bound | share | goal | met |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "Release build ($(${CXX:-c++} --version | head -1)), $(nproc) CPUs ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')),"
echo "$(date -u +%Y-%m-%d), load average $load_before before the first benchmark, $(load) after the last."
if ((${#failed[@]})); then
  echo "failed: ${failed[*]} (see $logs)" >&2
  exit 1
fi
