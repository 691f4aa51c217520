"""What inspect, pydoc and help() show of the module: the signature of every
function and method, bound and unbound, the pages help() renders, and the
docstrings, which carry the signatures in front of their text yet must read
exactly as written."""

import inspect
import pydoc

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
    assert get() == expected


# help()


def page_lines(thing):
    """The plain-text page help(thing) shows, one entry a line, without the
    indentation and the bars that mark a class's members."""
    page = pydoc.render_doc(thing, renderer=pydoc.plaintext)
    return [line.strip().lstrip("|").strip() for line in page.splitlines()]


def entry(header, doc=None):
    """An entry of a help page: its header line, then its docstring as
    inspect.cleandoc trims it."""
    return [header] + (inspect.cleandoc(doc).splitlines() if doc else [])


def contains(lines, block):
    return any(lines[i:i + len(block)] == block
               for i in range(len(lines) - len(block) + 1))


CLASS_ENTRIES = [
    # pydoc sets the signature apart from the class docstring
    ("class", entry("class Morvane(builtins.object)")
     + entry("Morvane(algorithm, maxCacheSize=10000)") + entry("", CLASS_DOC)),
    ("__init__", entry("__init__(self, /, algorithm, maxCacheSize=10000)",
                       INIT_DOC)),
    ("stemWord", entry("stemWord(self, /, word)", STEMWORD_DOC)),
    ("stemWords", entry("stemWords(self, /, words)", STEMWORDS_DOC)),
    ("maxCacheSize", entry("maxCacheSize", MAXCACHESIZE_DOC)),
    ("__reduce__", entry("__reduce__ = _Morvane__reduce(self, /)")),
    ("__setstate__",
     entry("__setstate__ = _Morvane__setstate(self, /, state)")),
]

MODULE_ENTRIES = [
    ("name", entry("NAME")
     + entry("Morvane - Morvane: stemming algorithms from the snowball"
             " project.")),
    ("algorithms", entry("algorithms(aliases=False)", ALGORITHMS_DOC)),
    ("version", entry("version()", VERSION_DOC)),
    ("data", entry("DATA") + entry("__docformat__ = 'restructuredtext en'")
     + entry("__test__ = {}")),
] + CLASS_ENTRIES


@pytest.fixture(scope="module")
def module_page():
    return page_lines(Morvane)


@pytest.fixture(scope="module")
def class_page():
    return page_lines(Morvane.Morvane)


@pytest.mark.parametrize(
    "block",
    [block for _, block in MODULE_ENTRIES],
    ids=[name for name, _ in MODULE_ENTRIES],
)
def test_help_on_module_shows(module_page, block):
    assert contains(module_page, block), "\n".join(module_page)


@pytest.mark.parametrize(
    "block",
    [block for _, block in CLASS_ENTRIES],
    ids=[name for name, _ in CLASS_ENTRIES],
)
def test_help_on_class_shows(class_page, block):
    assert contains(class_page, block), "\n".join(class_page)


@pytest.mark.parametrize(
    "thing, title",
    [(Morvane, "module Morvane"),
     (Morvane.Morvane, "class Morvane in module Morvane")],
    ids=["module", "class"],
)
def test_help_title(thing, title):
    assert page_lines(thing)[0] == f"Python Library Documentation: {title}"


def test_help_hides_the_private_purge(class_page):
    """A private method: help() lists no entry for it."""
    assert not any("purgeCache" in line for line in class_page)
