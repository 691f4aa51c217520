"""What the module gives inspect and help() to show: the signature of every
function and method, bound and unbound, and the docstrings, which carry the
signatures in front of their text yet must read exactly as written. (How
pydoc lays out its pages is pydoc's own affair.)"""

import inspect

import pytest

import Morvane
from docstrings import (
    MODULE_DOC,
    ALGORITHMS_DOC,
    VERSION_DOC,
    CLASS_DOC,
    INIT_DOC,
    MAXCACHESIZE_DOC,
    STEMWORD_DOC,
    STEMWORDS_DOC,
)



class Sub(Morvane.Morvane):
    """A Python subclass: no signature of its own."""


# Signatures


def new_stemmer():
    return Morvane.Morvane("english")


SIGNATURES = [
    # module functions
    ("algorithms", lambda: Morvane.algorithms, "(aliases=False)"),
    ("version", lambda: Morvane.version, "()"),
    # the class and its methods, through the class
    ("class", lambda: Morvane.Morvane, "(algorithm, maxCacheSize=10000)"),
    ("subclass", lambda: Sub, "(algorithm, maxCacheSize=10000)"),
    ("__init__", lambda: Morvane.Morvane.__init__,
     "(self, /, algorithm, maxCacheSize=10000)"),
    ("stemWord", lambda: Morvane.Morvane.stemWord, "(self, /, word)"),
    ("stemWords", lambda: Morvane.Morvane.stemWords, "(self, /, words)"),
    ("purgeCache", lambda: Morvane.Morvane._Morvane__purgeCache, "(self, /)"),
    ("__reduce__", lambda: Morvane.Morvane.__reduce__, "(self, /)"),
    ("__setstate__", lambda: Morvane.Morvane.__setstate__, "(self, /, state)"),
    # bound to an instance
    ("bound-__init__", lambda: new_stemmer().__init__,
     "(algorithm, maxCacheSize=10000)"),
    ("bound-stemWord", lambda: new_stemmer().stemWord, "(word)"),
    ("bound-stemWords", lambda: new_stemmer().stemWords, "(words)"),
    ("bound-purgeCache", lambda: new_stemmer()._Morvane__purgeCache, "()"),
    ("bound-__reduce__", lambda: new_stemmer().__reduce__, "()"),
    ("bound-__setstate__", lambda: new_stemmer().__setstate__, "(state)"),
    ("subclass-bound-stemWord", lambda: Sub("english").stemWord, "(word)"),
]


@pytest.mark.parametrize(
    "get, expected",
    [case[1:] for case in SIGNATURES],
    ids=[case[0] for case in SIGNATURES],
)
def test_signature(get, expected):
    assert str(inspect.signature(get())) == expected


def test_signature_defaults_are_the_real_objects():
    """False and 10000 themselves, not their text."""
    aliases = inspect.signature(Morvane.algorithms).parameters["aliases"]
    size = inspect.signature(Morvane.Morvane).parameters["maxCacheSize"]
    assert aliases.default is False
    assert type(size.default) is int and size.default == 10000


# Docstrings


DOCSTRINGS = [
    ("module", lambda: Morvane.__doc__, MODULE_DOC),
    ("algorithms", lambda: Morvane.algorithms.__doc__, ALGORITHMS_DOC),
    ("version", lambda: Morvane.version.__doc__, VERSION_DOC),
    ("class", lambda: Morvane.Morvane.__doc__, CLASS_DOC),
    ("__init__", lambda: Morvane.Morvane.__init__.__doc__, INIT_DOC),
    ("bound-__init__", lambda: new_stemmer().__init__.__doc__, INIT_DOC),
    ("maxCacheSize", lambda: vars(Morvane.Morvane)["maxCacheSize"].__doc__,
     MAXCACHESIZE_DOC),
    ("stemWord", lambda: Morvane.Morvane.stemWord.__doc__, STEMWORD_DOC),
    ("bound-stemWord", lambda: new_stemmer().stemWord.__doc__, STEMWORD_DOC),
    ("stemWords", lambda: Morvane.Morvane.stemWords.__doc__, STEMWORDS_DOC),
    ("purgeCache", lambda: Morvane.Morvane._Morvane__purgeCache.__doc__, None),
]


@pytest.mark.parametrize(
    "get, expected",
    [case[1:] for case in DOCSTRINGS],
    ids=[case[0] for case in DOCSTRINGS],
)
def test_docstring(get, expected):
    doc = get()
    assert type(doc) is type(expected) and doc == expected
