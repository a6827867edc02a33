#!/usr/bin/env bash
# The whole suite on a Release build with GCC: the optimizer's own warnings
# and the code as users build it.
set -euo pipefail
cd "$(dirname "$0")/.."
CXX=${CXX:-g++} BUILD_TYPE=Release BUILD_DIR=${RELEASE_BUILD_DIR:-build-release} exec ./scripts/test.sh
