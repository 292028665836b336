#!/usr/bin/env bash
# The package on the interpreters this machine lacks: PyPy 3.11 and CPython
# 3.14 and 3.15, in the Debian unstable root of scripts/sid-root.sh (made
# when missing). Each builds it with `pip install .` from the unpacked sdist,
# as a user does, with that system's g++ 16 (a compiler warning fails), and
# runs Python tests there (below). The packaging tests run in the release
# stage (scripts/test-wheels.sh), against the distributions it builds, on
# these same interpreters.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
OUT=build/test/sid
PYTHONS=(pypy3 python3.14 python3.15)

scripts/sid-root.sh make

# == Free-threaded builds, compiled and linked only: Debian has no
# free-threaded CPython to run them on (scripts/sid-compile-free-threaded.sh).
# A warning fails.
echo "== free-threaded 3.14t, 3.15t and 3.15 abi3t: compiled and linked with g++ 16"
scripts/sid-root.sh run scripts/sid-compile-free-threaded.sh
# == end of the free-threaded compile

rm -rf "$OUT"
mkdir -p "$OUT"

# The sdist, made from the tree as it is, unpacked.
"$PYTHON" -m venv "$OUT/sdist-venv"
"$OUT/sdist-venv/bin/python" -m pip install -q build
"$OUT/sdist-venv/bin/python" -m build -q --sdist --outdir "$OUT/sdist" . >"$OUT/sdist.log" 2>&1 || {
  cat "$OUT/sdist.log"
  exit 1
}
sdist=$(ls "$OUT"/sdist/*.tar.gz)
tar -xzf "$sdist" -C "$OUT"
tree=$(cd "$OUT"/quorlix-*/ && pwd)

# On PyPy, whose wheel the release stage tests only in part, the suite but
# the command line's tests (Python code alone, starting dozens of slowly
# starting PyPy processes); on 3.14 and 3.15 the tests of the functions, the
# release stage running the whole suite there on the wheel most of their
# users install.
status=0
for py in "${PYTHONS[@]}"; do
  tests=()
  for t in batch binding gensalt hashpw kdf; do tests+=("tests/python/test_$t.py"); done
  [ "$py" != pypy3 ] ||
    tests=(tests/python --ignore=tests/python/test_packaging.py --ignore=tests/python/test_cli.py)
  scripts/sid-root.sh run scripts/sid-suite.sh "$py" "$PWD/$OUT/venv-$py" "$tree" "${tests[@]}" || status=1
done
exit $status
