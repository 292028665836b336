# Type information for the extension module quorlix._batch.
from collections.abc import Iterable

__all__ = ["checkpw_many", "hashpw_many"]

LANES: int
"""How many hashes of one cost hashpw_many, checkpw_many and Pool compute side by side."""

def checkpw_many(passwords: Iterable[bytes], hashed_passwords: Iterable[bytes]) -> list[bool]:
    """checkpw for each pair of password and stored hash: a list of booleans.

    Item by item the results of checkpw, computed in lanes: up to LANES
    hashes of one cost side by side. The first item checkpw would refuse
    raises checkpw's exception, with the item's place in a note, before
    any hashing starts; passwords and hashed_passwords of different lengths
    raise ValueError.
    """

def hashpw_many(passwords: Iterable[bytes], salts: Iterable[bytes]) -> list[bytes]:
    """hashpw for each pair of password and salt: a list of hash strings.

    Item by item the hashes hashpw gives, byte for byte, computed in lanes:
    up to LANES hashes of one cost side by side. The first item hashpw
    would refuse raises hashpw's exception, with the item's place in a
    note, before any hashing starts; passwords and salts of different
    lengths raise ValueError.
    """

def _checkpw_cost(password: bytes, hashed_password: bytes) -> int: ...
def _hashpw_cost(password: bytes, salt: bytes) -> int: ...
