"""Times quorlix calls for benchmarks/run.py in a process of its own.

Loads the quorlix package from the directory given (the build with the plain
C++ Blowfish round, or a build for another interpreter) and answers one
request a line on standard input with the seconds the call took and its
result:

    hashpw PASSWORD-HEX SETTING      ->  SECONDS HASH
    crypt PASSWORD-HEX SETTING       ->  SECONDS HASH   (the C library's crypt(3))
    kdf PASSWORD-HEX SALT-HEX LENGTH ROUNDS  ->  SECONDS KEY-HEX
"""

import ctypes
import sys
import time
from pathlib import Path

directory = Path(sys.argv[1]).resolve()
sys.path.insert(0, str(directory))
import quorlix  # noqa: E402  (from the directory above, not the installed one)

if directory not in Path(quorlix.__file__).resolve().parents:
    sys.exit(f"quorlix came from {quorlix.__file__}, not from {directory}")

libcrypt = ctypes.CDLL("libcrypt.so.1")
libcrypt.crypt.restype = ctypes.c_char_p
libcrypt.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]

for line in sys.stdin:
    op, *args = line.split()
    if op == "hashpw":
        password, setting = bytes.fromhex(args[0]), args[1].encode()
        start = time.perf_counter()
        result = quorlix.hashpw(password, setting).decode()
    elif op == "crypt":
        password, setting = bytes.fromhex(args[0]), args[1].encode()
        start = time.perf_counter()
        result = libcrypt.crypt(password, setting).decode()
    elif op == "kdf":
        password, salt, length, rounds = bytes.fromhex(args[0]), bytes.fromhex(args[1]), int(args[2]), int(args[3])
        start = time.perf_counter()
        result = quorlix.kdf(password, salt, length, rounds, True).hex()
    else:
        sys.exit(f"unknown request {op!r}")
    print(time.perf_counter() - start, result, flush=True)
