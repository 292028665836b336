#!/usr/bin/env bash
# Unpacks Debian's arm64 CPython 3.11 and the libraries it loads into DIR, a
# sysroot for cross builds and for running that interpreter under qemu-user.
# Nothing of it is installed on the host: the .deb files are fetched with
# `apt-get download` and unpacked with `dpkg -x`. Adds arm64 as a foreign
# dpkg architecture (so apt knows its packages) when it is not one yet.
#
#   scripts/arm64-python.sh DIR
#
# Afterwards:
#   DIR/python3                  runs the interpreter: qemu-aarch64 -L DIR ...;
#                                it is also the interpreter's sys.executable
#   DIR/usr/include/python3.11   its headers (pyconfig.h picks the one under
#                                DIR/usr/include/aarch64-linux-gnu, so put
#                                DIR/usr/include on the include path too)
#   DIR/usr/lib/aarch64-linux-gnu/libpython3.11.so   for embedding
# Running it again with the sysroot complete does nothing.
set -euo pipefail
[ $# = 1 ] || {
  echo "usage: $0 DIR" >&2
  exit 2
}
cd "$(dirname "$0")/.."
mkdir -p "$1"
DIR=$(cd "$1" && pwd)

# The interpreter and the standard library; the C++ runtime for extension
# modules built with g++; the headers, and the shared library for programs
# that embed the interpreter.
ROOTS=(python3.11-minimal libpython3.11-stdlib libstdc++6)
EXTRA=(libpython3.11-dev libpython3.11)

# The interpreter takes this script as its sys.executable (-0 sets its
# argv[0]), so the subprocesses it starts go through the emulator too.
cat >"$DIR/python3" <<EOF
#!/bin/sh
exec qemu-aarch64 -L "$DIR" -0 "$DIR/python3" "$DIR/usr/bin/python3.11" "\$@"
EOF
chmod +x "$DIR/python3"

if [ -f "$DIR/.complete" ] && [ "$(cat "$DIR/.complete")" = "${ROOTS[*]} ${EXTRA[*]}" ]; then
  exit 0
fi

scripts/apt-install.sh qemu-user
if [ "$(id -u)" -eq 0 ]; then SUDO=; else SUDO=sudo; fi
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $SUDO dpkg --add-architecture arm64
fi
if ! apt-cache show python3.11-minimal:arm64 >/dev/null 2>&1; then
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
fi

# Every arm64 library the roots need, without the tools (dpkg, tar, perl)
# that package scripts pull in and an unpacked tree never runs.
mapfile -t packages < <(
  apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${ROOTS[@]/%/:arm64}" |
    grep -E '^(lib[^ ]*|python3\.11[^ ]*|gcc-12-base|zlib1g):arm64$' |
    grep -Ev '^(libperl|libpython3\.11-testsuite)' | sort -u
)
packages+=("${EXTRA[@]/%/:arm64}")

debs=$DIR/.debs
rm -rf "$debs"
mkdir -p "$debs"
# As root, apt would try to drop to its own user, who cannot write here.
sandbox=()
[ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
(cd "$debs" && apt-get "${sandbox[@]}" download -qq "${packages[@]}")
for deb in "$debs"/*.deb; do
  dpkg -x "$deb" "$DIR"
done
rm -rf "$debs"

"$DIR/python3" -c 'import platform, subprocess, sys
assert platform.machine() == "aarch64", platform.machine()
subprocess.run([sys.executable, "-c", "pass"], check=True)'
echo "${ROOTS[*]} ${EXTRA[*]}" >"$DIR/.complete"
echo "arm64 CPython $("$DIR/python3" -c 'import sys; print(sys.version.split()[0])') in $DIR"
