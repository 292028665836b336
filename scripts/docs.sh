#!/usr/bin/env bash
# The documentation: the Sphinx site of docs/ built with every warning an
# error (a broken link or reference, an object autodoc cannot import), the
# Python examples of README.md and docs/ run as doctests, and a check that
# the API reference documents every public name of the package.
#   build/docs-venv   the package (pip install .) and docs/requirements.txt
#   build/docs/html   the site
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib.sh
VENV=build/docs-venv
OUT=build/docs/html

fresh_venv "$PYTHON" "$VENV" . -r docs/requirements.txt
rm -rf "$OUT"
"$VENV/bin/sphinx-build" -W --keep-going -q -b html docs "$OUT"
# Every `>>>` example of the README and the site, as a reader would type it.
"$VENV/bin/python" -m pytest -q -p no:cacheprovider --doctest-glob='*.md' README.md docs/
"$VENV/bin/python" scripts/check_api_docs.py "$OUT"
