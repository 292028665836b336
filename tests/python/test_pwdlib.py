"""quorlix.pwdlib.BcryptHasher under pwdlib itself, with and without a pool."""

import pytest
from pwdlib import PasswordHash

import quorlix
from conftest import crypt3
from quorlix.pwdlib import BcryptHasher


@pytest.fixture(params=[False, True], ids=["direct", "pool"])
def pool(request):
    if not request.param:
        yield None
        return
    with quorlix.Pool(2) as p:
        yield p


def test_round_trip_and_rehash_at_another_cost(pool):
    old, new = PasswordHash([BcryptHasher(4, pool=pool)]), PasswordHash([BcryptHasher(5, "2a", pool=pool)])
    stored = old.hash("pässwörd")
    assert stored.startswith("$2b$04$") and old.verify("pässwörd", stored) and not old.verify("password", stored)
    assert old.verify_and_update("pässwörd", stored) == (True, None)
    valid, updated = new.verify_and_update("pässwörd".encode(), stored)
    assert valid and updated.startswith("$2a$05$") and new.verify("pässwörd", updated)


def test_hashes_made_by_crypt3_verify():
    stored = crypt3(b"pw", b"$2y$04$" + b"C" * 22).decode()
    hasher = BcryptHasher(4)
    assert hasher.identify(stored) and hasher.verify("pw", stored) and not hasher.check_needs_rehash(stored)
    assert not hasher.identify("$argon2id$v=19$m=65536,t=3,p=4$c2FsdA$aGFzaA")
