#!/usr/bin/env bash
# The main job end to end on the embedded defaults: makes a sample store
# file, starts the destination service, drains the file into it and shows the
# result.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target zento_sf_recover zento_sf_tool zento_arec

tool=$build/tools/sf_tool/zento_sf_tool
arec=$build/tools/arec/zento_arec
recover=$build/recover/zento_sf_recover

export ZENTO_HOME=${ZENTO_HOME:-$(mktemp -d /tmp/zento-demo.XXXXXX)}
export ZENTO_NODE=${ZENTO_NODE:-demonode}
mkdir -p "$ZENTO_HOME/data"
store=$ZENTO_HOME/data/ZENTO_STORE_${ZENTO_NODE}.DEMO
count=${DEMO_MESSAGES:-25}

echo "== Sample store file: $count GET replies in a 1 MiB ring file"
rm -f "$store"
"$tool" create "$store" --ring 1
"$tool" append "$store" --count "$count" --type get
"$tool" inspect "$store" | tail -n 4

echo
echo "== Destination service TSK_AREC"
received=$ZENTO_HOME/received.bin
rm -f "$received"
"$arec" --out "$received" --exit-on-eof >"$ZENTO_HOME/arec.out" 2>&1 &
arec_pid=$!
trap 'kill $arec_pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do grep -q ready "$ZENTO_HOME/arec.out" 2>/dev/null && break; sleep 0.1; done

echo
echo "== zento_sf_recover DEMO $store"
"$recover" DEMO "$store"
status=$?
wait "$arec_pid" || true
trap - EXIT

echo
echo "== What the destination received"
grep -c '^message' "$ZENTO_HOME/arec.out" | sed 's/^/messages received: /'
tail -n 1 "$ZENTO_HOME/arec.out"
echo
echo "== The store file's header after the run"
"$tool" inspect "$store" | head -n 24 || true
echo
echo "Logs: $ZENTO_HOME/log"
exit "$status"
