"""bcrypt password hashing and bcrypt_pbkdf key derivation."""

from _quorlix import (
    __author__,
    __copyright__,
    __email__,
    __license__,
    __summary__,
    __title__,
    __uri__,
    __version_ex__,
    checkpw,
    gensalt,
    hashpw,
    kdf,
)

__version__ = __version_ex__

__all__ = [
    "checkpw",
    "gensalt",
    "hashpw",
    "kdf",
    "__title__",
    "__summary__",
    "__uri__",
    "__version_ex__",
    "__author__",
    "__email__",
    "__license__",
    "__copyright__",
]
