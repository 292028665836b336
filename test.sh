#!/usr/bin/env bash
# The project's tests. Installs what it needs (Debian packages through
# apt-get, Python packages into virtual environments under build/).
#
#   ./test.sh [PYTEST-ARGS...]        the everyday check: the C++ unit tests
#                                     and the Python suite on the default
#                                     build, failing at the first failure
#   ./test.sh --all [PYTEST-ARGS...]  that, then every other stage below;
#                                     all stages run, the summary says which
#                                     failed
#
# Extra arguments go to pytest in the Python stage.
set -euo pipefail
cd "$(dirname "$0")"

ALL=0
if [ "${1:-}" = --all ]; then
  ALL=1
  shift
fi
source scripts/lib.sh
export PYTHON
BUILD=build/test

scripts/apt-install.sh libgtest-dev cmake ninja-build g++ openssh-client openssl libcrypt-dev valgrind tmux

if [ $ALL = 1 ]; then
  # The Debian unstable root of the newer interpreters' stage, made (mostly
  # downloads) while the stages before that one run; that stage waits for it.
  mkdir -p "$BUILD"
  scripts/sid-root.sh make >"$BUILD/sid-root.log" 2>&1 &
fi

# cpp_tests DIR [CMAKE-OPTION...]: builds under $BUILD/DIR and runs them.
cpp_tests() {
  local dir=$BUILD/$1
  shift
  cmake -S . -B "$dir" -G Ninja --no-warn-unused-cli -DQUORLIX_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" "$@" >/dev/null
  cmake --build "$dir"
  ctest --test-dir "$dir" --output-on-failure
}

# The suite runs against the package installed into a fresh virtual
# environment, the way a user installs it.
python_tests() {
  fresh_venv "$PYTHON" "$BUILD/venv" ".[test]"
  # With --all the release stage runs the packaging tests, on the
  # distributions it builds, instead of building them twice.
  local skip=()
  [ $ALL = 0 ] || skip=(--ignore=tests/python/test_packaging.py)
  "$BUILD/venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "${skip[@]}" "$@"
}

# Without --all the first failure ends the run; with it every stage runs.
[ $ALL = 0 ] || set +e
run_stage "C++ unit tests" cpp_tests cpp
run_stage "Python tests" python_tests "$@"

if [ $ALL = 1 ]; then
  # The newer interpreters and the release wheels, beside the rest.
  beside() {
    # The Sphinx site, the examples of the README and the site run as
    # doctests, and the API reference against the public names: see
    # scripts/docs.sh.
    run_stage "Documentation" scripts/docs.sh
    # PyPy 3.11 and CPython 3.14 and 3.15: see scripts/test-sid.sh.
    run_stage "Python tests on PyPy 3.11, CPython 3.14 and 3.15" scripts/test-sid.sh
    # The sdist and manylinux wheels, checked and tested: scripts/test-wheels.sh.
    run_stage "Release wheels" scripts/test-wheels.sh
    # Every fuzz target for a while: see scripts/harden.sh and fuzz/run.sh.
    run_stage "Fuzzing" scripts/harden.sh fuzz
  }
  start_lane "$BUILD/beside.log" beside
  # The cores' tests with the plain C++ Blowfish round, the one every
  # processor but x86-64 runs, are in the sanitizer stage of Hardening, and
  # on aarch64 and s390x in Portability.
  run_stage "Python tests on the other CPythons" scripts/test-python-versions.sh
  run_stage "Formatting, lint and types" scripts/lint.sh
  # Other systems, processors and C++ runtimes: see scripts/check-portability.sh.
  run_stage "Portability" scripts/check-portability.sh
  # Sanitizer builds and memcheck (its fuzzing runs in the other lane): see
  # scripts/harden.sh.
  run_stage "Hardening" scripts/harden.sh sanitize-cpp sanitize-python valgrind
  # Windows: the C++ tests under Wine, the module compiled and linked for
  # x86-64 and arm64: see scripts/check-windows.sh.
  run_stage "Windows" scripts/check-windows.sh
  join_lane
fi

wait
stage_summary summary
