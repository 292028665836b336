"""Sphinx configuration of quorlix's documentation (https://quorlix.readthedocs.io/).

The API reference is autodoc's, read from the installed package: build the
site in an environment where quorlix is installed (scripts/docs.sh makes one).
"""

import sys
from pathlib import Path

import quorlix

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "quorlix"
author = quorlix.__author__
copyright = quorlix.__copyright__.removeprefix("Copyright ")
release = quorlix.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "stubdocs",  # the extension modules' signatures and docstrings from their stubs
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["requirements.txt"]

# Links such as [Platforms](platforms.md#platforms) work here as on GitHub.
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# Django's hasher classes are named as Django names them.
autodoc_typehints_format = "fully-qualified"

html_theme = "furo"
html_title = f"quorlix {release}"

# A doctest block ends with an empty line before its closing fence (which
# doctest would otherwise read as output); the page does not show it.
highlight_options = {"pycon": {"stripnl": True}}
