import ctypes
import functools
import os
import signal
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

SUPPORT = Path(__file__).parent / "support"

# A shell starts a background job with SIGINT ignored, which every process
# the tests start would inherit: they must meet Ctrl-C as a user's do.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# True when the suite runs against a sanitizer build with its runtime preloaded.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, env=None, timeout=120):
    """Runs code in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    env = dict(env or {})
    # A preload inherited from the caller (the sanitizer runtime) must stay
    # first in the list; the test's own shim goes after it.
    inherited = os.environ.get("LD_PRELOAD")
    if inherited and "LD_PRELOAD" in env:
        env["LD_PRELOAD"] = inherited + ":" + env["LD_PRELOAD"]
    full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture(scope="session")
def getrandom_shim(tmp_path_factory):
    """Path of a shared library that overrides getrandom when preloaded."""
    if sys.platform == "win32":
        pytest.skip("preloads a shim into the ELF loader")
    out = tmp_path_factory.mktemp("shim") / "getrandom_shim.so"
    subprocess.run(
        ["cc", "-shared", "-fPIC", "-O2", "-o", str(out), str(SUPPORT / "getrandom_shim.c"), "-ldl"],
        check=True,
    )
    return out


@functools.cache
def _libcrypt():
    lib = ctypes.CDLL("libcrypt.so.1")
    lib.crypt_rn.restype = lib.crypt_gensalt_rn.restype = ctypes.c_char_p
    return lib


def crypt3(password, setting):
    """The C library's crypt(3), through the variants that write into a
    buffer of the call's own, so that threads may call it at once."""
    data = ctypes.create_string_buffer(32768)  # a struct crypt_data
    return _libcrypt().crypt_rn(password, setting, data, len(data))


def crypt3_gensalt(prefix, cost):
    out = ctypes.create_string_buffer(64)
    return _libcrypt().crypt_gensalt_rn(prefix, ctypes.c_ulong(cost), None, 0, out, len(out))
