#!/usr/bin/env bash
# Runs inside the Debian unstable root (scripts/sid-root.sh run), from the
# tree's root. Debian ships no free-threaded CPython, so its builds are only
# compiled here: every source of src/ with g++ 16 against the CPython 3.14
# and 3.15 headers, as src/CMakeLists.txt compiles it for a free-threaded
# interpreter (the full C API, no Py_LIMITED_API; Py_GIL_DISABLED, which
# that interpreter's pyconfig.h defines) and, for 3.15, for abi3t
# (Py_TARGET_ABI3T, its value from cmake/limited-api.cmake); crypto/, which
# includes no Python, once. A Release build's flags; any warning fails.
set -euo pipefail
abi3t=$(cmake -DQUORLIX_FREE_THREADED=1 -DSKBUILD_SABI_VERSION=3.15 -P cmake/limited-api.cmake)
export FLAGS="-std=c++20 -O3 -DNDEBUG -fPIC -fvisibility=hidden -fvisibility-inlines-hidden
  -Wall -Wextra -Werror -Isrc -Icrypto"
FORMS=(
  "$(python3.14-config --includes) -DPy_GIL_DISABLED=1"
  "$(python3.15-config --includes) -DPy_GIL_DISABLED=1"
  "$(python3.15-config --includes) -DPy_GIL_DISABLED=1 -DPy_TARGET_ABI3T=$abi3t"
)

# compile DEFINES SOURCE: the object is thrown away, the diagnostics kept;
# FLAGS and DEFINES are split into words.
compile() {
  local out
  out=$(g++-16 $FLAGS $1 -c "$2" -o /dev/null 2>&1) && [ -z "$out" ] && return
  printf '  %s with %s:\n%s\n' "$2" "${1:-no Python}" "$out"
  return 255 # xargs stops at the first failure
}
export -f compile

jobs=()
for f in crypto/*.cpp crypto/*/*.cpp; do jobs+=("" "$f"); done
for f in src/*.cpp; do
  [[ $f == *_windows.cpp ]] && continue
  for form in "${FORMS[@]}"; do jobs+=("$form" "$f"); done
done
printf '%s\0' "${jobs[@]}" | xargs -0 -n 2 -P "$(nproc)" bash -c 'compile "$@"' _
echo "  $((${#jobs[@]} / 2)) compiles, none warns"
