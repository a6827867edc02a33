#!/usr/bin/env bash
# Checks that every library folder includes, and links, only the folders below
# it. Prints each offending file:line with the rule it breaks and exits 1 when
# there is any. Runs as the CTest test "layering".
#
# Usage: scripts/check-layering.sh [source root]
#        scripts/check-layering.sh --self-test   (the check on a made-up tree)
set -euo pipefail
# Include and CMake lines are split into words, never globbed.
set -o noglob

if [[ ${1:-} == --self-test ]]; then
  tree=$(mktemp -d "${TMPDIR:-/tmp}/zento-layering.XXXXXX")
  trap 'rm -rf "$tree"' EXIT
  put() { mkdir -p "$(dirname "$tree/$1")" && printf '%b' "$2" > "$tree/$1"; }
  # Allowed: own folder, lower folders, system headers, comments, a quoted
  # name beside the file, and anything from tests/.
  put platform/a.h '#include <sys/stat.h>\n#include "a.h"\n// #include "recover/r.h"\n'
  put snf/s.cpp '#include "diag/d.h"\n#include "lists/l.h"\n#include "snf/s.h"\n'
  put tests/t.cpp '#include "recover/r.h"\n'
  put recover/r.h '' && put storefile/f.h ''
  put lists/CMakeLists.txt 'zento_library(zento_lists\n  DEPS zento_storefile Threads::Threads\n  EXCLUDE zento_recover)\n'
  # Refused: upward, sideways, into tools/ or tests/, by any spelling.
  put platform/b.cpp '\n#include "storefile/f.h"\n  #  include <recover/r.h>\n#include "../recover/r.h"\n'
  put msglib/sub/m.cpp '#include "tests/t.cpp"\n'
  put lists/l.h '#include "diag/d.h"\n'
  put forward/CMakeLists.txt 'zento_library(zento_forward DEPS zento_storefile\n  zento_recover zento_test_support)\n'
  expected="platform/b.cpp:2: includes storefile/f.h; platform/ may use only: platform
platform/b.cpp:3: includes recover/r.h; platform/ may use only: platform
platform/b.cpp:4: includes ../recover/r.h; platform/ may use only: platform
msglib/sub/m.cpp:1: includes tests/t.cpp; msglib/ may use only: platform, msglib
forward/CMakeLists.txt:2: links zento_recover; forward/ may use only: platform, msglib, storefile, forward
forward/CMakeLists.txt:2: links zento_test_support; forward/ may use only: platform, msglib, storefile, forward
lists/l.h:1: includes diag/d.h; lists/ may use only: platform, msglib, storefile, lists
7 layering violation(s)"
  status=0
  actual=$(bash "$0" "$tree") || status=$?
  if [[ $status -ne 1 || $actual != "$expected" ]]; then
    echo "self-test failed (exit $status); expected:"
    echo "$expected"
    echo "got:"
    echo "$actual"
    exit 1
  fi
  echo "layering self-test: passed"
  exit 0
fi

root=$(cd "${1:-$(dirname "$0")/..}" && pwd)

# The folders each library folder may include. Folders not named here
# (tools/, tests/, bench/, fuzz/) may include anything.
declare -A allowed=(
  [platform]="platform"
  [msglib]="platform msglib"
  [storefile]="platform msglib storefile"
  [forward]="platform msglib storefile forward"
  [recover]="platform msglib storefile forward recover"
  [lists]="platform msglib storefile lists"
  [diag]="platform msglib storefile lists diag"
  [snf]="platform msglib storefile lists diag snf"
  [scanlist]="platform msglib storefile lists diag snf scanlist"
)

# Lowest first, so that the report reads in that order.
folders=(platform msglib storefile forward recover lists diag snf scanlist)
violations=0

# allows FOLDER TARGET: whether FOLDER may use TARGET.
allows() {
  local f
  for f in ${allowed[$1]}; do
    [[ $f == "$2" ]] && return 0
  done
  return 1
}

report() {  # report WHERE WHAT FOLDER
  echo "$1: $2; $3/ may use only: ${allowed[$3]// /, }"
  violations=$((violations + 1))
}

# The top folder of the project file an include names, or nothing when it
# names no file of the project (a system or third-party header); a library
# folder counts even before it exists. A quoted include is looked up beside
# the including file first, as the compiler does.
include_target() {  # include_target FILE_DIR QUOTE PATH
  local resolved=""
  if [[ $2 == '"' && -e "$1/$3" ]]; then
    resolved=$(realpath -m "$1/$3")
  elif [[ $3 == */* ]] && [[ -d $root/${3%%/*} || -n ${allowed[${3%%/*}]+x} ]]; then
    resolved=$(realpath -m "$root/$3")
  fi
  [[ -n $resolved && $resolved == "$root"/*/* ]] || return 0
  resolved=${resolved#"$root"/}
  echo "${resolved%%/*}"
}

for folder in "${folders[@]}"; do
  [[ -d $root/$folder ]] || continue
  while IFS= read -r -d '' file; do
    rel=${file#"$root"/}
    dir=$(dirname "$file")
    # Lines of the form: N:#include "path" (or <path>).
    while IFS= read -r hit; do
      line=${hit%%:*}
      directive=${hit#*:}
      if [[ $directive =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([\"\<])([^\"\>]+)[\"\>] ]]; then
        quote=${BASH_REMATCH[1]}
        path=${BASH_REMATCH[2]}
        target=$(include_target "$dir" "$quote" "$path")
        if [[ -n $target ]] && ! allows "$folder" "$target"; then
          report "$rel:$line" "includes $path" "$folder"
        fi
      fi
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include' "$file" || true)
  done < <(find "$root/$folder" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cc' \
             -o -name '*.inc' -o -name '*.ipp' \) -print0 | sort -z)

  # The folder's library links only libraries of the folders it may use.
  cmake_file=$root/$folder/CMakeLists.txt
  [[ -f $cmake_file ]] || continue
  in_call=0 in_deps=0 line=0
  while IFS= read -r text; do
    line=$((line + 1))
    if ((!in_call)); then
      [[ $text == *zento_library\(* ]] || continue
      in_call=1 text=${text#*zento_library\(}
    fi
    # The call's arguments run to the first ')', over as many lines as it takes.
    for word in ${text%%)*}; do
      case $word in
        DEPS) in_deps=1 ;;
        EXCLUDE) in_deps=0 ;;
        zento_*)
          if ((in_deps)) && { [[ -z ${allowed[${word#zento_}]+x} ]] || ! allows "$folder" "${word#zento_}"; }; then
            report "$folder/CMakeLists.txt:$line" "links $word" "$folder"
          fi
          ;;
      esac
    done
    [[ $text == *\)* ]] && break
  done < "$cmake_file"
done

if ((violations)); then
  echo "$violations layering violation(s)"
  exit 1
fi
echo "layering: no violations"
