#!/usr/bin/env bash
# Installs the named Debian packages that are missing; quiet when none are.
# --no-install-recommends first leaves out what they only recommend.
set -euo pipefail
options=()
if [ "${1:-}" = --no-install-recommends ]; then
  options+=("$1")
  shift
fi
missing=()
for p in "$@"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "== installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then SUDO=; else SUDO=sudo; fi
# Another apt run (a parallel build, say) may hold the lock: wait for it.
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
