import warnings

import pytest
from _quorlix import kdf

KNOWN = "5bbf0cc293587f1c3635555c27796598d47e579071bf427e9d8fbe842aba34d9"
# Warnings filters belong to the whole process.
FILTERS = pytest.mark.thread_unsafe(reason="sets the warnings filters")
WARNING = (
    "Warning: quorlix.kdf() called with only {} round(s). This few is not secure: the parameter is linear, like PBKDF2."
)


@FILTERS
def test_known_answer():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert kdf(b"password", b"salt", 32, 4).hex() == KNOWN
    assert kdf(b"password", b"salt", 32, 4, True).hex() == KNOWN
    assert kdf(b"password", b"salt", 32, 4, ignore_few_rounds=True).hex() == KNOWN


@FILTERS
def test_deterministic_and_silent_at_100_rounds():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        a = kdf(b"pw", b"salt", 32, 100)
        assert a == kdf(b"pw", b"salt", 32, 100)
    assert type(a) is bytes and len(a) == 32


@FILTERS
@pytest.mark.parametrize("rounds, warned", [(1, True), (49, True), (50, False), (51, False)])
def test_few_rounds_warning(rounds, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kdf(b"pw", b"salt", 8, rounds)
    if warned:
        (w,) = caught
        assert w.category is UserWarning
        assert str(w.message) == WARNING.format(rounds)
    else:
        assert caught == []


@FILTERS
def test_ignore_few_rounds_silences_the_warning():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kdf(b"pw", b"salt", 8, 1, ignore_few_rounds=True)


@FILTERS
def test_warning_as_error_derives_nothing():
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        with pytest.raises(UserWarning) as info:
            kdf(b"pw", b"salt", 8, 3)
    assert str(info.value) == WARNING.format(3)


def outer():
    return middle()  # stack level 3 points here


def middle():
    return inner()


def inner():
    return kdf(b"pw", b"salt", 8, 2)


@FILTERS
def test_warning_stack_level():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        outer()
    (w,) = caught
    assert w.filename == __file__
    assert w.lineno == outer.__code__.co_firstlineno + 1


@FILTERS
@pytest.mark.parametrize(
    "args, message",
    [
        ((b"", b"", 0, 0), "password and salt must not be empty"),
        ((b"pw", b"", 32, 100), "password and salt must not be empty"),
        ((b"", b"salt", 32, 100), "password and salt must not be empty"),
        ((b"pw", b"salt", 0, 0), "desired_key_bytes must be 1-512"),
        ((b"pw", b"salt", 513, 1), "desired_key_bytes must be 1-512"),
        ((b"pw", b"salt", 2**64 - 1, 1), "desired_key_bytes must be 1-512"),
        ((b"pw", b"salt", 32, 0), "rounds must be 1 or more"),
    ],
)
def test_rejections_come_in_order_and_before_the_warning(args, message):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(ValueError) as info:
            kdf(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("length", [1, 32, 33, 64, 256, 257, 512])
def test_lengths(length):
    assert len(kdf(b"pw", b"salt", length, 2, True)) == length


def test_heap_and_stack_scratch_read_the_same_blocks():
    # 256 bytes spread 8 blocks, 257 bytes spread 9; blocks 1..8 are shared.
    a, b = kdf(b"pw", b"salt", 256, 2, True), kdf(b"pw", b"salt", 257, 2, True)
    for j in range(8):
        assert a[j::8][:28] == b[j::9][:28]


def test_same_stride_means_same_prefix():
    assert kdf(b"pw", b"salt", 257, 2, True) == kdf(b"pw", b"salt", 288, 2, True)[:257]
    assert kdf(b"pw", b"salt", 10, 2, True) == kdf(b"pw", b"salt", 32, 2, True)[:10]


def test_long_passwords_are_digested_whole():
    base = bytes(range(256)) * 2
    keys = {kdf(base, b"salt", 16, 1, True)}
    for at in (72, 73, 128, 129, 511):
        changed = bytearray(base)
        changed[at] ^= 1
        keys.add(kdf(bytes(changed), b"salt", 16, 1, True))
    assert len(keys) == 6


@FILTERS
def test_numpy_bool_is_accepted():
    import numpy as np

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert kdf(b"pw", b"salt", 16, 1, np.bool_(True)) == kdf(b"pw", b"salt", 16, 1, True)
        with pytest.raises(UserWarning):
            kdf(b"pw", b"salt", 16, 1, np.bool_(False))


def posing_bool_type(own_module, shown_module):
    """A class named bool_ whose own __module__ entry is own_module, while its
    metaclass answers attribute lookups of __module__ with shown_module (None:
    the lookup raises)."""

    def shown(cls):
        if shown_module is None:
            raise RuntimeError("no module to show")
        return shown_module

    meta = type("Meta", (type,), {"__module__": property(shown)})
    return meta("bool_", (), {"__module__": own_module, "__bool__": lambda self: True})


# A NumPy bool is recognised by the type's own module entry, as the
# interpreter's PyType_GetModuleName reads it, never by what the metaclass says.
@pytest.mark.parametrize(
    "own_module, shown_module, accepted",
    [
        ("posing", "numpy", False),
        ("posing", None, False),
        ("numpy", "posing", True),
        ("numpy", None, True),
    ],
)
def test_numpy_bool_is_known_by_the_types_own_module(own_module, shown_module, accepted):
    cls = posing_bool_type(own_module, shown_module)
    if shown_module is None:
        with pytest.raises(RuntimeError):
            cls.__module__  # noqa: B018
    else:
        assert cls.__module__ == shown_module  # the metaclass does pose
    if accepted:
        assert kdf(b"pw", b"salt", 16, 1, cls()) == kdf(b"pw", b"salt", 16, 1, True)
    else:
        with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
            kdf(b"pw", b"salt", 16, 1, cls())
