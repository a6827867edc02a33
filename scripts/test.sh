#!/usr/bin/env bash
# Builds everything and runs every test. Exits non-zero when a test fails or
# none ran. Warnings fail the build. BUILD_TYPE picks the configuration
# (RelWithDebInfo by default), BUILD_DIR the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DZENTO_WERROR=ON ${CMAKE_ARGS:-}
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j2 ${CTEST_ARGS:-}
