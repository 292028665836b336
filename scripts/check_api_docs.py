"""Checks that the built API reference documents every public name.

    python scripts/check_api_docs.py HTML-DIR   (where quorlix is installed)

The names: quorlix.__all__, the pwdlib and Django hashers, and the public
methods of each class among them. Each must be an entry of the API reference
in the site's inventory, and that entry must have a description: one without
has lost its docstring (for the extension's functions, that of their stub).
"""

import html
import importlib
import re
import sys
import zlib
from pathlib import Path

PAGE = "api.html"
HASHERS = [
    "quorlix.pwdlib.BcryptHasher",
    "quorlix.django.BCryptSHA256PasswordHasher",
    "quorlix.django.BCryptPasswordHasher",
]


def public_names() -> list[str]:
    names = [f"quorlix.{n}" for n in importlib.import_module("quorlix").__all__] + ["quorlix.__version__", *HASHERS]
    for name in list(names):
        module, _, attr = name.rpartition(".")
        obj = getattr(importlib.import_module(module), attr)
        if isinstance(obj, type):
            names += [f"{name}.{m}" for m in vars(obj) if not m.startswith("_") and callable(getattr(obj, m))]
    return names


def inventory(path: Path) -> dict[str, str]:
    """The Python objects of a version 2 inventory, each with its page."""
    header, _, body = path.read_bytes().partition(b"compressed using zlib.\n")
    if not header.startswith(b"# Sphinx inventory version 2"):
        raise SystemExit(f"{path}: not a version 2 inventory")
    lines = zlib.decompress(body).decode().splitlines()
    matches = (re.fullmatch(r"(\S+)\s+py:\w+\s+-?\d+\s+([^#\s]+)\S*\s+.*", line) for line in lines)
    return {m[1]: m[2] for m in matches if m}


def described(page: str, name: str) -> bool:
    """Whether the entry of name has text of its own before the next entry."""
    start = page.find(f'id="{name}"')
    body = page[page.find("</dt>", start) :] if start >= 0 else ""
    end = min(i for i in (body.find("<dt"), body.find("</dd>"), len(body)) if i >= 0)
    return bool(html.unescape(re.sub(r"<[^>]+>", "", body[:end])).strip())


def main() -> int:
    site = Path(sys.argv[1])
    entries, page, names = inventory(site / "objects.inv"), (site / PAGE).read_text(), public_names()
    faults = [f"{n}: not in the API reference ({PAGE})" for n in names if entries.get(n) != PAGE]
    faults += [f"{n}: its entry in {PAGE} has no description" for n in entries if n in names and not described(page, n)]
    print(*faults, f"{len(names)} public names, {len(faults)} faults", sep="\n")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
