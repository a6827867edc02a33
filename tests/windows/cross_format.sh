#!/usr/bin/env bash
# Store files cross between the Linux and the Windows build: a file written by
# either build's store file tool is inspected alike by both, and drained by
# each build's recovery into that build's zento_arec with the same exit code,
# the same console lines (the Windows ones end in CR LF), the same messages
# received and the same bytes left in the file.
#
#   tests/windows/cross_format.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
#
# The Windows programs run under Wine (WINEPREFIX as the caller set it) and
# see the same paths, / being drive Z:.
set -euo pipefail
win=$(realpath "$1")
linux=$(realpath "$2")
work=$(mktemp -d /tmp/zento-cross.XXXXXX)
trap 'rm -rf "$work"' EXIT
export ZENTO_NODE=crossnode WINEDEBUG=${WINEDEBUG:--all}
failures=0

# program BUILD NAME: the command line that runs NAME of that build.
program() {
  local dir=$linux exe="" prefix=()
  [ "$1" = windows ] && { dir=$win; exe=.exe; prefix=(wine); }
  case $2 in
    tool) echo "${prefix[*]} $dir/tools/sf_tool/zento_sf_tool$exe" ;;
    arec) echo "${prefix[*]} $dir/tools/arec/zento_arec$exe" ;;
    recover) echo "${prefix[*]} $dir/recover/zento_sf_recover$exe" ;;
  esac
}

fail() {
  echo "cross_format: $*" >&2
  failures=$((failures + 1))
}

# The same file of either build, compared after CRs are dropped.
same() {
  if ! diff <(tr -d '\r' <"$2") <(tr -d '\r' <"$3") >"$work/diff"; then
    fail "$1 differ:"
    cat "$work/diff" >&2
  fi
}

# make BUILD FILE: a ring file with 20 GET replies and 3 unsolicited ones.
make_store() {
  local tool
  tool=$(program "$1" tool)
  ZENTO_HOME=$work/home-$1 $tool create "$2" --ring 1 >/dev/null
  ZENTO_HOME=$work/home-$1 $tool append "$2" --count 20 >/dev/null
  ZENTO_HOME=$work/home-$1 $tool append "$2" --count 3 --type uns --size 2000 >/dev/null
}

# drain BUILD FILE RESULT: a copy of FILE drained by that build; RESULT.*
# keep what the run printed and left.
drain() {
  local build=$1 result=$3 home=$work/home-$1 arec recover
  arec=$(program "$build" arec)
  recover=$(program "$build" recover)
  cp "$2" "$work/drained.dat"
  rm -f "$result.arec"
  ZENTO_HOME=$home $arec --exit-on-eof >"$result.arec" 2>&1 &
  local arec_pid=$!
  for _ in $(seq 600); do grep -q ready "$result.arec" 2>/dev/null && break; sleep 0.1; done
  local code=0
  ZENTO_HOME=$home $recover CROSS "$work/drained.dat" >"$result.out" 2>"$result.err" || code=$?
  echo "$code" >"$result.code"
  wait "$arec_pid" || fail "$build zento_arec ended with $?"
  cp "$work/drained.dat" "$result.dat"
}

make_store linux "$work/linux-written.dat"
make_store windows "$work/windows-written.dat"

for written in linux windows; do
  file=$work/$written-written.dat
  for build in linux windows; do
    code=0
    ZENTO_HOME=$work/home-$build $(program $build tool) inspect "$file" >"$work/inspect-$build" 2>&1 || code=$?
    [ "$code" = 0 ] || fail "$build inspect of the $written-written file exits with $code"
    drain "$build" "$file" "$work/$written-by-$build"
  done
  same "inspections of the $written-written file" "$work/inspect-linux" "$work/inspect-windows"
  for part in code out err arec; do
    same "the recoveries' $part of the $written-written file" "$work/$written-by-linux.$part" \
      "$work/$written-by-windows.$part"
  done
  [ "$(cat "$work/$written-by-linux.code")" = 0 ] || fail "the recovery of the $written-written file did not end with 0"
  grep -q '^message 23:' "$work/$written-by-linux.arec" || fail "zento_arec did not receive the 23 messages"
  cmp -s "$work/$written-by-linux.dat" "$work/$written-by-windows.dat" ||
    fail "the $written-written file differs after the two recoveries"
  grep -q $'\r$' "$work/$written-by-windows.out" || fail "the Windows recovery's lines do not end in CR LF"
done

if [ "$failures" -gt 0 ]; then
  echo "cross_format: $failures check(s) failed" >&2
  exit 1
fi
echo "cross_format: store files written by either build are read and drained alike by both"
