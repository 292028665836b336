import random
import re

import pytest
from _quorlix import checkpw, gensalt, hashpw

from conftest import crypt3

SETTING = b"$2b$04$" + b"abcdefghijklmnopqrstuu"
HASH_RE = re.compile(rb"\$2[abxy]\$\d\d\$[./A-Za-z0-9]{21}[.Oeu][./A-Za-z0-9]{30}[.CGKOSWaeimquy26]")
TOO_LONG = "password cannot be longer than 72 bytes, truncate manually if necessary (e.g. my_password[:72])"

# Taken once from the C library's crypt(3).
KNOWN = [
    (b"U*U", b"$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW"),
    (b"", b"$2b$05$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy"),
    (b"password", b"$2y$05$CCCCCCCCCCCCCCCCCCCCC.aDV7CQarKHMuNfh2oJkFzsHZya4whFe"),
    (b"\xff\xa3345", b"$2b$05$CCCCCCCCCCCCCCCCCCCCC.WI7ZNXFtzCd9mN1mWoNMQRHEmkDsZnm"),
    (b"a" * 72, b"$2b$05$CCCCCCCCCCCCCCCCCCCCC.ODcEJfYFxKziEakDsjep8mcF3zSCvHq"),
]


@pytest.mark.parametrize("password, hashed", KNOWN)
def test_known_answers(password, hashed):
    assert hashpw(password, hashed[:29]) == hashed
    assert hashpw(password, hashed) == hashed
    assert checkpw(password, hashed) is True
    assert checkpw(password + b"!" if len(password) < 72 else b"b" * 72, hashed) is False


def test_setting_from_gensalt_is_the_prefix_of_the_hash():
    s = gensalt(4)
    h = hashpw(b"pw", s)
    assert len(h) == 60 and h[:29] == s and HASH_RE.fullmatch(h)


@pytest.mark.parametrize("password", [b"", b"\x00", b"a\x00b", b"x" * 72, bytes(range(1, 73))])
def test_round_trip(password):
    h = hashpw(password, SETTING)
    assert checkpw(password, h) is True
    assert hashpw(password, h) == h


def test_nul_bytes_count():
    one, with_nul, with_more = (hashpw(p, SETTING) for p in (b"a", b"a\x00", b"a\x00b"))
    assert len({one, with_nul, with_more}) == 3


def test_key_is_password_plus_nul_cut_to_72():
    p71 = bytes(range(40, 111))
    assert hashpw(p71, SETTING) == hashpw(p71 + b"\x00", SETTING)
    assert checkpw(p71 + b"\x00", hashpw(p71, SETTING))
    zeros = {hashpw(b"\x00" * n, SETTING) for n in (0, 1, 2, 71, 72)}
    assert len(zeros) == 1


@pytest.mark.parametrize("fn", [hashpw, checkpw])
def test_password_length_limit(fn):
    fn(b"x" * 72, hashpw(b"", SETTING))
    with pytest.raises(ValueError) as info:
        fn(b"x" * 73, b"garbage")  # checked before the setting is looked at
    assert str(info.value) == TOO_LONG


@pytest.mark.parametrize(
    "setting",
    [
        SETTING[1:],  # no leading "$"
        b"$$2b$$04$$abcdefghijklmnopqrstuu",
        SETTING + b"$",
        SETTING + b"anything after the salt",
        SETTING + b"\x00\xff",
        b"$2b$+4$abcdefghijklmnopqrstuu",
        b"$2b$004$abcdefghijklmnopqrstuu",
        b"$2b$4$abcdefghijklmnopqrstuu",
    ],
)
def test_equivalent_settings(setting):
    assert hashpw(b"pw", setting) == hashpw(b"pw", SETTING)


@pytest.mark.parametrize("version", [b"2a", b"2x", b"2y"])
def test_versions_differ_only_in_their_name(version):
    other = hashpw(b"pw", SETTING.replace(b"2b", version, 1))
    base = hashpw(b"pw", SETTING)
    assert other[1:3] == version
    assert other[:1] + other[3:] == base[:1] + base[3:]


BAD_SETTINGS = [
    b"",
    b"$",
    b"$2b$04$",
    b"$2b$04",
    SETTING + b"$x",
    b"$2c$04$abcdefghijklmnopqrstuu",
    b"$3b$04$abcdefghijklmnopqrstuu",
    b"$2$04$abcdefghijklmnopqrstuu",
    b"$2bb$04$abcdefghijklmnopqrstuu",
    b"$2B$04$abcdefghijklmnopqrstuu",
    b"$2b$3$abcdefghijklmnopqrstuu",
    b"$2b$32$abcdefghijklmnopqrstuu",
    b"$2b$-12$abcdefghijklmnopqrstuu",
    b"$2b$+$abcdefghijklmnopqrstuu",
    b"$2b$-$abcdefghijklmnopqrstuu",
    b"$2b$x$abcdefghijklmnopqrstuu",
    b"$2b$1 2$abcdefghijklmnopqrstuu",
    b"$2b$++4$abcdefghijklmnopqrstuu",
    b"$2b$4294967296$abcdefghijklmnopqrstuu",
    b"$2b$4294967295$abcdefghijklmnopqrstuu",
    b"$2b$04$abcdefghijklmnopqrstu",  # 21 characters
    b"$2b$04$abcdefghijklmnopqrstuv",  # bits beyond the 16 bytes
    b"$2b$04$abcdefghijklmnopqrst+u",
    b"$2b$04$abcdefghijklmnopqrst=u",
    b"$2b$04$abcdefghijklmnopqrst\xc3u",
]


@pytest.mark.parametrize("setting", BAD_SETTINGS)
@pytest.mark.parametrize("fn", [hashpw, checkpw])
def test_invalid_salt(fn, setting):
    with pytest.raises(ValueError) as info:
        fn(b"pw", setting)
    assert str(info.value) == "Invalid salt"


@pytest.mark.parametrize("last", b"./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
def test_last_salt_character(last):
    setting = SETTING[:-1] + bytes([last])
    if bytes([last]) in (b".", b"O", b"e", b"u"):
        assert hashpw(b"", setting)[:29] == setting
    else:
        with pytest.raises(ValueError, match=r"^Invalid salt$"):
            hashpw(b"", setting)


def test_checkpw_is_false_for_well_formed_but_different_strings():
    h = hashpw(b"pw", SETTING)
    assert checkpw(b"pw", h + b"x") is False
    assert checkpw(b"pw", h.replace(b"$04$", b"$+04$")) is False
    assert checkpw(b"pw", h.replace(b"$04$", b"$004$")) is False
    assert checkpw(b"pw", h[:-1] + (b"." if h[-1:] != b"." else b"C")) is False
    assert checkpw(b"pw", h[:29]) is False


class BytesSub(bytes):
    pass


def test_bytes_subclasses():
    h = hashpw(BytesSub(b"pw"), BytesSub(SETTING))
    assert type(h) is bytes
    assert checkpw(BytesSub(b"pw"), BytesSub(h))


########################################
### The C library's crypt(3) oracle ###
########################################
def libcrypt():
    return crypt3


def test_crypt3_computes_2b():
    crypt = libcrypt()
    assert crypt(b"U*U", KNOWN[0][1][:29].replace(b"2a", b"2b")) == KNOWN[0][1].replace(b"2a", b"2b")


@pytest.mark.parametrize("version", [b"2a", b"2b", b"2x", b"2y"])
def test_agrees_with_crypt3(version):
    crypt = libcrypt()
    rng = random.Random(int.from_bytes(version, "big"))
    # crypt(3) treats 2a and 2x passwords with bytes >= 0x80 differently.
    top = 0x80 if version in (b"2a", b"2x") else 0x100
    for _ in range(24):
        password = bytes(rng.randrange(1, top) for _ in range(rng.randrange(0, 73)))
        setting = b"$" + version + b"$04$" + gensalt(4)[7:]
        assert hashpw(password, setting) == crypt(password, setting), password
