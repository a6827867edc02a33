#!/usr/bin/env bash
# Builds the whole project and its tests with AddressSanitizer (leak checks
# included) and UndefinedBehaviorSanitizer, with clang so that CI also proves
# the tree warning-free under a second compiler, and runs every test. Any
# sanitizer report fails the run, also one from a child process whose exit
# code a test does not look at: reports go to files that are checked at the
# end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build-sanitize}
jobs=${JOBS:-2}

# -O1 keeps the instrumented tests fast enough for CI; the frame pointers
# and -g keep the reports readable.
cmake -S . -B "$build" -G Ninja \
  -DCMAKE_CXX_COMPILER="${SANITIZE_CXX:-clang++}" \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DZENTO_SANITIZE=ON -DZENTO_WERROR=ON ${CMAKE_ARGS:-}
cmake --build "$build" -j "$jobs"

reports=$(mktemp -d "${TMPDIR:-/tmp}/zento-sanitize.XXXXXX")
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="log_path=$reports/lsan"

status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" ${CTEST_ARGS:-} || status=$?

shopt -s nullglob
found=("$reports"/*)
if ((${#found[@]})); then
  echo "Sanitizer reports:"
  for f in "${found[@]}"; do
    echo "---- $f"
    cat "$f"
  done
  status=1
fi
exit "$status"
