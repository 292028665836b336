"""bcrypt password hashing and bcrypt_pbkdf key derivation."""

import operator
import re

# The extension's functions and metadata, exactly the names its __all__ lists.
from _quorlix import *  # noqa: F403
from _quorlix import __all__ as __all__
from _quorlix import __version_ex__

__version__ = __version_ex__

# The limits the extension enforces, stated once for the command line and the
# Django hashers, which check or cut before they call it.
_MAX_PASSWORD_BYTES = 72  # bcrypt reads no more of a password
_MIN_COST = 4
_MAX_COST = 31
_DEFAULT_COST = 12  # gensalt's
_MAX_KEY_BYTES = 512  # kdf's desired_key_bytes
_MAX_KDF_ROUNDS = 2**32 - 1  # kdf takes rounds as an unsigned 32-bit number
_FEW_KDF_ROUNDS = 50  # kdf warns below it

# A stored hash in the one form hashpw writes and checkpw can ever accept: it
# compares against the canonical 60-byte string it renders. The last salt
# character carries four spare bits and the last hash character two, and
# both are rendered as zeros.
_HASH_RE = re.compile(
    rb"\$2[abxy]\$([0-9]{2})\$[./A-Za-z0-9]{21}[.Oeu][./A-Za-z0-9]{30}[.CGKOSWaeimquy26]",
    re.ASCII,
)


def _hash_cost(hashed: bytes) -> int | None:
    """The cost of a bcrypt hash string in its canonical form, or None."""
    match = _HASH_RE.fullmatch(hashed)
    if match is None:
        return None
    cost = int(match[1])
    return cost if _MIN_COST <= cost <= _MAX_COST else None


def needs_rehash(hashed: bytes, rounds: int = _DEFAULT_COST) -> bool:
    """True when the stored hash was made at a cost below rounds.

    hashed is a 60-byte hash string as hashpw returns it (any of the versions
    2a, 2b, 2x and 2y); anything checkpw could never accept raises
    ValueError("Invalid hash"). rounds is the cost wanted now, 4 to 31, as
    for gensalt.
    """
    if not isinstance(hashed, bytes):
        raise TypeError(f"argument 'hashed': {type(hashed).__name__!r} object cannot be converted to 'PyBytes'")
    try:
        wanted = operator.index(rounds)
    except TypeError as exc:
        raise TypeError(f"argument 'rounds': {exc}") from None
    if not _MIN_COST <= wanted <= _MAX_COST:
        raise ValueError("Invalid rounds")
    cost = _hash_cost(hashed)
    if cost is None:
        raise ValueError("Invalid hash")
    return cost < wanted


# Many hashes at once, and a pool that batches concurrent calls: both run
# hashes of one cost side by side, several to a core.
from quorlix._batch import checkpw_many, hashpw_many  # noqa: E402
from quorlix._pool import Pool  # noqa: E402

# A new list: the extension's own stays as it is.
__all__ = [*__all__, "needs_rehash", "hashpw_many", "checkpw_many", "Pool"]
