#!/usr/bin/env bash
# Runs inside the Debian unstable root (scripts/sid-root.sh run), from the
# tree's root. Debian ships no free-threaded CPython, so its builds are only
# compiled and linked here: every source of src/ with g++ 16 against the
# CPython 3.14 and 3.15 headers, as src/CMakeLists.txt compiles it for a
# free-threaded interpreter (the full C API, no Py_LIMITED_API;
# Py_GIL_DISABLED, which that interpreter's pyconfig.h defines) and, for
# 3.15, for abi3t (Py_TARGET_ABI3T, its value from cmake/limited-api.cmake);
# crypto/, which includes no Python, once. A Release build's flags; any
# warning fails. Each module is linked from the objects CMake gives it, with
# its version script: it must export its entry point alone and leave
# undefined only the interpreter's symbols and versioned ones of the system
# libraries.
set -euo pipefail
OUT=${1:-build/test/sid-free-threaded}
abi3t=$(cmake -DQUORLIX_FREE_THREADED=1 -DSKBUILD_SABI_VERSION=3.15 -P cmake/limited-api.cmake)
export FLAGS="-std=c++20 -O3 -DNDEBUG -fPIC -fvisibility=hidden -fvisibility-inlines-hidden
  -Wall -Wextra -Werror -Isrc -Icrypto"
FORMS=(
  "3.14t:$(python3.14-config --includes) -DPy_GIL_DISABLED=1"
  "3.15t:$(python3.15-config --includes) -DPy_GIL_DISABLED=1"
  "3.15-abi3t:$(python3.15-config --includes) -DPy_GIL_DISABLED=1 -DPy_TARGET_ABI3T=$abi3t"
)

# compile DIR DEFINES SOURCE: its object in DIR; the diagnostics are shown,
# and fail it. FLAGS and DEFINES are split into words.
compile() {
  local out
  out=$(g++-16 $FLAGS $2 -c "$3" -o "$1/$(echo "${3%.cpp}" | tr / _).o" 2>&1) && [ -z "$out" ] && return
  printf '  %s with %s:\n%s\n' "$3" "${2:-no Python}" "$out"
  return 255 # xargs stops at the first failure
}
export -f compile

rm -rf "$OUT"
mkdir -p "$OUT/cores"
jobs=()
for f in crypto/*.cpp crypto/*/*.cpp; do jobs+=("$OUT/cores" "" "$f"); done
for form in "${FORMS[@]}"; do
  mkdir -p "$OUT/${form%%:*}"
  for f in src/*.cpp; do
    [[ $f == *_windows.cpp ]] || jobs+=("$OUT/${form%%:*}" "${form#*:}" "$f")
  done
done
printf '%s\0' "${jobs[@]}" | xargs -0 -n 3 -P "$(nproc)" bash -c 'compile "$@"' _

status=0
for form in "${FORMS[@]}"; do
  dir=$OUT/${form%%:*}
  for m in _quorlix _batch; do
    init=PyInit_$m
    [[ $dir != *abi3t ]] || init=PyModExport_$m
    if [ $m = _quorlix ]; then
      objects=($(ls "$dir"/*.o | grep -v '/src_batch'))
    else
      objects=($(ls "$dir"/*.o | grep -Ev '/src_(module|gensalt|hashpw|kdf|os_random_posix)\.o'))
    fi
    printf '{\n  global: %s;\n  local: *;\n};\n' "$init" >"$dir/$m.map"
    g++-16 -shared -o "$dir/$m.so" "${objects[@]}" "$OUT"/cores/*.o "-Wl,--version-script=$dir/$m.map" \
      -Wl,--exclude-libs,ALL
    exports=$(nm -D --defined-only "$dir/$m.so" | awk '{print $3}' | xargs)
    strays=$(nm -D --undefined-only "$dir/$m.so" | awk '$1 == "U" && $2 !~ /^_?Py|@/ {print $2}' | xargs)
    if [ "$exports" != "$init" ] || [ -n "$strays" ]; then
      echo "  ${form%%:*} $m: exports ${exports:-nothing}, undefined ${strays:-none} of its own"
      status=1
    fi
  done
done
[ $status = 0 ] && echo "  $((${#jobs[@]} / 3)) compiles, none warns; each module exports its entry point alone"
exit $status
