#!/usr/bin/env bash
# The module on other systems, processors and C++ runtimes, checked from this
# x86-64 Linux machine. Steps:
#
#   targets  src/ and crypto/ compiled with zig's clang (ziglang from PyPI)
#            for Linux musl (x86-64, aarch64), FreeBSD 14 (x86-64) and macOS
#            (arm64, x86-64), with this interpreter's Python.h; each set
#            linked into a shared object by LLVM's lld with -nostdlib (the C
#            library and the C++ runtime are left to the loader), each
#            module exporting its PyInit function and nothing else
#   clang    glibc with clang: with libstdc++ the module is built and its
#            exports checked; with libc++ it is installed with pip and the
#            Python suite runs against it
#   aarch64  the C++ unit tests and the module cross-built with Debian's
#            aarch64 g++; the tests run under qemu-aarch64, and Debian's
#            arm64 CPython 3.11 (scripts/arm64-python.sh) runs the Python
#            tests of the four functions against the module, emulated too
#   s390x    the C++ unit tests of the cores cross-built for s390x
#            (big-endian) and run under qemu-s390x
#   nehalem  the C++ unit tests of the default g++ build run under
#            qemu-x86_64 -cpu Nehalem, a processor without AVX2: the
#            portable SHA-512 compression must be the one taken
#
#   scripts/check-portability.sh [STEP...]   (every step when none is named)
#
# Installs what it needs. Every step runs even when one before it failed;
# the exit status is non-zero if any failed. Outputs go to build/portability/.
set -uo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
OUT=$PWD/build/portability
JOBS=$(nproc)
ZIGLANG=ziglang==0.17.1
STEPS=("$@")
[ ${#STEPS[@]} -gt 0 ] || STEPS=(targets clang aarch64 s390x nehalem)
mkdir -p "$OUT"

scripts/apt-install.sh cmake ninja-build g++ clang lld-14 libc++-14-dev libc++abi-14-dev \
  libgtest-dev googletest g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user binutils llvm

PYINC=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
SOURCES=($(git ls-files 'src/*.cpp' 'crypto/*.cpp' ':!src/*_windows.cpp'))
CXXFLAGS_COMMON=(-std=c++20 -O3 -DNDEBUG -fPIC -fvisibility=hidden -fvisibility-inlines-hidden
  -Wall -Wextra -Werror -Isrc -Icrypto "-I$PYINC")

# exports_of FILE: the symbols a shared object exports, one a line.
exports_of() {
  if [ "$(od -An -tx1 -N4 "$1" | tr -d ' ')" = 7f454c46 ]; then
    llvm-nm -D --defined-only "$1" | awk '{print $3}'
  else # Mach-O: what the dynamic loader can bind to
    llvm-objdump --macho --exports-trie "$1" | awk '/^0x/ {print $2}'
  fi
}

# check_exports FILE WANTED
check_exports() {
  local got
  got=$(exports_of "$1" | tr '\n' ' ')
  if [ "$got" = "$2 " ]; then
    echo "  exports: $2 only"
  else
    echo "  exports $got, want $2 only"
    return 1
  fi
}

#####################
### Other targets ###
#####################
# zig target, clang target for the link.
ZIG_TARGETS=(
  "x86_64-linux-musl x86_64-linux-musl"
  "aarch64-linux-musl aarch64-linux-musl"
  "x86_64-freebsd.14.0 x86_64-unknown-freebsd14"
  "aarch64-macos.11.0 arm64-apple-macos11"
  "x86_64-macos.10.13 x86_64-apple-macos10.13"
)

compile_one() { # ZIG_TARGET SOURCE OBJECT
  local flags
  read -ra flags <<<"$QUORLIX_CXXFLAGS"
  [[ $2 == src/* ]] && flags+=("-DPy_LIMITED_API=$LIMITED_API")
  "$OUT/zig-venv/bin/python" -m ziglang c++ -target "$1" "${flags[@]}" -c "$2" -o "$3" 2>"$3.log" || {
    echo "  $1: $2 does not compile:"
    cat "$3.log"
    return 1
  }
}
export -f compile_one
export OUT
# The stable ABI of the default build, from where CMake takes it.
LIMITED_API=$(cmake -P cmake/limited-api.cmake)
export LIMITED_API

targets() {
  tools_venv "$OUT/zig-venv" "$ZIGLANG" || return 1
  export ZIG_GLOBAL_CACHE_DIR=$OUT/zig-cache ZIG_LOCAL_CACHE_DIR=$OUT/zig-cache
  export QUORLIX_CXXFLAGS="${CXXFLAGS_COMMON[*]}"
  local jobs=() t z dir
  for t in "${ZIG_TARGETS[@]}"; do
    z=${t%% *}
    dir=$OUT/targets/$z
    rm -rf "$dir" && mkdir -p "$dir"
    for s in "${SOURCES[@]}"; do
      jobs+=("$z" "$s" "$dir/$(echo "${s%.cpp}" | tr / _).o")
    done
  done
  printf '%s\0' "${jobs[@]}" | xargs -0 -n 3 -P "$JOBS" bash -c 'compile_one "$@"' _ || return 1

  local status=0 link_target objects m
  for t in "${ZIG_TARGETS[@]}"; do
    z=${t%% *}
    link_target=${t#* }
    dir=$OUT/targets/$z
    echo "$z: ${#SOURCES[@]} files compiled; linked for $link_target"
    # Each module from the objects src/CMakeLists.txt gives it, with the
    # options it gives each kind of linker.
    for m in _quorlix _batch; do
      if [ $m = _quorlix ]; then
        objects=($(ls "$dir"/*.o | grep -v '/src_batch'))
      else
        objects=($(ls "$dir"/*.o | grep -Ev '/src_(module|gensalt|hashpw|kdf)\.o'))
      fi
      if [[ $link_target == *apple* ]]; then
        echo "_PyInit_$m" >"$dir/$m.exports"
        opts=(-Wl,-undefined,dynamic_lookup "-Wl,-exported_symbols_list,$dir/$m.exports")
        want=_PyInit_$m
      else
        printf '{\n  global: PyInit_%s;\n  local: *;\n};\n' $m >"$dir/$m.map"
        opts=("-Wl,--version-script=$dir/$m.map" -Wl,--exclude-libs,ALL)
        want=PyInit_$m
      fi
      clang++ --target="$link_target" -fuse-ld=lld -shared -nostdlib -o "$dir/$m.so" \
        "${objects[@]}" "${opts[@]}" 2>"$dir/$m.link.log" || {
        cat "$dir/$m.link.log"
        status=1
        continue
      }
      check_exports "$dir/$m.so" "$want" || status=1
    done
  done
  return $status
}

#############
### clang ###
#############
clang_builds() {
  local status=0 build=$OUT/clang-libstdcxx
  echo "clang with libstdc++: the module"
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_FLAGS=-Werror \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null &&
    cmake --build "$build" >"$build.log" 2>&1 || {
    cat "$build.log"
    return 1
  }
  check_exports "$(ls "$build"/src/_quorlix*.so)" PyInit__quorlix || status=1
  check_exports "$(ls "$build"/src/_batch*.so)" PyInit__batch || status=1

  # As a user with libc++ builds it, and the suite against that.
  echo "clang with libc++: pip install ., then the Python suite"
  local venv=$OUT/libcxx-venv
  fresh_venv "$PYTHON" "$venv" pytest numpy django pwdlib &&
    CC=clang CXX=clang++ CXXFLAGS="-stdlib=libc++ -Werror" LDFLAGS=-stdlib=libc++ \
      "$venv/bin/python" -m pip install -q -C build-dir="$OUT/libcxx-module" . || return 1
  local so
  so=$("$venv/bin/python" -c 'import _quorlix; print(_quorlix.__file__)')
  if ! readelf -d "$so" | grep -q 'NEEDED.*libc++'; then
    echo "  $so is not linked with libc++"
    status=1
  fi
  # The packaging, wheel, typing and leak tests concern the shipped wheel,
  # the command line's only Python code.
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python \
    --ignore=tests/python/test_packaging.py --ignore=tests/python/test_wheel_checks.py \
    --ignore=tests/python/test_typing.py --ignore=tests/python/test_leaks.py \
    --ignore=tests/python/test_cli.py || status=1
  return $status
}

#############################
### Cross-built C++ tests ###
#############################
# cross_args ARCH EMULATOR-ROOT: CMake settings for Debian's cross compiler,
# running what it builds under qemu-user.
cross_args() {
  echo "-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$1 -DCMAKE_C_COMPILER=$1-linux-gnu-gcc" \
    "-DCMAKE_CXX_COMPILER=$1-linux-gnu-g++ -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-$1;-L;$2"
}

# googletest for ARCH, from the sources Debian's googletest package installs.
build_gtest() {
  local arch=$1 root=$2
  local build=$OUT/gtest-$arch
  [ -f "$build/install/lib/cmake/GTest/GTestConfig.cmake" ] && return 0
  cmake -S /usr/src/googletest -B "$build" -G Ninja $(cross_args "$arch" "$root") \
    -DBUILD_GMOCK=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$build/install" \
    >"$build.log" 2>&1 && cmake --build "$build" --target install >>"$build.log" 2>&1 || {
    cat "$build.log"
    return 1
  }
}

# run_tests EMULATOR... -- TEST-EXECUTABLE...: each executable once, all its
# tests in one emulated process (ctest would start one per test).
run_tests() {
  local emulator=() status=0 t
  while [ "$1" != -- ]; do
    emulator+=("$1")
    shift
  done
  shift
  mkdir -p "$OUT/logs"
  for t in "$@"; do
    local log=$OUT/logs/$(basename "$(dirname "$(dirname "$(dirname "$t")")")")-$(basename "$t").log
    if QUORLIX_EXPECT_SHA512=portable "${emulator[@]}" "$t" --gtest_brief=1 >"$log" 2>&1; then
      echo "  $(basename "$t"): $(grep -h -e '^SHA-512 compression' -e '^\[  PASSED  \]' "$log" | tr '\n' ' ')"
    else
      cat "$log"
      status=1
    fi
  done
  return $status
}

SYSROOT=$OUT/arm64-sysroot

aarch64() {
  scripts/arm64-python.sh "$SYSROOT" || return 1
  build_gtest aarch64 "$SYSROOT" || return 1
  local build=$OUT/aarch64 status=0
  # The module against the arm64 interpreter's headers, the boundary tests
  # against its shared library.
  cmake -S . -B "$build" -G Ninja $(cross_args aarch64 "$SYSROOT") \
    -DQUORLIX_BUILD_TESTS=ON -DGTest_DIR="$OUT/gtest-aarch64/install/lib/cmake/GTest" \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
    -DPython_INCLUDE_DIR="$SYSROOT/usr/include/python3.11" \
    -DPython_LIBRARY="$SYSROOT/usr/lib/aarch64-linux-gnu/libpython3.11.so" \
    -DCMAKE_CXX_FLAGS="-isystem $SYSROOT/usr/include" \
    -DCMAKE_EXE_LINKER_FLAGS="-Wl,-rpath-link,$SYSROOT/lib/aarch64-linux-gnu:$SYSROOT/usr/lib/aarch64-linux-gnu" \
    >"$build.log" 2>&1 && cmake --build "$build" >>"$build.log" 2>&1 || {
    cat "$build.log"
    return 1
  }
  echo "aarch64: C++ unit tests under qemu-aarch64"
  run_tests qemu-aarch64 -L "$SYSROOT" -- "$build"/tests/cpp/*_test || status=1

  echo "aarch64: Python tests of the four functions, Debian's arm64 CPython under qemu-aarch64"
  local site=$OUT/arm64-site pip=$OUT/arm64-pip
  rm -rf "$site" && mkdir -p "$site" && cp -r python/quorlix "$build"/src/_quorlix*.so "$site"/ || return 1
  [ -d "$pip/pytest" ] || arm64_pip_install "$pip" pytest numpy || return 1
  arm64_pytest "$SYSROOT" "$site:$pip" || status=1
  return $status
}

s390x() {
  local root=/usr/s390x-linux-gnu build=$OUT/s390x
  build_gtest s390x "$root" || return 1
  cmake -S . -B "$build" -G Ninja $(cross_args s390x "$root") -DQUORLIX_BUILD_MODULE=OFF \
    -DQUORLIX_BUILD_TESTS=ON -DGTest_DIR="$OUT/gtest-s390x/install/lib/cmake/GTest" \
    >"$build.log" 2>&1 && cmake --build "$build" >>"$build.log" 2>&1 || {
    cat "$build.log"
    return 1
  }
  echo "s390x: C++ unit tests under qemu-s390x"
  run_tests qemu-s390x -L "$root" -- "$build"/tests/cpp/*_test
}

###############
### Nehalem ###
###############
nehalem() {
  # test.sh's own C++ build: nothing to do when it has run.
  local build=build/test/cpp
  cmake -S . -B "$build" -G Ninja -DQUORLIX_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null &&
    cmake --build "$build" >"$OUT/nehalem-build.log" 2>&1 || {
    cat "$OUT/nehalem-build.log"
    return 1
  }
  echo "x86-64 without AVX2: C++ unit tests under qemu-x86_64 -cpu Nehalem"
  run_tests qemu-x86_64 -cpu Nehalem -- "$build"/tests/cpp/*_test
}

for step in "${STEPS[@]}"; do
  case $step in
    targets | aarch64 | s390x | nehalem) fn=$step ;;
    clang) fn=clang_builds ;;
    *)
      echo "unknown step $step" >&2
      exit 2
      ;;
  esac
  run_stage "$step" "$fn"
done
stage_summary "portability summary"
