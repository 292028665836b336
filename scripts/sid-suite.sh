#!/usr/bin/env bash
# Runs inside the Debian unstable root (scripts/sid-root.sh run): installs
# WHAT, a source tree or a wheel, with its test requirements into a fresh
# virtual environment of PYTHON, then runs the Python suite there from the
# current directory (the tree's root: the tests import the installed
# package, python/ is not on the path):
#
#   scripts/sid-suite.sh PYTHON VENV WHAT [PYTEST-ARGS...]
#
# A source tree is built by pip as a user builds it; any compiler warning in
# that build fails the run.
set -euo pipefail
py=$1 venv=$2 what=$3
shift 3
rm -rf "$venv"
"$py" -m venv "$venv"
vpy=$venv/bin/python
echo "== $("$vpy" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])'): $(basename "$what")"
# numpy has no wheel for PyPy: the root's wheelhouse has one built once.
"$vpy" -m pip install -q --prefer-binary --find-links /root/wheelhouse pytest numpy >"$venv.log" 2>&1 ||
  { cat "$venv.log"; exit 1; }
if [ -d "$what" ]; then
  (cd "$what" && rm -rf build && "$vpy" -m pip install -v ".[test]") >"$venv.log" 2>&1 ||
    { tail -40 "$venv.log"; exit 1; }
  if grep -E ':[0-9]+:[0-9]+: (warning|error):' "$venv.log"; then
    echo "the build warns"
    exit 1
  fi
else
  "$vpy" -m pip install -q "$what[test]" >"$venv.log" 2>&1 || { cat "$venv.log"; exit 1; }
fi
"$vpy" -m pytest -q -p no:cacheprovider "$@"
