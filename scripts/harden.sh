#!/usr/bin/env bash
# The hardening checks that need builds of their own:
#   sanitize-cpp     the C++ unit tests under AddressSanitizer,
#                    UndefinedBehaviorSanitizer and LeakSanitizer (clang),
#                    with the plain C++ Blowfish round
#   sanitize-python  the Python tests of the module against an ASan+UBSan build
#                    of the extension (g++), the runtime preloaded
#   fuzz             every fuzz target for FUZZ_SECONDS (default 15) each
#   valgrind         the hash comparison with its inputs marked undefined,
#                    and part of the Python tests, under memcheck: no
#                    data-dependent branch or address in the comparison, no
#                    definite leak and no error with a frame in the module
#
#   scripts/harden.sh [STAGE...]      (all stages when none is named)
#
# Installs what it needs. Every stage runs even when one before it failed;
# the exit status is non-zero if any failed. Outputs go to build/harden/.
set -uo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
FUZZ_SECONDS=${FUZZ_SECONDS:-15}
OUT=build/harden
STAGES=("$@")
[ ${#STAGES[@]} -gt 0 ] || STAGES=(sanitize-cpp sanitize-python fuzz valgrind)
mkdir -p "$OUT"

scripts/apt-install.sh clang libclang-rt-14-dev valgrind binutils libgtest-dev cmake ninja-build g++

SANITIZE="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# Line tables are all a report needs; full debug information of the
# sanitized lanes (blowfish.cpp) took clang 518 s to compile and g++ 167 s,
# line tables 112 s and 20 s.
LINES_CLANG="-O2 -gline-tables-only -DNDEBUG"
LINES_GCC="-O2 -g1 -DNDEBUG"

# The C++ unit tests, with leak detection. Built with clang: g++ 12 drops a
# flags dependency in the null check of thread_local accesses and reports
# null loads of the attach count that do not happen. The sanitizers cannot
# see inside inline asm, so the Blowfish round is the plain C++ one (the
# one every other processor runs); all else is the code the module has.
sanitize_cpp() {
  local build=$OUT/sanitize-cpp
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DQUORLIX_BUILD_TESTS=ON -DQUORLIX_ASM=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$SANITIZE" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$LINES_CLANG" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null || return 1
  cmake --build "$build" >"$OUT/sanitize-cpp-build.log" 2>&1 || { cat "$OUT/sanitize-cpp-build.log"; return 1; }
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp" \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$build" --output-on-failure -j2
}

# The Python suite against the extension built with g++ as the wheel is,
# plus ASan and UBSan; not the packaging, typing and command-line tests,
# which build distributions or run only Python code around the module. The interpreter is not instrumented, so the ASan
# runtime is preloaded, with libstdc++ so that it can wrap the C++ throw, and
# leak detection is left to the valgrind stage. Any report from any process
# lands in the log directory, which must stay empty.
sanitize_python() {
  local venv=$OUT/sanitize-venv logs=$OUT/sanitize-logs
  rm -rf "$logs"
  mkdir -p "$logs"
  fresh_venv "$PYTHON" "$venv" ".[test]" \
    -C "cmake.define.CMAKE_CXX_FLAGS=$SANITIZE" \
    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" \
    -C cmake.build-type=RelWithDebInfo -C "cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=$LINES_GCC" \
    -C install.strip=false -C build-dir="$OUT/sanitize-module" \
    || return 1
  local status=0
  # faulthandler.register in a thread replaces that thread's alternate signal
  # stack, which ASan then fails to unmap at the thread's exit: ASan keeps
  # to the thread's own stack.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS="detect_leaks=0:use_sigaltstack=0:log_path=$PWD/$logs/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$PWD/$logs/ubsan" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python \
    --ignore=tests/python/test_packaging.py --ignore=tests/python/test_wheel_checks.py \
    --ignore=tests/python/test_typing.py --ignore=tests/python/test_cli.py || status=$?
  if [ -n "$(ls -A "$logs")" ]; then
    echo "sanitizer reports:"
    cat "$logs"/*
    status=1
  fi
  return $status
}

run_fuzz() {
  PYTHON="$PYTHON" fuzz/run.sh "$FUZZ_SECONDS"
}

# The comparison checkpw uses, built as the module builds it (Release),
# called on hashes that memcheck treats as undefined: a branch or an address
# that depends on them is reported. The early-exit comparison must be
# reported, or the check proves nothing.
constant_time() {
  local build=$OUT/constant-time
  cmake -S . -B "$build" -G Ninja -DQUORLIX_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null || return 1
  cmake --build "$build" --target constant_time_check >/dev/null || return 1
  local memcheck=(valgrind --tool=memcheck --error-exitcode=3 -q)
  "${memcheck[@]}" "$build/tests/cpp/constant_time_check" || return 1
  local status=0
  "${memcheck[@]}" "$build/tests/cpp/constant_time_check" --leaky 2>/dev/null || status=$?
  if [ $status != 3 ]; then
    echo "memcheck did not report the early-exit comparison (status $status)"
    return 1
  fi
}

# Python tests that run in the interpreter itself (not in subprocesses),
# with the extension built with debug information and not stripped.
VALGRIND_TESTS=(test_binding.py test_gensalt.py test_hashpw.py test_kdf.py test_module.py test_panics.py)
run_valgrind() {
  constant_time || return 1
  local venv=$OUT/valgrind-venv
  fresh_venv "$PYTHON" "$venv" ".[test]" \
    -C cmake.build-type=RelWithDebInfo -C install.strip=false -C build-dir="$OUT/valgrind-module" \
    || return 1
  local status=0
  PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --error-limit=no --num-callers=40 --xml=yes --xml-file="$OUT/memcheck.xml" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "${VALGRIND_TESTS[@]/#/tests/python/}" \
    || status=$?
  "$PYTHON" scripts/valgrind_report.py "$OUT/memcheck.xml" || status=1
  return $status
}

for stage in "${STAGES[@]}"; do
  case $stage in
    sanitize-cpp) fn=sanitize_cpp ;;
    sanitize-python) fn=sanitize_python ;;
    fuzz) fn=run_fuzz ;;
    valgrind) fn=run_valgrind ;;
    *)
      echo "unknown stage: $stage" >&2
      exit 2
      ;;
  esac
  run_stage "$stage" "$fn"
done
stage_summary "harden summary"
