"""scripts/check_wheels.py, which stands between a release wheel and PyPI:
fed wheels whose module is made by the C compiler here with one fault each,
it must name that fault and fail, and pass the wheel without one."""

import base64
import hashlib
import os
import platform
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
MANYLINUX = "manylinux2014_x86_64.manylinux_2_17_x86_64"

pytestmark = [
    pytest.mark.skipif(platform.machine() != "x86_64", reason="the faulty modules are built for x86-64"),
    pytest.mark.skipif(not shutil.which("cc") or not shutil.which("readelf"), reason="needs cc and readelf"),
]

INIT = '__attribute__((visibility("default"))) void* PyInit__quorlix(void) { return 0; }\n'
MODULES = {
    "sound": INIT,
    # getrandom's glibc wrapper is versioned GLIBC_2.25.
    "new glibc": INIT + "#include <sys/random.h>\nlong f(char* b) { return getrandom(b, 1, 0); }\n",
    "second export": INIT + '__attribute__((visibility("default"))) int helper(void) { return 1; }\n',
    "foreign library": INIT + "char* crypt(const char*, const char*);\nvoid* g(void) { return crypt; }\n",
}
LINK = {"foreign library": ["-lcrypt"]}


def make_wheel(tmp: Path, module: str, platform_tag: str) -> Path:
    src = tmp / "module.c"
    src.write_text(MODULES[module])
    so = tmp / "_quorlix.abi3.so"
    flags = ["-shared", "-fPIC", "-O2", "-fvisibility=hidden", "-Wl,--no-as-needed"]
    subprocess.run(["cc", *flags, "-o", str(so), str(src), *LINK.get(module, [])], check=True)
    info = "quorlix-5.0.0.dist-info"
    tags = "".join(f"Tag: cp311-abi3-{p}\n" for p in platform_tag.split("."))
    files = {
        "_quorlix.abi3.so": so.read_bytes(),
        f"{info}/METADATA": b"Metadata-Version: 2.1\nName: quorlix\nVersion: 5.0.0\n",
        f"{info}/WHEEL": f"Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: false\n{tags}".encode(),
    }
    record = ""
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record += f"{name},sha256={digest},{len(data)}\n"
    files[f"{info}/RECORD"] = (record + f"{info}/RECORD,,\n").encode()
    wheel = tmp / f"quorlix-5.0.0-cp311-abi3-{platform_tag}.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        for name, data in files.items():
            z.writestr(name, data)
    return wheel


def check(wheel: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    return subprocess.run(
        [sys.executable, str(REPO / "scripts/check_wheels.py"), "--glibc", "2.17", str(wheel)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )


@pytest.mark.skipif(not shutil.which("auditwheel", path=os.path.dirname(sys.executable)), reason="needs auditwheel")
@pytest.mark.parametrize(
    ("module", "platform_tag", "faults"),
    [
        ("sound", MANYLINUX, []),
        ("new glibc", MANYLINUX, ["needs GLIBC_2.25", "auditwheel calls it manylinux_2_26_x86_64"]),
        ("second export", MANYLINUX, ["exports PyInit__quorlix, helper"]),
        ("foreign library", MANYLINUX, ["needs libcrypt.so.1", "auditwheel calls it linux_x86_64"]),
        ("sound", "linux_x86_64", ["the file name does not carry manylinux_2_17_x86_64"]),
    ],
)
def test_each_fault_is_named_and_fails_the_check(tmp_path, module, platform_tag, faults):
    done = check(make_wheel(tmp_path, module, platform_tag))
    named = [line for line in done.stderr.splitlines() if line.startswith("FAULT:")]
    # Each fault is named, and nothing else.
    assert sorted(next((f for f in faults if f in n), n) for n in named) == sorted(faults), done.stderr
    assert done.returncode == (1 if faults else 0), done.stdout + done.stderr
    (row,) = [
        line for line in done.stdout.splitlines() if line.startswith(f"| quorlix-5.0.0-cp311-abi3-{platform_tag}")
    ]
    assert "GLIBC_2.25" in row if module == "new glibc" else "GLIBC_2.25" not in row
