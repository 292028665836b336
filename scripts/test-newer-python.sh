#!/usr/bin/env bash
# Builds the module for the newest other CPython on the machine, against that
# interpreter's own stable ABI version, and runs the Python tests there. A
# 3.11 build supplies the newer interpreter calls from older ones; this build
# uses the interpreter's own, so both sides of the compatibility layer run.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/test/newer
candidates=()
for v in 19 18 17 16 15 14 13 12; do
  candidates+=("python3.$v" "/usr/bin/python3.$v")
done
candidates+=($(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -rV))

newer=
for c in "${candidates[@]}"; do
  # A usable interpreter newer than 3.11 with its development headers.
  if "$c" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.version_info >= (3, 12)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import venv
PY
  then newer=$c; break; fi
done
if [ -z "$newer" ]; then
  echo "no CPython newer than 3.11 with development headers: skipped"
  exit 0
fi
api=$("$newer" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "building for $("$newer" -c 'import sys; print(sys.version.split()[0])') against its $api stable ABI"

rm -rf "$BUILD"
"$newer" -m venv "$BUILD/venv"
VPY="$BUILD/venv/bin/python"
"$VPY" -m pip install -q --upgrade pip
"$VPY" -m pip install -q pytest numpy django
"$VPY" -m pip install -q . --config-settings=build-dir="$BUILD/cmake" \
  --config-settings=cmake.define.QUORLIX_LIMITED_API="$api"
# The packaging, typing and leak tests concern the shipped 3.11 wheel and
# run in the main suite.
"$VPY" -m pytest -q tests/python -p no:cacheprovider \
  --ignore=tests/python/test_packaging.py --ignore=tests/python/test_typing.py \
  --ignore=tests/python/test_leaks.py --ignore=tests/python/test_cli.py
