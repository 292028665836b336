"""quorlix.needs_rehash: which stored hashes it reads, and what it says of them."""

import base64

import pytest

import quorlix

ALPHABET = b"./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
TO_STANDARD = bytes.maketrans(ALPHABET, b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")


def canonical(encoded):
    """Whether a run of bcrypt's base-64 is the one encoding of its bytes:
    decoding drops the spare bits of the last character, so re-encoding
    gives the run back only when they were zero."""
    standard = encoded.translate(TO_STANDARD)
    padded = standard + b"=" * (-len(standard) % 4)
    return base64.b64encode(base64.b64decode(padded)) == padded


PASSWORD = b"correct horse"
MADE = {
    version: quorlix.hashpw(PASSWORD, b"$" + version + b"$04$" + quorlix.gensalt(4)[7:])
    for version in (b"2a", b"2b", b"2x", b"2y")
}
HASH = MADE[b"2b"]


@pytest.mark.parametrize("version", MADE)
@pytest.mark.parametrize("cost", [4, 5, 11, 12, 13, 30, 31])
def test_true_exactly_below_the_wanted_cost(version, cost):
    # Only the digits change: a hash at cost 31 would take days to make.
    stored = MADE[version][:4] + b"%02d" % cost + MADE[version][6:]
    for rounds in range(4, 32):
        assert quorlix.needs_rehash(stored, rounds) is (cost < rounds)
    assert quorlix.needs_rehash(stored) is (cost < 12)
    assert quorlix.needs_rehash(hashed=stored, rounds=cost) is False


NOT_HASHES = {
    "setting only": HASH[:29],
    "one short": HASH[:-1],
    "one long": HASH + b".",
    "line ending": HASH + b"\n",
    "trailing dollar": HASH + b"$",
    "no leading dollar": HASH[1:],
    "doubled dollar": HASH[:3] + b"$" + HASH[3:-1],
    "version 2c": HASH.replace(b"$2b$", b"$2c$"),
    "version 2": HASH.replace(b"$2b$", b"$2$") + b".",
    "cost 03": HASH.replace(b"$04$", b"$03$"),
    "cost 32": HASH.replace(b"$04$", b"$32$"),
    "cost 99": HASH.replace(b"$04$", b"$99$"),
    "cost +4": HASH.replace(b"$04$", b"$+4$")[:-1],
    "cost 4": HASH.replace(b"$04$", b"$4$") + b".",
    "cost 004": HASH.replace(b"$04$", b"$004$")[:-1],
    "salt character": HASH[:10] + b"!" + HASH[11:],
    "hash character": HASH[:40] + b"_" + HASH[41:],
    "non-ASCII": HASH[:40] + "é".encode()[:1] + HASH[41:],
    "empty": b"",
    "other scheme": b"$6$rounds=5000$saltsaltsaltsalt$" + b"x" * 27,
}


@pytest.mark.parametrize("stored", NOT_HASHES.values(), ids=NOT_HASHES.keys())
def test_what_no_password_can_match_is_not_a_hash(stored):
    with pytest.raises(ValueError, match=r"^Invalid hash$"):
        quorlix.needs_rehash(stored)
    # The same strings, as checkpw sees them: refused, or never a match.
    try:
        assert quorlix.checkpw(PASSWORD, stored) is False
    except ValueError as exc:
        assert str(exc) == "Invalid salt"


@pytest.mark.parametrize("position", [28, 59], ids=["last salt character", "last hash character"])
def test_spare_bits_of_the_last_characters(position):
    # Each of these characters carries bits beyond the salt or the hash; the
    # string is a hash only when they are zero, as hashpw renders them.
    accepted = []
    for char in ALPHABET:
        stored = HASH[:position] + bytes([char]) + HASH[position + 1 :]
        run = stored[7:29] if position == 28 else stored[29:]
        try:
            quorlix.needs_rehash(stored)
        except ValueError:
            assert not canonical(run)
        else:
            assert canonical(run)
            accepted.append(char)
            if position == 28:  # the salt: hashpw itself renders it back
                assert quorlix.hashpw(PASSWORD, stored)[:29] == stored[:29]
    assert len(accepted) == (4 if position == 28 else 16)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((HASH.decode(),), TypeError, "argument 'hashed': 'str' object cannot be converted to 'PyBytes'"),
        ((bytearray(HASH),), TypeError, "argument 'hashed': 'bytearray' object"),
        ((None,), TypeError, "argument 'hashed': 'NoneType' object"),
        ((HASH, "12"), TypeError, "argument 'rounds': 'str' object cannot be interpreted as an integer"),
        ((HASH, 12.0), TypeError, "argument 'rounds': 'float' object"),
        ((HASH, 3), ValueError, "Invalid rounds"),
        ((HASH, 32), ValueError, "Invalid rounds"),
        ((b"junk", 32), ValueError, "Invalid rounds"),  # the cost is checked first, as in gensalt
    ],
)
def test_argument_errors(args, error, message):
    with pytest.raises(error) as caught:
        quorlix.needs_rehash(*args)
    assert str(caught.value).startswith(message)
