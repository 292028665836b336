"""Signatures and docstrings of the extension modules, from their type stubs.

The functions of _quorlix carry a text signature and no docstring, those of
quorlix._batch a one-line docstring: what autodoc can read from them says
neither the types nor enough. Their stubs (_quorlix-stubs/__init__.pyi and
quorlix/_batch.pyi, installed with the package) say both, and this
extension hands them to autodoc for every object of those two modules.
"""

from __future__ import annotations

import ast
import importlib
from pathlib import Path
from typing import Any

from sphinx.application import Sphinx


class _Stub:
    def __init__(self, signature: str | None, returns: str | None, doc: str | None) -> None:
        self.signature = signature
        self.returns = returns
        self.doc = doc


def _read(path: Path) -> dict[str, _Stub]:
    """Each function and documented variable of a stub, by name."""
    found: dict[str, _Stub] = {}
    body = ast.parse(path.read_text()).body
    for i, node in enumerate(body):
        if isinstance(node, ast.FunctionDef):
            returns = ast.unparse(node.returns) if node.returns else None
            found[node.name] = _Stub(f"({ast.unparse(node.args)})", returns, ast.get_docstring(node))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            # A variable's docstring is the string statement after it.
            after = body[i + 1] if i + 1 < len(body) else None
            doc = None
            if isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant):
                doc = str(after.value.value)
            found[node.target.id] = _Stub(None, None, doc)
    return found


def _stubs() -> dict[str, dict[str, _Stub]]:
    """The stubs of the installed extension modules, by module name."""
    quorlix = importlib.import_module("_quorlix")
    batch = importlib.import_module("quorlix._batch")
    return {
        "_quorlix": _read(Path(quorlix.__file__).parent / "_quorlix-stubs" / "__init__.pyi"),
        "quorlix._batch": _read(Path(batch.__file__).with_name("_batch.pyi")),
    }


STUBS = _stubs()


def _stub_of(name: str, obj: Any) -> _Stub | None:
    module = getattr(obj, "__module__", None)
    if module in STUBS and callable(obj):
        return STUBS[module].get(obj.__name__)
    # Data has no __module__ of its own: go by the documented name.
    owner, _, attr = name.rpartition(".")
    if owner in STUBS:
        return STUBS[owner].get(attr)
    return None


def _signature(
    app: Sphinx, what: str, name: str, obj: Any, options: Any, signature: str | None, returns: str | None
) -> tuple[str | None, str | None] | None:
    stub = _stub_of(name, obj)
    if stub is None or stub.signature is None:
        return None
    return stub.signature, stub.returns


def _docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    stub = _stub_of(name, obj)
    if stub is not None and stub.doc:
        lines[:] = stub.doc.splitlines()


def _bases(app: Sphinx, name: str, obj: Any, options: Any, bases: list[type]) -> None:
    # The private mixins that put quorlix under Django's hashers say nothing.
    bases[:] = [b for b in bases if not b.__name__.startswith("_")]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("autodoc-process-signature", _signature)
    app.connect("autodoc-process-docstring", _docstring)
    app.connect("autodoc-process-bases", _bases)
    return {"parallel_read_safe": True}
