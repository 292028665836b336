#!/usr/bin/env bash
# The module on Windows, checked from this Linux machine, where no CPython
# for Windows runs. Steps:
#
#   tests    the C++ unit tests that need no interpreter, cross-built for
#            x86-64 Windows with Debian's MinGW-w64 g++ and run under
#            Debian's Wine: once with the asm Blowfish round, once with the
#            plain one
#   module   src/ and crypto/ compiled for x86-64 Windows with MinGW-w64 g++
#            and for arm64 Windows with zig's clang (PyPI's ziglang; Debian
#            has no MinGW-w64 for arm64), against this interpreter's headers
#            with a Windows pyconfig.h stand-in (scripts/windows/include), and
#            linked into _quorlix.pyd and _batch.pyd with an import library
#            for python3.dll made from the stable-ABI names the objects import
#            (scripts/windows/python3_def.py); each DLL must export its
#            PyInit function alone and import only from python3.dll, the C
#            runtime and system DLLs
#
#   scripts/check-windows.sh [STEP...]   (both steps when none is named)
#
# Installs what it needs. Both steps run even when the first failed; the exit
# status is non-zero if any failed. Outputs go to build/windows/.
set -uo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
OUT=$PWD/build/windows
ZIG_VENV=$PWD/build/portability/zig-venv # shared with check-portability.sh
ZIGLANG=ziglang==0.17.1
ABI3INFO=abi3info==2026.9.25
STEPS=("$@")
[ ${#STEPS[@]} -gt 0 ] || STEPS=(tests module)
mkdir -p "$OUT"
export ZIG_GLOBAL_CACHE_DIR=$PWD/build/portability/zig-cache ZIG_LOCAL_CACHE_DIR=$PWD/build/portability/zig-cache
# The prefix lies outside the tree: its drive Z: links to /, which would
# lead whatever walks the tree (the sdist build) through the whole system.
# It takes 0.7 GB, more than a TMPDIR in memory may hold: /var/tmp is on disk.
export WINEDEBUG=-all WINEPREFIX=/var/tmp/quorlix-wine

# wine64 is the 64-bit loader alone, without the 32-bit half that the wine
# package adds; the recommended fonts and sound libraries are of no use to a
# console program. Should a release lack wine64, wine has the loader too.
scripts/apt-install.sh cmake ninja-build libgtest-dev googletest llvm g++-mingw-w64-x86-64-posix
scripts/apt-install.sh --no-install-recommends wine64 ||
  scripts/apt-install.sh --no-install-recommends wine || exit 1
WINE=$(command -v wine64 || ls /usr/lib/wine/wine64 2>/dev/null || command -v wine) || {
  echo "no Wine loader found"
  exit 1
}

tools_venv "$ZIG_VENV" "$ZIGLANG" || exit 1
ZIG=$("$ZIG_VENV/bin/python" -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
# MinGW-w64's threads through winpthreads, as the C++ library needs them.
MINGW=x86_64-w64-mingw32
MINGW_CXX=$MINGW-g++-posix

# mingw_cmake SOURCE BUILD [CMAKE-OPTION...]: configures and builds. The
# runtimes are linked in, so that Wine needs no MinGW DLL.
mingw_cmake() {
  local src=$1 build=$2
  shift 2
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_SYSTEM_PROCESSOR=x86_64 -DCMAKE_C_COMPILER=$MINGW-gcc-posix -DCMAKE_CXX_COMPILER=$MINGW_CXX \
    -DCMAKE_RC_COMPILER=$MINGW-windres -DCMAKE_EXE_LINKER_FLAGS=-static "$@" >"$build.log" 2>&1 &&
    cmake --build "$build" -j 2 >>"$build.log" 2>&1 || {
    cat "$build.log"
    return 1
  }
}

#############
### tests ###
#############
tests() {
  local gtest=$OUT/gtest-x86_64 status=0
  if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
    mingw_cmake /usr/src/googletest "$gtest" -DBUILD_GMOCK=OFF \
      -DCMAKE_INSTALL_PREFIX="$gtest/install" && cmake --install "$gtest" >/dev/null || return 1
  fi
  # The processor's AVX2, as the Windows build must find it too.
  local sha512=portable
  grep -qw avx2 /proc/cpuinfo && sha512=avx2
  # The prefix first, so that a failure to make it is told as such.
  "$WINE" wineboot --init >"$OUT/wineboot.log" 2>&1 || {
    cat "$OUT/wineboot.log"
    df -h "$(dirname "$WINEPREFIX")"
    return 1
  }
  local round build t log
  for round in asm plain; do
    build=$OUT/tests-$round
    mingw_cmake . "$build" -DQUORLIX_BUILD_MODULE=OFF -DQUORLIX_BUILD_TESTS=ON \
      -DQUORLIX_ASM=$([ $round = asm ] && echo ON || echo OFF) -DCMAKE_CXX_FLAGS=-Werror \
      -DGTest_DIR="$gtest/install/lib/cmake/GTest" -DCMAKE_CROSSCOMPILING_EMULATOR="$WINE" || {
      status=1
      continue
    }
    echo "x86-64 Windows, $round round: C++ unit tests under Wine"
    for t in "$build"/tests/cpp/*_test.exe; do
      log=$build/$(basename "$t" .exe).log
      if QUORLIX_EXPECT_SHA512=$sha512 "$WINE" "$t" --gtest_brief=1 >"$log" 2>&1; then
        echo "  $(basename "$t"): $(grep -h -e '^SHA-512 compression' -e '^\[  PASSED  \]' -e '^\[  SKIPPED \] [0-9]' "$log" | tr '\n' ' ')"
      else
        cat "$log"
        df -h "$WINEPREFIX" "$build"
        status=1
      fi
    done
  done
  return $status
}

##############
### module ###
##############
# The DLLs a module may import besides python3.dll: the C runtime (the UCRT
# through its API sets, as zig's and MSVC's builds use it, or msvcrt.dll, as
# Debian's MinGW-w64 does) and parts of Windows itself.
SYSTEM_DLLS='^(api-ms-win-crt-[a-z0-9-]+\.dll|ucrtbase\.dll|msvcrt\.dll|kernel32\.dll|ntdll\.dll|bcrypt\.dll)$'

# The compiler for each processor, as a command.
cxx_for() {
  case $1 in
    x86_64) echo "$MINGW_CXX" ;;
    aarch64) echo "$ZIG c++ -target aarch64-windows-gnu" ;;
  esac
}

# How each links the module: MinGW's C++ runtime linked in, as MSVC's is
# (zig links its own in by itself).
dll_flags_for() {
  case $1 in
    x86_64) echo "-shared -static" ;;
    aarch64) echo "-shared" ;;
  esac
}

compile_one() { # PROCESSOR SOURCE OBJECT
  local flags=(-std=c++20 -O2 -DNDEBUG -Wall -Wextra -Werror -Isrc -Icrypto "-I$OUT/python-include")
  [[ $2 == src/* ]] && flags+=(-DPy_LIMITED_API=0x030B0000)
  $(cxx_for "$1") "${flags[@]}" -c "$2" -o "$3" 2>"$3.log" || {
    echo "  $1: $2 does not compile:"
    cat "$3.log"
    return 1
  }
}
export -f compile_one cxx_for
export OUT ZIG MINGW_CXX

module() {
  tools_venv "$OUT/tools-venv" "$ABI3INFO" || return 1
  # The interpreter's headers are the same on every system but pyconfig.h.
  local pyinc
  pyinc=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  rm -rf "$OUT/python-include" && cp -rL "$pyinc" "$OUT/python-include" &&
    cp scripts/windows/include/pyconfig.h "$OUT/python-include/" || return 1

  local sources=($(git ls-files 'src/*.cpp' 'crypto/*.cpp' ':!src/*_posix.cpp'))
  local status=0 arch machine dir jobs s m objects
  for arch in x86_64 aarch64; do
    dir=$OUT/module-$arch
    rm -rf "$dir" && mkdir -p "$dir"
    jobs=()
    for s in "${sources[@]}"; do jobs+=("$arch" "$s" "$dir/$(echo "${s%.cpp}" | tr / _).o"); done
    printf '%s\0' "${jobs[@]}" | xargs -0 -n 3 -P 2 bash -c 'compile_one "$@"' _ || {
      status=1
      continue
    }
    llvm-nm -u "$dir"/*.o | "$OUT/tools-venv/bin/python" scripts/windows/python3_def.py 3.11 >"$dir/python3.def" || {
      status=1
      continue
    }
    machine=$([ $arch = x86_64 ] && echo i386:x86-64 || echo arm64)
    llvm-dlltool -m "$machine" -d "$dir/python3.def" -l "$dir/python3.lib" || {
      status=1
      continue
    }
    echo "$arch Windows ($(cxx_for $arch | awk '{print $1 == "'"$ZIG"'" ? "zig c++" : $1}')):" \
      "${#sources[@]} files compiled ($(grep -c '^  ' "$dir/python3.def") names from python3.dll)"
    # Each module from the objects src/CMakeLists.txt gives it.
    for m in _quorlix _batch; do
      if [ $m = _quorlix ]; then
        objects=($(ls "$dir"/*.o | grep -v '/src_batch'))
      else
        objects=($(ls "$dir"/*.o | grep -Ev '/src_(module|gensalt|hashpw|kdf)\.o'))
      fi
      $(cxx_for $arch) -O2 $(dll_flags_for $arch) -o "$dir/$m.pyd" "${objects[@]}" "$dir/python3.lib" \
        -lbcrypt -lntdll 2>"$dir/$m.link.log" || {
        cat "$dir/$m.link.log"
        status=1
        continue
      }
      echo "  linked into $m.pyd"
      check_dll "$dir/$m.pyd" "PyInit_$m" || status=1
    done
  done
  return $status
}

# check_dll FILE INIT: its exports and imported DLLs, against what is allowed.
check_dll() {
  llvm-readobj --coff-exports --coff-imports "$1" >"$1.txt" || return 1
  local exports dlls bad
  exports=$(awk '/^Export \{/ {e=1} e && /Name:/ {print $2; e=0}' "$1.txt" | tr '\n' ' ')
  dlls=$(awk '/^Import \{/ {i=1} i && /Name:/ {print $2; i=0}' "$1.txt" | sort -u)
  echo "  exports: $exports"
  echo "  imports: $(echo "$dlls" | tr '\n' ' ')"
  bad=$(echo "$dlls" | grep -v -x -i -e python3.dll | grep -v -i -E "$SYSTEM_DLLS")
  if [ "$exports" != "$2 " ] || [ -n "$bad" ] || ! echo "$dlls" | grep -q -x python3.dll; then
    echo "  want exports $2 only, imports python3.dll and the system's: not $bad"
    return 1
  fi
}

for step in "${STEPS[@]}"; do
  case $step in
    tests | module) ;;
    *)
      echo "unknown step $step" >&2
      exit 2
      ;;
  esac
  run_stage "windows $step" "$step"
done
stage_summary "windows summary"
