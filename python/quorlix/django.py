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

With ``QUORLIX_POOL = True`` in the settings, the hashes are computed by one
``quorlix.Pool`` per process (a number instead of True sets its workers; a
``quorlix.Pool`` of the project's own may be given too): concurrent logins
then run side by side in lanes.
"""

from __future__ import annotations

import threading
from typing import Protocol

import quorlix
from quorlix import _MAX_PASSWORD_BYTES

try:
    from django.contrib.auth import hashers  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from django.core.exceptions import (  # type: ignore[import-untyped, import-not-found, unused-ignore]
        ImproperlyConfigured,
    )
except ModuleNotFoundError as _missing:
    if _missing.name is None or _missing.name.split(".")[0] != "django":
        raise
    raise ModuleNotFoundError("quorlix.django needs Django: pip install 'quorlix[django]'", name="django") from None


_SHARED: dict[int | None, quorlix.Pool] = {}
_SHARED_LOCK = threading.Lock()


class _Hashing(Protocol):
    def hashpw(self, password: bytes, salt: bytes) -> bytes: ...


def _hashing() -> _Hashing:
    """quorlix itself, or the pool that the QUORLIX_POOL setting names."""
    # Imported here: the lazy settings object is not for the module's namespace.
    from django.conf import settings  # type: ignore[import-untyped, import-not-found, unused-ignore]

    choice = getattr(settings, "QUORLIX_POOL", None)
    if choice is None or choice is False:
        return quorlix
    if isinstance(choice, quorlix.Pool):
        return choice
    if choice is not True and (not isinstance(choice, int) or isinstance(choice, bool) or choice < 1):
        raise ImproperlyConfigured("QUORLIX_POOL must be True, a number of workers or a quorlix.Pool")
    workers = None if choice is True else choice
    with _SHARED_LOCK:
        if workers not in _SHARED:
            _SHARED[workers] = quorlix.Pool(workers)
        return _SHARED[workers]


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
        return _hashing().hashpw(password[:_MAX_PASSWORD_BYTES], salt)


class _UsesQuorlix:
    def _load_library(self) -> type[_Library]:
        return _Library


class BCryptSHA256PasswordHasher(_UsesQuorlix, hashers.BCryptSHA256PasswordHasher):  # type: ignore[misc, unused-ignore]
    """bcrypt of the hex SHA-256 of the password, stored as
    ``bcrypt_sha256$$2b$12$...``; any password length is used whole."""


class BCryptPasswordHasher(_UsesQuorlix, hashers.BCryptPasswordHasher):  # type: ignore[misc, unused-ignore]
    """bcrypt of the password itself, stored as ``bcrypt$$2b$12$...``; only
    its first 72 bytes count."""
