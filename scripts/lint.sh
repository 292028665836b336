#!/usr/bin/env bash
# Formatting, lint and type checks; any finding fails.
#   C++     clang-format (Debian's, version 14) against .clang-format
#   Python  ruff check and ruff format --check, configured in pyproject.toml
#   types   mypy --strict over python/ and scripts/
# `scripts/lint.sh --fix` rewrites what the formatters and ruff can fix.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
VENV=build/lint-venv
# Pinned: a new release of a linter must not fail an unchanged tree.
TOOLS=(ruff==0.17.6 mypy==2.4.1)

scripts/apt-install.sh clang-format
if ! "$VENV/bin/python" -m pip show -q "${TOOLS[@]%%==*}" >/dev/null 2>&1 ||
  ! "$VENV/bin/ruff" --version | grep -q "${TOOLS[0]#*==}"; then
  rm -rf "$VENV"
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q "${TOOLS[@]}"
fi

mapfile -t cxx < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${cxx[@]}"
  "$VENV/bin/ruff" check --fix .
  "$VENV/bin/ruff" format .
  exit 0
fi

status=0
clang-format --dry-run --Werror "${cxx[@]}" || status=1
"$VENV/bin/ruff" check . || status=1
"$VENV/bin/ruff" format --check . || status=1
"$VENV/bin/mypy" --strict python/ scripts/ || status=1
exit $status
