"""Checks that the built API reference documents every public name.

    python scripts/check_api_docs.py HTML-DIR

Run with the interpreter quorlix is installed in. The public names are
quorlix.__all__, the hashers of quorlix.pwdlib and quorlix.django, and the
public methods of each class among them. Each must be in the site's
inventory (objects.inv) as an entry of the API reference, and its entry in
the page must say something: an entry without a description means its
docstring was lost on the way (for the extension's functions, from their
type stubs).
"""

from __future__ import annotations

import html
import importlib
import re
import sys
import zlib
from pathlib import Path

PAGE = "api.html"
CLASSES_BEYOND_ALL = [
    "quorlix.pwdlib.BcryptHasher",
    "quorlix.django.BCryptSHA256PasswordHasher",
    "quorlix.django.BCryptPasswordHasher",
]


def public_names() -> list[str]:
    quorlix = importlib.import_module("quorlix")
    names = [f"quorlix.{n}" for n in quorlix.__all__] + ["quorlix.__version__", *CLASSES_BEYOND_ALL]
    for name in list(names):
        module, _, attr = name.rpartition(".")
        obj = getattr(importlib.import_module(module), attr)
        if isinstance(obj, type):
            names += [f"{name}.{m}" for m in vars(obj) if not m.startswith("_") and callable(getattr(obj, m))]
    return names


def inventory(path: Path) -> dict[str, str]:
    """Python objects of a Sphinx version 2 inventory: name to page."""
    raw = path.read_bytes()
    header = b"".join(raw.splitlines(keepends=True)[:4])
    if not header.startswith(b"# Sphinx inventory version 2"):
        raise SystemExit(f"{path}: not a version 2 inventory")
    found = {}
    for line in zlib.decompress(raw[len(header) :]).decode().splitlines():
        match = re.fullmatch(r"(\S+)\s+py:\w+\s+-?\d+\s+(\S+?)(?:#\S*)?\s+.*", line)
        if match:
            found[match[1]] = match[2]
    return found


def described(page: str, name: str) -> bool:
    """Whether the entry of name has text of its own before the next entry."""
    start = page.find(f'id="{name}"')
    if start < 0:
        return False
    body = page[page.find("</dt>", start) :]
    end = min(i for i in (body.find("<dt"), body.find("</dd>"), len(body)) if i >= 0)
    text = re.sub(r"<[^>]+>", "", body[:end])
    return bool(html.unescape(text).strip())


def main() -> int:
    site = Path(sys.argv[1])
    entries = inventory(site / "objects.inv")
    page = (site / PAGE).read_text()
    faults = []
    for name in public_names():
        if entries.get(name) != PAGE:
            faults.append(f"{name}: not in the API reference ({PAGE})")
        elif not described(page, name):
            faults.append(f"{name}: its entry in {PAGE} has no description")
    for fault in faults:
        print(fault)
    print(f"{len(public_names()) - len(faults)} public names documented, {len(faults)} missing")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
