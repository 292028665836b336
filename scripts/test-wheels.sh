#!/usr/bin/env bash
# The release distributions, built and tested as users install them:
#
#   1. scripts/build-wheels.sh writes the sdist and the manylinux wheels to
#      build/wheels/dist and checks their tags, symbol versions, stable ABI
#      and metadata;
#   2. the x86-64 wheel goes into a fresh virtual environment of python3,
#      which runs the Python suite (the packaging tests on these very
#      distributions, which install the wheel into every other CPython
#      3.11+ of the machine too, and run it there);
#   3. in the Debian unstable root of scripts/sid-root.sh, the suite runs
#      against the x86-64 wheel on CPython 3.14 and 3.15 (whole on 3.15), and the
#      packaging tests and those of the functions against the PyPy wheel on
#      PyPy 3.11 (scripts/test-sid.sh runs the whole suite there);
#   4. the aarch64 wheel goes into a directory for Debian's arm64 CPython
#      3.11, which runs the tests of the four functions under qemu-aarch64;
#   5. scripts/check_release_matrix.py checks the release matrix configured
#      for the systems this machine cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/lib.sh
WORK=$ROOT/build/wheels
DIST=$WORK/dist

scripts/build-wheels.sh "$DIST"
x86_64_wheel=$(ls "$DIST"/*-abi3-*_x86_64.whl)
pypy_wheel=$(ls "$DIST"/*-pp311-*_x86_64.whl)
aarch64_wheel=$(ls "$DIST"/*_aarch64.whl)

# On python3 the suite but the leak and command-line tests, which the main
# stage runs on the same version; its packaging tests also install the wheel
# into every other CPython 3.11+ of the machine and run it there (the other
# versions' suites run in scripts/test-python-versions.sh on the same code).
status=0
v=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "== x86-64 wheel on CPython $v"
fresh_venv "$PYTHON" "$WORK/venv-$v" "$x86_64_wheel[test]"
# From the tree's root the tests import the installed package: python/ is
# not on the path.
QUORLIX_DIST_DIR=$DIST "$WORK/venv-$v/bin/python" -m pytest -q -p no:cacheprovider tests/python \
  --ignore=tests/python/test_leaks.py --ignore=tests/python/test_cli.py || status=1

# The whole suite on 3.15 and all but the leak, typing and command-line
# tests on 3.14, the cp311-abi3 wheel being what most of their users
# install; on PyPy, whose suite scripts/test-sid.sh runs on the same
# sources, the packaging tests and those of the functions.
pypy_tests=()
for t in packaging batch binding gensalt hashpw kdf; do pypy_tests+=("tests/python/test_$t.py"); done
for py in pypy3 python3.14 python3.15; do
  wheel=$x86_64_wheel tests=(tests/python)
  [ $py != python3.14 ] || tests=(tests/python --ignore=tests/python/test_leaks.py
    --ignore=tests/python/test_typing.py --ignore=tests/python/test_cli.py)
  [ $py != pypy3 ] || wheel=$pypy_wheel tests=("${pypy_tests[@]}")
  scripts/sid-root.sh run env QUORLIX_DIST_DIR="$DIST" scripts/sid-suite.sh "$py" "$WORK/venv-sid-$py" \
    "$wheel" "${tests[@]}" || status=1
done

echo "== aarch64 wheel on Debian's arm64 CPython 3.11 (qemu-aarch64)"
SYSROOT=$WORK/arm64-sysroot
site=$WORK/arm64-site
rm -rf "$site"
arm64_pip_install "$site" "$aarch64_wheel" pytest numpy
arm64_pytest "$SYSROOT" "$site" || status=1

echo "== release matrix"
CI_TOOLS=(cibuildwheel==4.3.5 pyyaml==6.0.4)
ci=$WORK/ci-tools
tools_venv "$ci" "${CI_TOOLS[@]}"
"$ci/bin/python" scripts/check_release_matrix.py || status=1
exit $status
