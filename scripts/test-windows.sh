#!/usr/bin/env bash
# The Windows build and its tests: cross-builds every program and test for
# 32-bit Windows with MinGW-w64 (warnings are errors), runs the test suite
# under Wine, and checks that store files cross between the Linux and the
# Windows build. Exits non-zero when a build or a test fails or none ran.
# The tests Wine cannot run: tests/windows/not-under-wine.txt.
#
#   WIN_BUILD_DIR    the Windows build (build-win32)
#   LINUX_BUILD_DIR  the Linux build the cross-format check takes its
#                    programs from (build, as scripts/test.sh makes it)
#   BUILD_TYPE       RelWithDebInfo by default, for both
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
./scripts/install-deps.sh
./scripts/install-windows-deps.sh
build=${WIN_BUILD_DIR:-build-win32}
linux_build=${LINUX_BUILD_DIR:-build}
build_type=${BUILD_TYPE:-RelWithDebInfo}
mkdir -p "$build"
build=$(realpath "$build")

# GoogleTest for the target, from Debian's sources, once per build directory.
gtest=$build/googletest
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" -DCMAKE_INSTALL_PREFIX="$gtest" \
    -DBUILD_GMOCK=OFF >/dev/null
  cmake --build "$build/googletest-build"
  cmake --install "$build/googletest-build" >/dev/null
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE="$build_type" -DCMAKE_PREFIX_PATH="$gtest" -DZENTO_WERROR=ON -DZENTO_BENCH=OFF
cmake --build "$build"

# A 64-bit Wine prefix of the build's own, made once: the programs run there
# as 32-bit processes on 64-bit Windows do. No Mono or Gecko is installed.
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || wineboot --init
wineserver --wait
# One test at a time: the named mutexes are the system's, shared by all.
wine_ok=0
ctest --test-dir "$build" --output-on-failure --no-tests=error || wine_ok=$?

# The Linux programs for the cross-format check (no work when scripts/test.sh
# has built them).
cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" -DZENTO_WERROR=ON >/dev/null
cmake --build "$linux_build" --target zento_sf_recover zento_sf_tool zento_arec
cross_ok=0
tests/windows/cross_format.sh "$build" "$linux_build" || cross_ok=$?
wineserver --kill || true
[ "$wine_ok" -eq 0 ] && [ "$cross_ok" -eq 0 ]
