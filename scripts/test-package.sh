#!/usr/bin/env bash
# Installs the programs into a temporary prefix and runs the installed ones (a
# whole recovery among them), then builds the Debian package and lists its
# control fields and contents. BUILD_DIR names a build directory to use
# (build by default; configured and built when it is not yet).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DZENTO_WERROR=ON
fi
cmake --build "$build"

work=$(mktemp -d "${TMPDIR:-/tmp}/zento-package.XXXXXX")
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
programs=(zento_sf_recover zento_sf_tool zento_arec zento_snf_tool)
docdir=share/doc/zento-sf-recover

check_tree() {  # check_tree ROOT: the programs and the documentation are there
  for p in "${programs[@]}"; do [[ -x $1/bin/$p ]] || { echo "missing: $1/bin/$p"; exit 1; }; done
  for f in README.md docs/reliability.md; do [[ -f $1/$docdir/$f ]] || { echo "missing: $1/$docdir/$f"; exit 1; }; done
}

echo "== cmake --install into $work/prefix"
cmake --install "$build" --prefix "$work/prefix"
check_tree "$work/prefix"
for p in "${programs[@]}"; do "$work/prefix/bin/$p" --version; done

echo "== a recovery by the installed programs"
export ZENTO_HOME=$work/home ZENTO_NODE=packagecheck
bin=$work/prefix/bin
"$bin/zento_sf_tool" create "$work/store.dat"
"$bin/zento_sf_tool" append "$work/store.dat" --count 5
"$bin/zento_arec" --exit-on-eof --out "$work/received.bin" > "$work/arec.out" &
arec=$!
for _ in $(seq 100); do grep -q ready "$work/arec.out" && break; sleep 0.1; done
"$bin/zento_sf_recover" svc "$work/store.dat"
wait "$arec"
"$bin/zento_sf_tool" inspect --summary "$work/store.dat" | grep -q 'forwards 0 message'

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/package")
deb=$(ls "$work"/package/zento-sf-recover_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
dpkg-deb --field "$deb" Depends | grep -q libsqlite3
dpkg-deb -x "$deb" "$work/unpacked"
check_tree "$work/unpacked/usr"
"$work/unpacked/usr/bin/zento_sf_recover" --version
echo "package check: passed ($(basename "$deb"))"
