"""hashpw_many and checkpw_many: each item gives what hashpw or checkpw would."""

import random

import pytest

import quorlix

VERSIONS = [b"2a", b"2b", b"2x", b"2y"]


def random_batch(rng, n):
    """n (password, setting) pairs, then n (password, stored hash) pairs for
    checkpw: right and wrong passwords, hashes with something after them."""
    passwords = [rng.randbytes(rng.choice([0, 1, 71, 72, rng.randrange(73)])) for _ in range(n)]
    settings = [quorlix.gensalt(rng.choice([4, 5])).replace(b"2b", rng.choice(VERSIONS), 1) for _ in range(n)]
    stored = [quorlix.hashpw(p, s) + rng.choice([b"", b"", b"x"]) for p, s in zip(passwords, settings, strict=True)]
    guesses = [p if rng.random() < 0.6 else rng.randbytes(5) for p in passwords]
    return passwords, settings, guesses, stored


@pytest.mark.parametrize("seed", range(4))
def test_random_batches_match_the_single_functions(seed):
    rng = random.Random(seed)
    passwords, settings, guesses, stored = random_batch(rng, rng.randrange(1, 14))
    assert quorlix.hashpw_many(passwords, settings) == list(map(quorlix.hashpw, passwords, settings))
    # Any iterables, tuples and generators alike.
    assert quorlix.checkpw_many(tuple(guesses), iter(stored)) == list(map(quorlix.checkpw, guesses, stored))


SETTING = quorlix.gensalt(4)
# A cost-31 item would take days to hash: every item is checked first.
SLOW = quorlix.gensalt(31)


@pytest.mark.parametrize(
    "passwords, salts, bad",
    [
        ([b"ok", "text", 5], [SETTING, SETTING, b"$2b$04$"], 1),
        ([b"ok", b"x" * 73], [SLOW, SETTING], 1),
        ([b"ok", b"ok"], [SLOW, b"$2b$03$" + SETTING[7:]], 1),
        ([b"ok", b"ok", b"ok"], [SLOW, SETTING, bytearray(SETTING)], 2),
    ],
    ids=["str password", "password too long", "cost too low", "bytearray salt"],
)
@pytest.mark.parametrize("function", ["hashpw", "checkpw"])
def test_first_bad_item_raises_what_its_single_call_would(function, passwords, salts, bad):
    with pytest.raises(Exception) as single:
        getattr(quorlix, function)(passwords[bad], salts[bad])
    with pytest.raises(type(single.value)) as batch:
        getattr(quorlix, function + "_many")(passwords, salts)
    assert (str(batch.value), batch.value.__notes__) == (str(single.value), [f"in item {bad} of {function}_many"])


@pytest.mark.parametrize(
    "args, message",
    [
        (([b"a", b"b"], [SETTING]), "hashpw_many() got 2 passwords and 1 salts"),
        ((5, [SETTING]), "argument 'passwords': 'int' object is not iterable"),
    ],
)
def test_the_lists_themselves_are_checked(args, message):
    with pytest.raises((ValueError, TypeError), match=message.replace("(", r"\(").replace(")", r"\)")):
        quorlix.hashpw_many(*args)


def test_empty_batches():
    assert quorlix.hashpw_many([], []) == quorlix.checkpw_many((), ()) == []
