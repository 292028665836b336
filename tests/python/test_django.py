"""quorlix.django under the real Django: its password API, stored hashes made
without quorlix, and the re-hash at login when the cost changes."""

import binascii
import hashlib

import pytest
from django.conf import settings
from django.contrib.auth import hashers
from django.test import override_settings

import quorlix.django
from conftest import crypt3, crypt3_gensalt, run_python

pytestmark = pytest.mark.thread_unsafe(reason="override_settings changes the process's Django settings")


# Users change the cost by subclassing; cost 4 keeps the tests quick.
class SHA256Cost4(quorlix.django.BCryptSHA256PasswordHasher):
    rounds = 4


class SHA256Cost5(quorlix.django.BCryptSHA256PasswordHasher):
    rounds = 5


class PlainCost4(quorlix.django.BCryptPasswordHasher):
    rounds = 4


class PlainCost5(quorlix.django.BCryptPasswordHasher):
    rounds = 5


def path(cls):
    return f"{__name__}.{cls.__name__}"


# Every test runs with the hashes computed directly and by a pool.
@pytest.fixture(scope="module", autouse=True, params=[None, True], ids=["direct", "pool"])
def django_settings(request):
    if not settings.configured:
        settings.configure(PASSWORD_HASHERS=[path(SHA256Cost4), path(PlainCost4)])
    with override_settings(PASSWORD_HASHERS=[path(SHA256Cost4), path(PlainCost4)], QUORLIX_POOL=request.param):
        yield


def django_input(algorithm, password):
    """What Django's hashers hand to bcrypt: for bcrypt_sha256 the hex SHA-256
    digest of the UTF-8 password, as Django documents."""
    raw = password.encode()
    return binascii.hexlify(hashlib.sha256(raw).digest()) if algorithm == "bcrypt_sha256" else raw


def crypt_encoded(algorithm, password, prefix):
    # crypt(3) and crypt_gensalt(3) of the C library, for hashes made without quorlix.
    return f"{algorithm}${crypt3(django_input(algorithm, password), crypt3_gensalt(prefix, 4)).decode()}"


PASSWORDS = {"ascii": "correct horse battery staple", "empty": "", "utf8": "pässwörd ✓", "long": "x" * 100}
HASHERS = pytest.mark.parametrize("hasher", [SHA256Cost4, PlainCost4], ids=["bcrypt_sha256", "bcrypt"])
DJANGOS_OWN = {SHA256Cost4: hashers.BCryptSHA256PasswordHasher, PlainCost4: hashers.BCryptPasswordHasher}


@HASHERS
@pytest.mark.parametrize("password", PASSWORDS.values(), ids=PASSWORDS.keys())
def test_make_check_identify(hasher, password):
    encoded = hashers.make_password(password, hasher=hasher.algorithm)
    assert encoded.startswith(f"{hasher.algorithm}$$2b$04$") and len(encoded) == len(hasher.algorithm) + 61
    found = hashers.identify_hasher(encoded)
    assert type(found) is hasher
    assert isinstance(found, DJANGOS_OWN[hasher])
    assert hashers.check_password(password, encoded)
    assert not hashers.check_password("!" + password, encoded)
    assert not hashers.check_password(password.upper() or "x", encoded)
    # What quorlix stored, crypt(3) reads: the format is Django's own.
    tail = encoded.split("$", 1)[1].encode()
    assert crypt3(django_input(hasher.algorithm, password), tail) == tail


@HASHERS
@pytest.mark.parametrize(
    "prefix, password",
    # crypt(3)'s 2a differs from 2b for some bytes over 127, quorlix's does not.
    [(b"$2b$", p) for p in PASSWORDS.values()] + [(b"$2y$", PASSWORDS["utf8"]), (b"$2a$", PASSWORDS["ascii"])],
    ids=[f"2b-{name}" for name in PASSWORDS] + ["2y-utf8", "2a-ascii"],
)
def test_hashes_made_without_quorlix_verify(hasher, prefix, password):
    encoded = crypt_encoded(hasher.algorithm, password, prefix)
    assert type(hashers.identify_hasher(encoded)) is hasher
    assert hashers.check_password(password, encoded)
    assert not hashers.check_password("?" + password[1:], encoded)
    assert not hasher().must_update(encoded)


@pytest.mark.parametrize(
    "hasher, password, other, same",
    [
        # bcrypt_sha256 uses every byte of a long password ...
        (SHA256Cost4, "x" * 100, "x" * 72 + "y" * 28, False),
        # ... bcrypt only the first 72, as Django documents, so the hashes it
        # stored for longer passwords keep verifying instead of failing.
        (PlainCost4, "x" * 100, "x" * 72 + "y" * 28, True),
        (PlainCost4, "é" * 36, "é" * 36 + "tail", True),
        (PlainCost4, "x" * 71 + "é", "x" * 71 + "è", True),  # cut inside a UTF-8 character
        (PlainCost4, "x" * 71, "x" * 72, False),
    ],
    ids=["sha256-long", "plain-long", "plain-utf8-72", "plain-cut-in-character", "plain-71"],
)
def test_72_byte_cut(hasher, password, other, same):
    encoded = hashers.make_password(password, hasher=hasher.algorithm)
    assert hashers.check_password(other, encoded) is same
    made_elsewhere = crypt_encoded(hasher.algorithm, other, b"$2b$")
    assert hashers.check_password(password, made_elsewhere) is same


@pytest.mark.parametrize(
    "stored_with, preferred, upgraded",
    [
        (SHA256Cost4, [SHA256Cost5, PlainCost4], True),  # cost raised
        (SHA256Cost5, [SHA256Cost4, PlainCost5], True),  # Django updates on any change of cost
        (SHA256Cost4, [SHA256Cost4, PlainCost4], False),
        (PlainCost4, [SHA256Cost4, PlainCost4], True),  # another algorithm is preferred
        (PlainCost4, [PlainCost5, SHA256Cost4], True),
    ],
)
def test_upgrade_on_login(stored_with, preferred, upgraded):
    with override_settings(PASSWORD_HASHERS=[path(stored_with)]):
        encoded = hashers.make_password("hunter2")
    assert encoded.startswith(f"{stored_with.algorithm}$$2b$0{stored_with.rounds}$")
    with override_settings(PASSWORD_HASHERS=[path(h) for h in preferred]):
        new = []
        assert not hashers.check_password("hunter3", encoded, setter=new.append)
        assert new == []
        assert hashers.check_password("hunter2", encoded, setter=new.append)
        assert new == (["hunter2"] if upgraded else [])
        default = hashers.get_hasher()
        if default.algorithm == stored_with.algorithm:
            assert default.must_update(encoded) is upgraded
        renewed = hashers.make_password("hunter2")
        assert renewed.startswith(f"{preferred[0].algorithm}$$2b$0{preferred[0].rounds}$")
        assert not default.must_update(renewed)
        assert hashers.check_password("hunter2", renewed)


def test_default_hashers_by_their_dotted_names():
    names = ["quorlix.django.BCryptSHA256PasswordHasher", "quorlix.django.BCryptPasswordHasher"]
    with override_settings(PASSWORD_HASHERS=names):
        encoded = crypt_encoded("bcrypt", "pw", b"$2b$")
        assert hashers.check_password("pw", encoded)
        found = hashers.identify_hasher(encoded)
        assert type(found) is quorlix.django.BCryptPasswordHasher
        assert isinstance(found, hashers.BCryptPasswordHasher)
        assert hashers.get_hasher().algorithm == "bcrypt_sha256" and hashers.get_hasher().rounds == 12
        assert found.must_update(encoded), "cost 4 is below Django's default of 12"


@pytest.mark.parametrize(
    "code, expected",
    [
        # Importing quorlix, its command line included, leaves Django alone;
        # quorlix.django itself needs no configured settings to import.
        (
            "import quorlix, quorlix.cli\n"
            "assert not [m for m in sys.modules if m.split('.')[0] == 'django']\n"
            "import quorlix.django as d\n"
            "print(d.BCryptSHA256PasswordHasher.algorithm, d.BCryptPasswordHasher.algorithm)",
            "bcrypt_sha256 bcrypt",
        ),
        # Without Django, the error says what to install.
        (
            "sys.modules['django'] = None\n"
            "try:\n"
            "    import quorlix.django\n"
            "except ModuleNotFoundError as e:\n"
            "    print(e)",
            "quorlix.django needs Django: pip install 'quorlix[django]'",
        ),
    ],
    ids=["optional", "missing"],
)
def test_django_stays_optional(code, expected):
    done = run_python("import sys\n" + code)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == expected
