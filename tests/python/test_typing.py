"""The installed package's type information, as mypy sees it.

mypy runs from an empty directory on copies of the samples, so it can only
find quorlix and _quorlix where pip installed them.
"""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import _quorlix
import pytest

import quorlix
from conftest import FREE_THREADED

SAMPLES = Path(__file__).parent / "typing_samples"
# mypy says "Running mypy on PyPy is not supported yet", and does not install
# on every free-threaded build.
NEEDS_MYPY = pytest.mark.skipif(
    sys.implementation.name == "pypy" or (FREE_THREADED and importlib.util.find_spec("mypy") is None),
    reason="mypy does not run here",
)
ERROR_RE = re.compile(r"(?P<file>[^:\s]+):(?P<line>\d+): error: (?P<message>.*)")


def clean_env():
    return {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    path = tmp_path_factory.mktemp("typing")
    for sample in SAMPLES.glob("*.py"):
        shutil.copy(sample, path)
    return path


@pytest.fixture(scope="module")
def mypy_errors(work):
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(work / ".cache"),
            "-m",
            "uses_every_function",
            "-m",
            "wrong_calls",
            "-p",
            "quorlix",
            "-p",
            "_quorlix",
        ],
        cwd=work,
        env=clean_env(),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 1, done.stdout + done.stderr  # 1: errors found, 2: mypy failed
    errors = {}
    for line in done.stdout.splitlines():
        if m := ERROR_RE.match(line):
            errors.setdefault((Path(m["file"]).name, int(m["line"])), []).append(m["message"])
    return errors


def test_stub_and_marker_are_installed_beside_the_modules():
    site = Path(_quorlix.__file__).parent
    assert (site / "_quorlix-stubs" / "__init__.pyi").is_file()
    assert (Path(quorlix.__file__).parent / "py.typed").is_file()
    assert "site-packages" in site.parts


@NEEDS_MYPY
def test_sample_and_package_pass_strict(mypy_errors):
    elsewhere = {k: v for k, v in mypy_errors.items() if k[0] != "wrong_calls.py"}
    assert elsewhere == {}


@NEEDS_MYPY
def test_wrong_calls_are_reported(mypy_errors):
    expected = {}
    for number, text in enumerate((SAMPLES / "wrong_calls.py").read_text().splitlines(), 1):
        if "  # E: " in text:
            expected[number] = text.split("  # E: ", 1)[1]
    assert len(expected) >= 10
    reported = {line: msgs for (name, line), msgs in mypy_errors.items() if name == "wrong_calls.py"}
    assert sorted(reported) == sorted(expected)
    for line, message in expected.items():
        assert any(message in m for m in reported[line]), (line, reported[line])


def test_sample_runs(work):
    done = subprocess.run(
        [sys.executable, "uses_every_function.py"], cwd=work, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr


@NEEDS_MYPY
def test_stubs_agree_with_the_runtime(work):
    # stubtest compares each stub signature with the extension's
    # __text_signature__, and the stub's names with the module's.
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_quorlix", "quorlix"],
        cwd=work,
        env=clean_env(),
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success" in done.stdout
