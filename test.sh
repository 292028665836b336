#!/usr/bin/env bash
# Builds and runs every test: the C++ unit tests through CTest, then the
# Python tests against a freshly installed module. Installs what it needs.
set -euo pipefail
cd "$(dirname "$0")"

PYTHON=${PYTHON:-python3}
BUILD=build/test

scripts/apt-install.sh libgtest-dev cmake ninja-build g++ openssh-client openssl libcrypt-dev

echo "== C++ unit tests"
cmake -S . -B "$BUILD/cpp" -G Ninja -DQUORLIX_BUILD_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD/cpp"
ctest --test-dir "$BUILD/cpp" --output-on-failure

echo "== Python tests"
rm -rf "$BUILD/venv"
"$PYTHON" -m venv "$BUILD/venv"
VPY="$BUILD/venv/bin/python"
"$VPY" -m pip install -q --upgrade pip
"$VPY" -m pip install -q ".[test]"
"$VPY" -m pytest -q tests/python "$@"

echo "== Python tests on a newer CPython, built for its own stable ABI"
scripts/test-newer-python.sh

# Sanitizer builds, a short pass of every fuzz target and memcheck; see
# scripts/harden.sh. QUORLIX_HARDEN=0 leaves them out of a quick local run.
if [ "${QUORLIX_HARDEN:-1}" != 0 ]; then
  echo "== Hardening"
  PYTHON="$PYTHON" scripts/harden.sh
fi
