# Sourced by the scripts that test on every CPython of the machine.

# The Python suite without the tests that concern the distribution rather
# than the interpreter (packaging, wheel checks, typing, leaks, command
# line): those run once, in the main suite.
INTERPRETER_TESTS=(tests/python
  --ignore=tests/python/test_packaging.py --ignore=tests/python/test_wheel_checks.py
  --ignore=tests/python/test_typing.py --ignore=tests/python/test_leaks.py
  --ignore=tests/python/test_cli.py)

# other_pythons MAIN: one interpreter per CPython version 3.11 or newer on
# the machine, other than MAIN's, the first found of each, that can build
# the module and make virtual environments: lines "VERSION PATH", oldest
# first.
other_pythons() {
  local probe='import sys, sysconfig, os, venv, ensurepip
ok = (sys.implementation.name == "cpython" and sys.version_info >= (3, 11)
      and not sysconfig.get_config_var("Py_GIL_DISABLED")
      and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
print("%d.%d" % sys.version_info[:2] if ok else "-")'
  local candidates=() minor c v
  local -A found=()
  for minor in $(seq 11 19); do
    candidates+=("$(command -v "python3.$minor" || true)" "/usr/bin/python3.$minor")
  done
  candidates+=($(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.*/bin/python3 2>/dev/null | sort -V))
  found[$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')]=main
  for c in "${candidates[@]}"; do
    [ -n "$c" ] && [ -x "$c" ] || continue
    v=$("$c" -c "$probe" 2>/dev/null) || continue
    [ "$v" != - ] && [ -z "${found[$v]:-}" ] && found[$v]=$c
  done
  for v in $(printf '%s\n' "${!found[@]}" | sort -V); do
    [ "${found[$v]}" = main ] || echo "$v ${found[$v]}"
  done
}
