"""A program that uses every function and attribute of quorlix and _quorlix.

It must pass `mypy --strict`; assert_type also fails the check when a type
is lost to Any. The test runs it too, so it stays a working program.
"""

from typing import assert_type

import _quorlix

import quorlix
from quorlix import *  # the functions: a star import must bring them typed


def store(password: str, rounds: int = 12) -> bytes:
    salt = assert_type(gensalt(rounds, prefix=b"2b"), bytes)
    return assert_type(hashpw(password.encode(), salt), bytes)


def verify(password: str, stored: bytes) -> bool:
    return assert_type(checkpw(password.encode(), hashed_password=stored), bool)


def login(password: str, stored: bytes, wanted: int = 12) -> bytes:
    if verify(password, stored) and assert_type(needs_rehash(stored, rounds=wanted), bool):
        return store(password, wanted)
    return stored


def derive(passphrase: bytes, salt: bytes) -> bytes:
    return assert_type(kdf(passphrase, salt, desired_key_bytes=48, rounds=16, ignore_few_rounds=True), bytes)


def metadata() -> list[str]:
    return [
        assert_type(quorlix.__title__, str),
        assert_type(quorlix.__summary__, str),
        assert_type(quorlix.__uri__, str),
        assert_type(quorlix.__version__, str),
        assert_type(quorlix.__version_ex__, str),
        assert_type(quorlix.__author__, str),
        assert_type(quorlix.__email__, str),
        assert_type(quorlix.__license__, str),
        assert_type(quorlix.__copyright__, str),
    ]


def main() -> None:
    stored = store("correct horse", rounds=4)
    assert verify("correct horse", stored)
    assert not verify("wrong horse", stored)
    assert len(derive(b"open sesame", b"salt")) == 48
    assert assert_type(_quorlix.gensalt(), bytes).startswith(b"$2b$12$")
    assert assert_type(_quorlix.checkpw(b"pw", _quorlix.hashpw(b"pw", _quorlix.gensalt(4, b"2a"))), bool)
    assert assert_type(_quorlix.kdf(b"pw", b"salt", 16, 50), bytes) != b""
    assert all(metadata())
    assert assert_type(quorlix.__all__, list[str])[: len(_quorlix.__all__)] == assert_type(_quorlix.__all__, list[str])
    assert login("correct horse", stored, wanted=5).startswith(b"$2b$05$")


if __name__ == "__main__":
    main()
