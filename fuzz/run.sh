#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a while, two at a time.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS defaults to 30 per target; TARGETs default to all of them:
# radix64, setting, sha512, pbkdf, lanes (libFuzzer over the C++ cores) and
# module_api (atheris over the extension module). Each starts from its seed
# corpus in fuzz/corpus/<target>; what it finds new goes to
# build/fuzz/corpus/<target>, crashes and hangs to build/fuzz/artifacts/<target>,
# and its output to build/fuzz/logs/<target>.log. Exits non-zero when any
# target found something. Needs clang, libclang-rt-14-dev and a Python with
# venv; scripts/harden.sh installs them.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-30}
shift || true
ALL=(radix64 setting sha512 pbkdf lanes module_api)
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL[@]}")

PYTHON=${PYTHON:-python3}
OUT=build/fuzz
VENV=$OUT/venv
mkdir -p "$OUT/logs"

needs_cpp=0
needs_python=0
for t in "${TARGETS[@]}"; do
  case "$t" in
    radix64|setting|sha512|pbkdf|lanes) needs_cpp=1 ;;
    module_api) needs_python=1 ;;
    *) echo "unknown fuzz target: $t" >&2; exit 2 ;;
  esac
done

if [ $needs_cpp -eq 1 ]; then
  echo "== fuzz: building the C++ targets"
  cmake -S fuzz -B "$OUT/cpp" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$OUT/cpp" >"$OUT/logs/build-cpp.log" 2>&1 || { cat "$OUT/logs/build-cpp.log"; exit 1; }
fi

if [ $needs_python -eq 1 ]; then
  echo "== fuzz: building the instrumented module for atheris"
  [ -x "$VENV/bin/python" ] || "$PYTHON" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$VENV/bin/python" -m pip install -q atheris numpy >/dev/null
  # atheris's runtime carries ASan, UBSan and libFuzzer of a newer LLVM; the
  # two checks whose handlers it lacks are left out.
  "$VENV/bin/python" -m pip install -q --force-reinstall --no-deps . \
    -C cmake.define.CMAKE_CXX_COMPILER=clang++ \
    -C "cmake.define.CMAKE_CXX_FLAGS=-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=function,vptr -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    -C cmake.build-type=RelWithDebInfo -C install.strip=false -C build-dir="$OUT/module" \
    >"$OUT/logs/build-module.log" 2>&1 || { cat "$OUT/logs/build-module.log"; exit 1; }
fi

run_target() {
  local t=$1
  local log=$OUT/logs/$t.log
  local work=$OUT/corpus/$t
  local artifacts=$OUT/artifacts/$t/
  mkdir -p "$work" "$artifacts"
  local flags=(-max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048
               -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "fuzz/corpus/$t")
  local status=0
  if [ "$t" = module_api ]; then
    local site
    site=$("$VENV/bin/python" -c "import atheris; print(atheris.path())")
    # The C++ runtime goes in early so the sanitizer can wrap its throw.
    LD_PRELOAD="$site/asan_with_fuzzer.so:$(g++ -print-file-name=libstdc++.so)" \
      ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$VENV/bin/python" fuzz/module_api.py "${flags[@]}" >"$log" 2>&1 || status=$?
  else
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$OUT/cpp/fuzz_$t" "${flags[@]}" >"$log" 2>&1 || status=$?
  fi
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  if [ $status -eq 0 ]; then
    echo "fuzz $t: ok, ${runs:-?} runs in ${SECONDS_EACH}s, ${cov:-cov: ?}"
  else
    echo "fuzz $t: FAILED (exit $status), see $log; inputs in $artifacts"
    grep -E "ERROR|property failed|Traceback|Error:|SUMMARY" "$log" | head -20 || true
  fi
  return $status
}

echo "== fuzz: ${TARGETS[*]}, ${SECONDS_EACH}s each"
pids=()
names=()
failed=0
for t in "${TARGETS[@]}"; do
  # Two at a time: one per core.
  if [ ${#pids[@]} -ge 2 ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
  run_target "$t" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done
exit $failed
