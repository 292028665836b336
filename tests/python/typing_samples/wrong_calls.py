"""Calls that mypy must refuse; each line's expected message follows "# E:"."""

import _quorlix

import quorlix

salt = quorlix.gensalt(4)
stored = quorlix.hashpw(b"pw", salt)

quorlix.hashpw("correct horse", salt)  # E: Argument 1 to "hashpw" has incompatible type "str"; expected "bytes"
quorlix.hashpw(b"correct horse", salt.decode())  # E: Argument 2 to "hashpw" has incompatible type "str"; expected "bytes"
quorlix.checkpw("pw", stored)  # E: Argument 1 to "checkpw" has incompatible type "str"; expected "bytes"
quorlix.checkpw(b"pw", hashed=stored)  # E: Unexpected keyword argument "hashed" for "checkpw"
_quorlix.kdf("pw", b"salt", 32, 50)  # E: Argument 1 to "kdf" has incompatible type "str"; expected "bytes"
quorlix.kdf(b"pw", b"salt", 32)  # E: Missing positional argument "rounds" in call to "kdf"
quorlix.kdf(b"pw", b"salt", 32, "50")  # E: Argument 4 to "kdf" has incompatible type "str"; expected "int"
quorlix.gensalt(prefix="2b")  # E: Argument "prefix" to "gensalt" has incompatible type "str"; expected "bytes"
quorlix.gensalt("12")  # E: Argument 1 to "gensalt" has incompatible type "str"; expected "int"
matched: str = quorlix.checkpw(b"pw", stored)  # E: Incompatible types in assignment (expression has type "bool", variable has type "str")
quorlix.__version__.decode()  # E: "str" has no attribute "decode"
quorlix.needs_rehash(stored.decode())  # E: Argument 1 to "needs_rehash" has incompatible type "str"; expected "bytes"
quorlix.needs_rehash(stored, "12")  # E: Argument 2 to "needs_rehash" has incompatible type "str"; expected "int"
