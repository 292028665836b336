#!/usr/bin/env bash
# Formatting, lint and type checks; any finding fails.
#   C++     clang-format (Debian's, version 14) against .clang-format
#   Python  ruff check and ruff format --check, configured in pyproject.toml
#   types   mypy --strict over python/ and scripts/
# `scripts/lint.sh --fix` rewrites what the formatters and ruff can fix.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
VENV=build/lint-venv
# Pinned: a new release of a linter must not fail an unchanged tree.
TOOLS=(ruff==0.17.6 mypy==2.4.1)

scripts/apt-install.sh clang-format
tools_venv "$VENV" "${TOOLS[@]}"

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
