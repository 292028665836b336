"""bcrypt password hashing and bcrypt_pbkdf key derivation."""

# The extension's functions and metadata, exactly the names its __all__ lists.
from _quorlix import *  # noqa: F403
from _quorlix import __all__ as __all__
from _quorlix import __version_ex__

__version__ = __version_ex__
