# Type information for the extension module _quorlix, shipped as a stub-only
# package because a type checker will not read a bare _quorlix.pyi from
# site-packages.

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

__title__: str
__summary__: str
__uri__: str
__version_ex__: str
__author__: str
__email__: str
__license__: str
__copyright__: str

def gensalt(rounds: int = 12, prefix: bytes = b"2b") -> bytes:
    """A new setting string for hashpw: 29 bytes such as ``$2b$12$`` followed
    by 22 characters that encode 16 random bytes from the operating system.

    rounds is the cost, 4 to 31; each step up doubles the work of hashing.
    prefix is the version, b"2b" (the default) or b"2a". Anything else raises
    ValueError.
    """

def hashpw(password: bytes, salt: bytes) -> bytes:
    """The 60-byte bcrypt hash string of password under salt.

    salt is a setting string from gensalt, or a whole hash string, of which
    only the first 29 bytes (version, cost and salt) count; the result keeps
    its version. A malformed salt raises ValueError("Invalid salt"), a
    password longer than 72 bytes ValueError: bcrypt reads no more, and the
    rest is refused rather than silently ignored.
    """

def checkpw(password: bytes, hashed_password: bytes) -> bool:
    """True when password hashes to hashed_password.

    The password is hashed under the stored hash's own version, cost and
    salt, and the result compared with the stored hash in constant time.
    A malformed stored hash raises ValueError("Invalid salt"), a password
    longer than 72 bytes ValueError, as in hashpw.
    """

def kdf(
    password: bytes,
    salt: bytes,
    desired_key_bytes: int,
    rounds: int,
    ignore_few_rounds: bool = False,
) -> bytes:
    """bcrypt_pbkdf: desired_key_bytes of key derived from password and salt.

    The function OpenSSH uses to encrypt its private-key files: the same
    arguments give the same bytes as OpenSSH. password and salt must not be
    empty, desired_key_bytes is 1 to 512 and rounds at least 1; the work
    grows linearly with rounds. Below 50 rounds it emits a UserWarning
    unless ignore_few_rounds is true (OpenSSH itself uses 16).
    """
