#!/usr/bin/env bash
# A Debian unstable system, made with debootstrap, for the interpreters this
# machine lacks: CPython 3.14 and 3.15 and PyPy 3.11 with their headers, and
# g++ 16. It lives outside the tree ($QUORLIX_SID_ROOT, by default
# /var/cache/quorlix/sid) so that later runs reuse it.
#
#   scripts/sid-root.sh make          makes it when missing, adds missing packages
#                                     and builds what PyPI has no PyPy wheel of
#   scripts/sid-root.sh run CMD...    runs CMD in it, in the current directory
#
# Both need root. `run` mounts, in a mount namespace of its own that ends
# with CMD, so nothing stays mounted: /proc, the host's /dev (the terminal
# tests open ptys, multiprocessing needs /dev/shm), the host's certificates
# read-only at /run/host-certs (pip there trusts what the host trusts, a
# proxy's authority too) and the tree itself at the same path. A concurrent
# `make` waits for the first (a lock).
set -euo pipefail
SID=${QUORLIX_SID_ROOT:-/var/cache/quorlix/sid}
TREE=$(cd "$(dirname "$0")/.." && pwd)
PACKAGES=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv pypy3 pypy3-dev pypy3-venv
  g++ g++-16 cmake ninja-build binutils libcrypt-dev openssl openssh-client tmux)

# in_root CMD...: CMD in the system, with the mounts above; a clean
# environment but for proxies and pip's index.
in_root() {
  local keep=() v
  for v in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY PIP_INDEX_URL CI; do
    [ -z "${!v:-}" ] || keep+=("$v=${!v}")
  done
  mkdir -p "$SID$TREE" "$SID/run/host-certs"
  unshare --mount --propagation private -- /bin/sh -ec '
    root=$1 tree=$2 dir=$3
    shift 3
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --bind -o ro /etc/ssl/certs "$root/run/host-certs"
    mount --bind "$tree" "$root$tree"
    exec chroot "$root" /bin/sh -c "cd \"\$0\" && exec \"\$@\"" "$dir" "$@"' \
    sh "$SID" "$TREE" "$PWD" env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    TERM="${TERM:-dumb}" SSL_CERT_FILE=/run/host-certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    "${keep[@]}" "$@"
}

# Refuses to delete a directory with anything mounted below it (the host's
# /dev, say, after an interrupted run of an older version of this script).
remove() {
  if grep -q " $1/" /proc/mounts; then
    echo "$1 has mounts below it; not removing it" >&2
    exit 1
  fi
  rm -rf "$1"
}

make_root() {
  if [ ! -e "$SID/.made" ]; then
    "$TREE/scripts/apt-install.sh" debootstrap
    remove "$SID"
    echo "== debootstrap sid $SID"
    mkdir -p "$(dirname "$SID")"
    # Debian's default archive, or $QUORLIX_SID_MIRROR.
    debootstrap --variant=minbase sid "$SID" ${QUORLIX_SID_MIRROR:-} >"$SID.log" 2>&1 || {
      tail -20 "$SID.log"
      exit 1
    }
    # A mirror's snapshot of unstable may outlive its Release file's
    # Valid-Until; the packages are signed all the same.
    echo 'Acquire::Check-Valid-Until "false";' >"$SID/etc/apt/apt.conf.d/90quorlix"
    touch "$SID/.made"
  fi
  if [ "$(cat "$SID/.packages" 2>/dev/null)" != "${PACKAGES[*]}" ]; then
    echo "== installing ${PACKAGES[*]} into $SID"
    in_root apt-get update -qq
    in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${PACKAGES[@]}" >"$SID.log" 2>&1 || {
      tail -20 "$SID.log"
      exit 1
    }
    echo "${PACKAGES[*]}" >"$SID/.packages"
  fi
  # numpy has no wheel for PyPy on PyPI: built once, kept in the root. The
  # tests only pass its arrays as buffers, so it is built without its SIMD
  # kernels and optimizer, in a third of the time, while other stages run.
  if [ ! -e "$SID/root/wheelhouse/.made" ]; then
    echo "== building numpy for PyPy into $SID/root/wheelhouse"
    in_root sh -ec 'rm -rf /root/wheelhouse /tmp/wheelhouse-venv
      pypy3 -m venv /tmp/wheelhouse-venv
      /tmp/wheelhouse-venv/bin/python -m pip wheel -q --no-cache-dir -w /root/wheelhouse numpy \
        -Csetup-args=-Ddisable-optimization=true -Csetup-args=-Dallow-noblas=true \
        -Csetup-args=-Dbuildtype=debug
      touch /root/wheelhouse/.made' >"$SID.log" 2>&1 || {
      tail -20 "$SID.log"
      exit 1
    }
  fi
}

case ${1:-} in
  make)
    mkdir -p "$(dirname "$SID")"
    exec 9>"$SID.lock"
    flock 9
    make_root
    ;;
  run)
    shift
    [ -e "$SID/.packages" ] || {
      echo "$SID is not made: scripts/sid-root.sh make" >&2
      exit 1
    }
    in_root "$@"
    ;;
  *)
    echo "usage: $0 make | run CMD..." >&2
    exit 2
    ;;
esac
