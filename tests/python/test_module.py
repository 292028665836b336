import ast
import importlib
import sys
from pathlib import Path

import _quorlix
import pytest

import quorlix
from conftest import FREE_THREADED, run_python

SIGNATURES = {
    "checkpw": "(password, hashed_password)",
    "gensalt": "(rounds=12, prefix=b'2b')",
    "hashpw": "(password, salt)",
    "kdf": "(password, salt, desired_key_bytes, rounds, ignore_few_rounds=False)",
}


def stub_all():
    """__all__ as the installed stub writes it down for type checkers."""
    stub = Path(_quorlix.__file__).parent / "_quorlix-stubs" / "__init__.pyi"
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]:
            return ast.literal_eval(node.value)
    raise AssertionError("the stub has no __all__")


STUB_ALL = stub_all()
FUNCTIONS = [n for n in STUB_ALL if not n.startswith("__")]
METADATA = [n for n in STUB_ALL if n.startswith("__")]


def test_all_lists_functions_then_metadata_in_order():
    assert _quorlix.__all__ == STUB_ALL == FUNCTIONS + METADATA
    assert FUNCTIONS == sorted(SIGNATURES) and len(METADATA) == 8


def test_package_exports_the_extension_and_its_own_helpers():
    names: dict[str, object] = {}
    exec("from quorlix import *", names)
    del names["__builtins__"]
    assert sorted(names) == sorted(quorlix.__all__)
    assert quorlix.__all__[: len(STUB_ALL)] == STUB_ALL
    public = {n for n in vars(quorlix) if not n.startswith("_") and callable(getattr(quorlix, n))}
    assert public <= set(quorlix.__all__)
    assert _quorlix.__all__ == STUB_ALL, "the package must not extend the extension's own list"


def test_module_identity():
    assert _quorlix.__name__ == "_quorlix"
    assert _quorlix.__doc__ == ""
    assert not hasattr(_quorlix, "PanicException")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_bound_builtins_with_text_signatures(name):
    fn = getattr(_quorlix, name)
    assert fn.__module__ == "_quorlix"
    assert fn.__self__ is _quorlix
    assert fn.__name__ == name
    assert fn.__text_signature__ == SIGNATURES[name]
    assert fn.__doc__ is None


def test_metadata_values():
    for name in METADATA:
        assert isinstance(getattr(_quorlix, name), str), name
    assert _quorlix.__title__ == "quorlix"
    assert _quorlix.__version_ex__ == "5.0.0"
    assert _quorlix.__license__ == "Apache License, Version 2.0"
    assert _quorlix.__copyright__.endswith(" " + _quorlix.__author__)
    assert not _quorlix.__copyright__.startswith(" ")
    for name in ("__summary__", "__uri__", "__author__", "__email__"):
        assert getattr(_quorlix, name).strip()


def test_package_reexports_module():
    for name in STUB_ALL:
        assert getattr(quorlix, name) is getattr(_quorlix, name)


PYPY = sys.implementation.name == "pypy"


@pytest.mark.thread_unsafe(reason="takes the module out of sys.modules")
def test_reimport_gives_the_same_object():
    first = sys.modules.pop("_quorlix")
    try:
        again = importlib.import_module("_quorlix")
        # PyPy re-imports every extension module as a new module object over the first one's contents.
        assert again is first or (PYPY and again.hashpw is first.hashpw)
        assert again.__all__ == first.__all__  # the body did not run twice
    finally:
        sys.modules["_quorlix"] = first


@pytest.mark.skipif(PYPY, reason="PyPy has no subinterpreters")
def test_subinterpreter_import_is_refused():
    # Run where no earlier test has touched the process.
    result = run_python(
        """
        import sys
        import _quorlix
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            iid = interpreters.create("legacy")
            err = interpreters.exec(iid, "import _quorlix")
            print(err.type.__name__, err.msg)
        else:
            import _xxsubinterpreters as interpreters
            iid = interpreters.create(**({"isolated": False} if sys.version_info >= (3, 12) else {}))
            try:
                interpreters.run_string(iid, "import _quorlix")
            except interpreters.RunFailedError as e:
                print(e)
            else:
                print("imported")
        """
    )
    assert result.returncode == 0, result.stderr
    out = result.stdout.strip()
    assert "ImportError" in out
    # A free-threaded interpreter refuses a single-phase module itself, before its init runs.
    refusal = "does not support loading in subinterpreters" if FREE_THREADED else "PyO3 modules do not yet support"
    assert refusal in out


def test_only_the_init_function_is_exported():
    import subprocess

    out = subprocess.run(
        ["nm", "-D", "--defined-only", _quorlix.__file__], capture_output=True, text=True, check=True
    ).stdout
    functions = [line.split()[-1] for line in out.splitlines() if line.split()[1] in ("T", "W", "i")]
    assert functions == ["PyInit__quorlix"]
