"""The distributions: built once per session with `python -m build`, which
makes the sdist and then builds the wheel from that sdist alone in a fresh
isolated environment; the wheel is audited for the stable ABI and installed
into fresh virtual environments, of this CPython and of any other one (3.11
or newer) the machine has.

With QUORLIX_DIST_DIR set, the tests take the sdist and this interpreter's
wheel for this processor from that directory instead (scripts/build-wheels.sh
writes them, also building the wheels from the sdist).

PyPy has no stable ABI, and the wheel for a free-threaded CPython is built
for its own version: there each wheel serves that version alone."""

import email.parser
import glob
import json
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import _quorlix
import pytest

import quorlix
from conftest import FREE_THREADED

REPO = Path(__file__).resolve().parents[2]
DIST_NAME = f"quorlix-{quorlix.__version__}"
PYPY = sys.implementation.name == "pypy"
OWN_VERSION = PYPY or FREE_THREADED  # the wheel is built for this version alone
if PYPY:
    WHEEL_TAG = "pp{}{}-{}".format(*sys.version_info[:2], sysconfig.get_config_var("SOABI").replace("-", "_"))
elif FREE_THREADED:
    WHEEL_TAG = "cp{0}{1}-cp{0}{1}t".format(*sys.version_info[:2])
else:
    WHEEL_TAG = "cp311-abi3"
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX") if OWN_VERSION else ".abi3.so"
MODULE_FILE = "_quorlix" + SUFFIX
EXTENSIONS = {MODULE_FILE, "quorlix/_batch" + SUFFIX}

WHEEL_FILES = EXTENSIONS | {
    "_quorlix-stubs/__init__.pyi",
    "quorlix/__init__.py",
    "quorlix/__main__.py",
    "quorlix/_batch.pyi",
    "quorlix/_pool.py",
    "quorlix/cli.py",
    "quorlix/django.py",
    "quorlix/pwdlib.py",
    "quorlix/py.typed",
}

SMOKE = r"""
import sys, warnings
import _quorlix, quorlix
# From the C library's crypt(3), and from the known bcrypt_pbkdf vector.
assert quorlix.hashpw(b"U*U", b"$2a$05$CCCCCCCCCCCCCCCCCCCCC.") == (
    b"$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW")
assert quorlix.kdf(b"password", b"salt", 32, 4, True).hex() == (
    "5bbf0cc293587f1c3635555c27796598d47e579071bf427e9d8fbe842aba34d9")
h = quorlix.hashpw(b"pw", quorlix.gensalt(4))
assert quorlix.checkpw(b"pw", h) and not quorlix.checkpw(b"px", h)
assert quorlix.checkpw_many([b"pw", b"px"], [h, h]) == [True, False]
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    quorlix.kdf(b"pw", b"salt", 8, 1)
assert [w.category for w in caught] == [UserWarning]
print(sys.implementation.name, "{}.{}".format(*sys.version_info[:2]), _quorlix.__file__, quorlix.__version__)
"""


@pytest.fixture(scope="session")
def dists(tmp_path_factory):
    given = os.environ.get("QUORLIX_DIST_DIR")
    if given:
        (sdist,) = Path(given).glob(f"{DIST_NAME}.tar.gz")
        (wheel,) = Path(given).glob(f"{DIST_NAME}-{WHEEL_TAG}-*_{platform.machine()}.whl")
        return sdist, wheel
    out = tmp_path_factory.mktemp("dist")
    done = subprocess.run(
        [sys.executable, "-m", "build", "--outdir", str(out), str(REPO)],
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert "Building wheel from sdist" in done.stdout + done.stderr  # the sdist is enough to build from
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


def test_wheel_is_tagged_for_the_interpreter_and_holds_the_package(dists):
    _, wheel = dists
    assert wheel.name.startswith(f"{DIST_NAME}-{WHEEL_TAG}-") and wheel.name.endswith("_x86_64.whl")
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        info = f"{DIST_NAME}.dist-info"
        tags = z.read(f"{info}/WHEEL").decode()
        scripts = z.read(f"{info}/entry_points.txt").decode()
    # auditwheel's repaired wheels also list the directories.
    assert {n for n in names if not n.startswith(info + "/") and not n.endswith("/")} == WHEEL_FILES
    assert f"{info}/licenses/LICENSE" in names
    assert "Root-Is-Purelib: false" in tags.splitlines()
    # One Tag line for each platform of a compressed tag set (manylinux2014_x86_64.manylinux_2_17_x86_64).
    python_tag, abi_tag, platforms = wheel.name[len(DIST_NAME) + 1 : -len(".whl")].split("-")
    assert sorted(t for t in tags.splitlines() if t.startswith("Tag:")) == sorted(
        f"Tag: {python_tag}-{abi_tag}-{p}" for p in platforms.split(".")
    )
    assert "[console_scripts]\nquorlix = quorlix.cli:main" in scripts


def test_wheel_metadata(dists):
    _, wheel = dists
    with zipfile.ZipFile(wheel) as z:
        meta = email.parser.Parser().parsestr(z.read(f"{DIST_NAME}.dist-info/METADATA").decode())
    assert (meta["Name"], meta["Version"]) == ("quorlix", _quorlix.__version_ex__)
    assert meta["Summary"] == _quorlix.__summary__
    assert meta["Requires-Python"] == ">=3.11"
    assert "Apache-2.0" in (meta["License-Expression"] or meta["License"])
    assert f"Homepage, {_quorlix.__uri__}" in meta.get_all("Project-URL")
    classifiers = meta.get_all("Classifier")
    for c in (
        "License :: OSI Approved :: Apache Software License",
        "Typing :: Typed",
        "Programming Language :: Python :: 3.11",
        "Programming Language :: Python :: Implementation :: CPython",
        "Programming Language :: Python :: Implementation :: PyPy",
    ):
        assert c in classifiers
    assert sorted(meta.get_all("Provides-Extra")) == ["django", "test"]

    def extra(name):
        return {
            r.split(";")[0].split(">")[0].strip() for r in meta.get_all("Requires-Dist") if f'extra == "{name}"' in r
        }

    assert {"pytest", "mypy", "build", "abi3audit", "django"} <= extra("test")
    assert extra("django") == {"django"}
    assert not [r for r in meta.get_all("Requires-Dist") if "extra ==" not in r], "no runtime dependencies"
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().startswith("# quorlix\n")


@pytest.mark.skipif(OWN_VERSION, reason="the wheel is not built for the stable ABI")
def test_abi3audit_finds_no_violation(dists):
    _, wheel = dists
    done = subprocess.run(
        [sys.executable, "-m", "abi3audit", "--strict", "--report", str(wheel)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    (audited,) = json.loads(done.stdout)["specs"].values()
    assert {Path(ext["name"]).name for ext in audited["wheel"]} == {Path(e).name for e in EXTENSIONS}
    for ext in audited["wheel"]:
        result = ext["result"]
        assert result["is_abi3"] and result["is_abi3_baseline_compatible"], ext
        assert (result["non_abi3_symbols"], result["future_abi3_objects"]) == ([], {}), ext
        assert tuple(map(int, result["computed"].split("."))) <= (3, 11), ext


def test_sdist_holds_the_sources(dists):
    sdist, _ = dists
    with tarfile.open(sdist) as t:
        names = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
    for needed in (
        "PKG-INFO",
        "pyproject.toml",
        "CMakeLists.txt",
        "README.md",
        "LICENSE",
        "src/CMakeLists.txt",
        "src/module.cpp",
        "crypto/CMakeLists.txt",
        "python/quorlix/cli.py",
        "python/quorlix/py.typed",
        "python/_quorlix-stubs/__init__.pyi",
    ):
        assert needed in names
    assert not [n for n in names if n.startswith("build/") or "__pycache__" in n or n.endswith(".so")]


def other_cpythons():
    """One interpreter for each CPython version other than this one that can
    run the wheel (3.11 or newer, with the GIL) and make a virtual environment."""
    names = [f"python3.{minor}" for minor in range(11, 20)]
    candidates = [shutil.which(n) for n in names]
    candidates += [f"{d}/{n}" for d in ("/usr/bin", "/usr/local/bin") for n in names]
    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates += sorted(glob.glob(os.path.join(pyenv, "versions", "*", "bin", "python3")))
    probe = (
        "import sys, sysconfig, venv, ensurepip; "
        "print(sys.implementation.name, '%d.%d' % sys.version_info[:2], "
        "sysconfig.get_config_var('Py_GIL_DISABLED') or 0, sys.version_info >= (3, 11))"
    )
    found = {}
    for exe in filter(None, candidates):
        if not os.access(exe, os.X_OK):
            continue
        try:
            done = subprocess.run([exe, "-c", probe], capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            continue
        if done.returncode != 0:
            continue  # e.g. a pyenv shim for a version not selected, or no venv module
        impl, version, no_gil, new_enough = done.stdout.split()
        if impl == "cpython" and no_gil == "0" and new_enough == "True":
            found.setdefault(version, exe)
    found.pop("{}.{}".format(*sys.version_info[:2]), None)
    return found


def install_and_smoke(python, wheel, where):
    """Installs the wheel into a new virtual environment made by `python`
    and runs the module and the command line there; returns the smoke line."""
    venv = where / "venv"
    subprocess.run([python, "-m", "venv", str(venv)], check=True, capture_output=True, timeout=300)
    bin_ = venv / "bin"
    pip = subprocess.run(
        [bin_ / "python", "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert pip.returncode == 0, pip.stderr
    # From an empty directory with a clean environment, nothing but the venv can provide the module.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}
    run = dict(cwd=where, env=env, capture_output=True, timeout=120)
    smoke = subprocess.run([bin_ / "python", "-c", SMOKE], text=True, **run)
    assert smoke.returncode == 0, smoke.stderr
    impl, version, module_file, package_version = smoke.stdout.split()
    assert Path(module_file).name == MODULE_FILE
    assert Path(module_file).is_relative_to(venv)
    assert package_version == quorlix.__version__

    hashed = subprocess.run([bin_ / "quorlix", "hash", "--rounds", "4"], input=b"correct horse\n", **run)
    assert hashed.returncode == 0, hashed.stderr
    check = subprocess.run([bin_ / "quorlix", "check", hashed.stdout.decode().strip()], input=b"correct horse\n", **run)
    assert (check.returncode, check.stdout) == (0, b"password matches\n")
    version_line = subprocess.run([bin_ / "python", "-m", "quorlix", "--version"], **run)
    assert version_line.stdout == f"quorlix {quorlix.__version__}\n".encode()
    return impl, version


def test_wheel_works_in_a_fresh_virtual_environment(dists, tmp_path):
    _, wheel = dists
    expected = (sys.implementation.name, "{}.{}".format(*sys.version_info[:2]))
    assert install_and_smoke(sys.executable, wheel, tmp_path) == expected


OTHERS = {} if OWN_VERSION else other_cpythons()
NO_OTHER = "the wheel serves this version alone" if OWN_VERSION else "no other CPython 3.11+ on this machine"


@pytest.mark.parametrize("version", sorted(OTHERS) or [pytest.param(None, marks=pytest.mark.skip(reason=NO_OTHER))])
def test_same_wheel_works_on_another_cpython(dists, tmp_path, version):
    _, wheel = dists
    assert install_and_smoke(OTHERS[version], wheel, tmp_path) == ("cpython", version)
