"""A bcrypt hasher for pwdlib, computed by quorlix.

::

    from pwdlib import PasswordHash
    from quorlix.pwdlib import BcryptHasher

    password_hash = PasswordHash([BcryptHasher()])
    stored = password_hash.hash("correct horse")
    ok, new_hash = password_hash.verify_and_update("correct horse", stored)

It follows pwdlib's hasher protocol (``identify``, ``hash``, ``verify``,
``check_needs_rehash``) and reads and writes the standard bcrypt hash
strings, so hashes move freely between it and other bcrypt hashers. Text
passwords are encoded in UTF-8; as with quorlix itself, a password over 72
bytes is refused with ValueError rather than cut. Give it a ``quorlix.Pool``
to have concurrent logins computed in lanes. pwdlib itself is not imported.
"""

from __future__ import annotations

from typing import Protocol

import quorlix
from quorlix import _MAX_COST, _MIN_COST

_PREFIXES = (b"$2a$", b"$2b$", b"$2x$", b"$2y$")


class _Hashing(Protocol):
    def hashpw(self, password: bytes, salt: bytes) -> bytes: ...
    def checkpw(self, password: bytes, hashed_password: bytes) -> bool: ...


def _bytes(value: str | bytes) -> bytes:
    return value.encode("utf-8") if isinstance(value, str) else value


class BcryptHasher:
    """bcrypt for pwdlib: new hashes at cost ``rounds`` with version
    ``prefix`` ("2b" or "2a"), on ``pool`` when one is given."""

    def __init__(self, rounds: int = 12, prefix: str = "2b", pool: quorlix.Pool | None = None) -> None:
        if not _MIN_COST <= rounds <= _MAX_COST:
            raise ValueError("Invalid rounds")
        if prefix not in ("2a", "2b"):
            raise ValueError("Supported prefixes are '2a' or '2b'")
        self.rounds = rounds
        self.prefix = prefix
        self._hashing: _Hashing = pool if pool is not None else quorlix

    @classmethod
    def identify(cls, hash: str | bytes) -> bool:
        """True for a bcrypt hash string, of version 2a, 2b, 2x or 2y."""
        return _bytes(hash).startswith(_PREFIXES)

    def hash(self, password: str | bytes, *, salt: bytes | None = None) -> str:
        """The hash string of password, under salt (a setting string such as
        quorlix.gensalt() returns) or a fresh one."""
        if salt is None:
            salt = quorlix.gensalt(self.rounds, self.prefix.encode())
        return self._hashing.hashpw(_bytes(password), salt).decode("ascii")

    def verify(self, password: str | bytes, hash: str | bytes) -> bool:
        """True when password matches the stored hash."""
        return self._hashing.checkpw(_bytes(password), _bytes(hash))

    def check_needs_rehash(self, hash: str | bytes) -> bool:
        """True when the hash was made at another cost than ``rounds``."""
        hashed = _bytes(hash)
        cost = quorlix._hash_cost(hashed)
        if cost is None:
            raise ValueError("Invalid hash")
        return cost != self.rounds
