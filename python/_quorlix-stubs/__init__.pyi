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

def gensalt(rounds: int = 12, prefix: bytes = b"2b") -> bytes: ...
def hashpw(password: bytes, salt: bytes) -> bytes: ...
def checkpw(password: bytes, hashed_password: bytes) -> bool: ...
def kdf(
    password: bytes,
    salt: bytes,
    desired_key_bytes: int,
    rounds: int,
    ignore_few_rounds: bool = False,
) -> bytes: ...
