#!/usr/bin/env bash
# The package on every other CPython 3.11 or newer on the machine, installed
# the way a user installs it: `pip install .`, default options, into a fresh
# virtual environment, in a clean tree: the unpacked sdist, which is also
# what `pip install quorlix-*.tar.gz` builds from. That builds the default
# cp311-abi3 module against the interpreter's own headers. Then the Python
# suite runs there (the packaging, wheel, typing, leak and command-line
# tests concern the shipped wheel and run in the main suite).
#
# On the newest interpreter it also builds a wheel for that interpreter's own
# stable ABI (-C wheel.py-api=cp3XX), checks its tag and that the module calls
# the interpreter's newer functions instead of their stand-ins, and runs the
# suite against it.
#
# The interpreter test.sh runs ($PYTHON) and others of its version are left
# out: the main Python stage covers them.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
OUT=$PWD/build/test/versions
rm -rf "$OUT"
mkdir -p "$OUT"

source scripts/pythons.sh
declare -A found=()
versions=()
while read -r v path; do
  versions+=("$v")
  found[$v]=$path
done < <(other_pythons "$PYTHON")
if [ ${#versions[@]} = 0 ]; then
  echo "no other CPython 3.11+ with development headers: skipped"
  exit 0
fi

# The sdist, made from the tree as it is, unpacked.
fresh_venv "$PYTHON" "$OUT/sdist-venv" build
"$OUT/sdist-venv/bin/python" -m build -q --sdist --outdir "$OUT/sdist" . >"$OUT/sdist.log" 2>&1 || {
  cat "$OUT/sdist.log"
  exit 1
}
sdist=$(ls "$OUT"/sdist/*.tar.gz)
tar -xzf "$sdist" -C "$OUT"
tree=$(ls -d "$OUT"/quorlix-*/)
echo "building from $(basename "$sdist")"

SUITE=("${INTERPRETER_TESTS[@]}" -q -p no:cacheprovider)

# imported_calls SO: the interpreter functions the module imports.
imported_calls() {
  nm -D --undefined-only "$1" | awk '{print $2}' | sed 's/@.*//' | grep -E '^_?Py' | sort
}

# expect_calls SO WANTED UNWANTED: each WANTED call imported, no UNWANTED one.
expect_calls() {
  local so=$1 calls c
  calls=$(imported_calls "$so")
  for c in $2; do
    grep -qx "$c" <<<"$calls" || {
      echo "$so does not call $c"
      return 1
    }
  done
  for c in $3; do
    if grep -qx "$c" <<<"$calls"; then
      echo "$so calls $c"
      return 1
    fi
  done
}
NEWER_CALLS="PyErr_GetRaisedException PyErr_SetRaisedException PyType_GetModuleName
  PyUnicode_EqualToUTF8AndSize Py_GetConstantBorrowed"
STAND_IN_CALLS="PyErr_Fetch PyErr_Restore PyErr_NormalizeException PyMapping_GetItemString"

module_of() { "$1" -c 'import _quorlix; print(_quorlix.__file__)'; }

status=0
for v in "${versions[@]}"; do
  py=${found[$v]}
  echo "== CPython $("$py" -c 'import sys; print(sys.version.split()[0])') ($py): pip install ."
  venv=$OUT/venv-$v
  fresh_venv "$py" "$venv" pytest numpy django pwdlib
  vpy=$venv/bin/python
  if ! (cd "$tree" && rm -rf build && "$vpy" -m pip install -q .); then
    echo "pip install . failed with $py"
    status=1
    continue
  fi
  so=$(module_of "$vpy")
  # The cp311-abi3 module supplies the newer calls from older ones.
  expect_calls "$so" "$STAND_IN_CALLS" "$NEWER_CALLS" && echo "the module uses the stand-ins" || status=1
  # The newest version's suite runs on its own stable ABI's build below (and
  # on this cp311-abi3 one as the release stage's wheel).
  if [ "$v" != "${versions[-1]}" ] || [ "${v#3.}" -lt 13 ]; then
    "$vpy" -m pytest "${SUITE[@]}" || status=1
  fi
done

# The newest interpreter's own stable ABI, if newer than the default's and
# new enough to have every call the stand-ins replace (3.13).
v=${versions[-1]}
minor=${v#3.}
if [ "$minor" -ge 13 ]; then
  vpy=$OUT/venv-$v/bin/python
  echo "== CPython $v: a wheel for its own stable ABI, -C wheel.py-api=cp3$minor"
  wheels=$OUT/wheels
  if (cd "$tree" && rm -rf build && "$vpy" -m pip wheel -q --no-deps \
    -C wheel.py-api="cp3$minor" -w "$wheels" .); then
    wheel=$(ls "$wheels"/*.whl)
    echo "built $(basename "$wheel")"
    case $(basename "$wheel") in
      *-cp3$minor-abi3-*.whl) ;;
      *)
        echo "wrong tag: $(basename "$wheel")"
        status=1
        ;;
    esac
    "$vpy" -m pip install -q --no-deps --force-reinstall "$wheel"
    so=$(module_of "$vpy")
    expect_calls "$so" "$NEWER_CALLS" "$STAND_IN_CALLS" && echo "the module calls the newer functions" ||
      status=1
    "$vpy" -m pytest "${SUITE[@]}" || status=1
  else
    echo "pip wheel -C wheel.py-api=cp3$minor failed"
    status=1
  fi
fi
exit $status
