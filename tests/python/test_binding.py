"""Argument binding and conversion messages, shared by every function."""

import _quorlix
import pytest

pw = b"password"
setting = b"$2b$04$" + b"." * 22

# (function, args, kwargs, message); every one raises TypeError.
BINDING_CASES = [
    ("hashpw", (pw,), {}, "hashpw() missing 1 required positional argument: 'salt'"),
    ("hashpw", (), {}, "hashpw() missing 2 required positional arguments: 'password' and 'salt'"),
    ("hashpw", (), {"salt": setting}, "hashpw() missing 1 required positional argument: 'password'"),
    ("kdf", (pw,), {}, "kdf() missing 3 required positional arguments: 'salt', 'desired_key_bytes', and 'rounds'"),
    ("kdf", (pw, b"salt"), {"rounds": 5}, "kdf() missing 1 required positional argument: 'desired_key_bytes'"),
    ("hashpw", (pw, setting, 3), {}, "hashpw() takes 2 positional arguments but 3 were given"),
    ("checkpw", (pw, setting, 3), {}, "checkpw() takes 2 positional arguments but 3 were given"),
    ("gensalt", (12, b"2b", 3), {}, "gensalt() takes from 0 to 2 positional arguments but 3 were given"),
    ("gensalt", (12, b"2b", 3), {"pepper": 1}, "gensalt() takes from 0 to 2 positional arguments but 3 were given"),
    ("kdf", (pw, pw, 1, 1, True, 6), {}, "kdf() takes from 4 to 5 positional arguments but 6 were given"),
    ("hashpw", (pw,), {"password": pw}, "hashpw() got multiple values for argument 'password'"),
    ("gensalt", (12,), {"rounds": 12}, "gensalt() got multiple values for argument 'rounds'"),
    ("hashpw", (pw, setting), {"pepper": b"x"}, "hashpw() got an unexpected keyword argument 'pepper'"),
    ("gensalt", (), {"Rounds": 12}, "gensalt() got an unexpected keyword argument 'Rounds'"),
    ("gensalt", (), {"\udcff": 1}, "gensalt() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("gensalt", (), {"r\u00e9": 1}, "gensalt() got an unexpected keyword argument 'r\u00e9'"),
    ("hashpw", ("pw", setting), {}, "argument 'password': 'str' object cannot be converted to 'PyBytes'"),
    (
        "hashpw",
        (bytearray(pw), setting),
        {},
        "argument 'password': 'bytearray' object cannot be converted to 'PyBytes'",
    ),
    ("hashpw", (pw, memoryview(setting)), {}, "argument 'salt': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("checkpw", (pw, None), {}, "argument 'hashed_password': 'NoneType' object cannot be converted to 'PyBytes'"),
    ("hashpw", ("a", "b"), {}, "argument 'password': 'str' object cannot be converted to 'PyBytes'"),
    ("kdf", (pw, pw, 32, 100, 1), {}, "argument 'ignore_few_rounds': 'int' object cannot be converted to 'PyBool'"),
    (
        "kdf",
        (pw, pw, 32, 100, None),
        {},
        "argument 'ignore_few_rounds': 'NoneType' object cannot be converted to 'PyBool'",
    ),
    (
        "kdf",
        (pw, pw, 32.0, 100),
        {},
        "argument 'desired_key_bytes': 'float' object cannot be interpreted as an integer",
    ),
    ("kdf", (pw, pw, 32, "100"), {}, "argument 'rounds': 'str' object cannot be interpreted as an integer"),
]


def call(name, args, kwargs):
    return getattr(_quorlix, name)(*args, **kwargs)


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_CASES)
def test_binding_and_conversion_messages(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(name, args, kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


# (function, args, kwargs, exception type, message)
OVERFLOW_CASES = [
    ("gensalt", (70000,), {}, "out of range integral type conversion attempted"),
    ("gensalt", (-1,), {}, "out of range integral type conversion attempted"),
    ("kdf", (pw, pw, -1, 100), {}, "can't convert negative int to unsigned"),
    ("kdf", (pw, pw, 2**64, 100), {}, "int too big to convert"),
    ("kdf", (pw, pw, 32, -1), {}, "out of range integral type conversion attempted"),
    ("kdf", (pw, pw, 32, 2**32), {}, "out of range integral type conversion attempted"),
    ("kdf", (pw, pw, 32, 2**64), {}, "Python int too large to convert to C long"),
]


@pytest.mark.parametrize("name, args, kwargs, message", OVERFLOW_CASES)
def test_overflow_does_not_name_the_parameter(name, args, kwargs, message):
    with pytest.raises(OverflowError) as info:
        call(name, args, kwargs)
    assert str(info.value) == message


def test_keywords_bind_in_any_order():
    assert _quorlix.hashpw(salt=setting, password=pw) == _quorlix.hashpw(pw, setting)


class TypeErrorSub(TypeError):
    pass


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [TypeErrorSub("sub"), ValueError("value"), ZeroDivisionError("zero")])
def test_conversion_errors_other_than_typeerror_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        _quorlix.gensalt(RaisingIndex(exc))
    assert info.value is exc


class ChainedIndex:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as k:
            raise TypeError("outer") from k


def test_typeerror_is_wrapped_keeping_its_cause():
    with pytest.raises(TypeError) as info:
        _quorlix.gensalt(ChainedIndex())
    e = info.value
    assert str(e) == "argument 'rounds': outer"
    assert isinstance(e.__cause__, KeyError)
    assert e.__suppress_context__
    assert e.__context__ is None


def test_typeerror_without_cause_gets_none():
    with pytest.raises(TypeError) as info:
        _quorlix.gensalt(RaisingIndex(TypeError("plain")))
    assert str(info.value) == "argument 'rounds': plain"
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__


class UnprintableName(str):
    def __str__(self):
        raise RuntimeError("no str")


@pytest.mark.thread_unsafe(reason="replaces sys.unraisablehook")
def test_keyword_names_that_cannot_be_printed(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    with pytest.raises(TypeError) as info:
        _quorlix.gensalt(**{UnprintableName("pepper"): 1})
    assert str(info.value) == "gensalt() got an unexpected keyword argument '<unprintable UnprintableName object>'"
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)
    # A str subclass still binds by its text.
    assert _quorlix.gensalt(**{UnprintableName("rounds"): 4}).startswith(b"$2b$04$")
