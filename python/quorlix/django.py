"""Django's bcrypt password hashers, computed by quorlix.

In the project's settings::

    PASSWORD_HASHERS = [
        "quorlix.django.BCryptSHA256PasswordHasher",
        "quorlix.django.BCryptPasswordHasher",
        ...
    ]

The classes are Django's own (``django.contrib.auth.hashers``) with quorlix
in place of the library those load by name: the same algorithm names
("bcrypt_sha256", "bcrypt"), the same stored format and the same cost
(``rounds``; subclass to change it), so the hashes Django's hashers stored
keep verifying and new ones read the same to them. Needs Django:
``pip install 'quorlix[django]'``.
"""

from __future__ import annotations

import quorlix
from quorlix import _MAX_PASSWORD_BYTES

try:
    from django.contrib.auth import hashers  # type: ignore[import-untyped, import-not-found, unused-ignore]
except ModuleNotFoundError as _missing:
    if _missing.name is None or _missing.name.split(".")[0] != "django":
        raise
    raise ModuleNotFoundError("quorlix.django needs Django: pip install 'quorlix[django]'", name="django") from None


class _Library:
    """The two functions Django's bcrypt hashers call on their library."""

    @staticmethod
    def gensalt(rounds: int) -> bytes:
        return quorlix.gensalt(rounds)

    @staticmethod
    def hashpw(password: bytes, salt: bytes) -> bytes:
        # Django's hashers leave the cut at bcrypt's limit to the library
        # (BCryptPasswordHasher documents it), so the hashes they stored for
        # longer passwords were made from as many bytes as bcrypt reads; quorlix
        # itself refuses such passwords, so the cut is made here.
        return quorlix.hashpw(password[:_MAX_PASSWORD_BYTES], salt)


class _UsesQuorlix:
    def _load_library(self) -> type[_Library]:
        return _Library


class BCryptSHA256PasswordHasher(_UsesQuorlix, hashers.BCryptSHA256PasswordHasher):  # type: ignore[misc, unused-ignore]
    """bcrypt of the hex SHA-256 of the password, stored as
    ``bcrypt_sha256$$2b$12$...``; any password length is used whole."""


class BCryptPasswordHasher(_UsesQuorlix, hashers.BCryptPasswordHasher):  # type: ignore[misc, unused-ignore]
    """bcrypt of the password itself, stored as ``bcrypt$$2b$12$...``; only
    its first 72 bytes count."""
