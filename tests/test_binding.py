"""Argument binding of every function and method: one table of the
TypeErrors a call that does not fit raises, before anything else is done,
and the keyword forms that do fit.

Calls through the class with no instance, or with something else in its
place, are tested with the rest of the class's surface in test_module.py."""

import ctypes

import pytest

import Morvane
from conftest import (
    NO_PICKLING,
    assert_unchanged,
    cache_of,
    raises_exactly,
    snapshot,
)


pythonapi = ctypes.pythonapi
pythonapi.PyObject_Vectorcall.argtypes = [
    ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
    ctypes.py_object,
]
pythonapi.PyObject_Vectorcall.restype = ctypes.py_object
pythonapi.PyObject_Call.argtypes = [
    ctypes.py_object, ctypes.py_object, ctypes.py_object,
]
pythonapi.PyObject_Call.restype = ctypes.py_object


def call_python(func, args, keywords):
    return func(*args, **dict(keywords))


def call_vectorcall(func, args, keywords):
    """As a native caller would: the keyword names go in a tuple as they
    are, so a name that is not a str reaches the callable."""
    values = list(args) + [value for _, value in keywords]
    array = (ctypes.py_object * max(len(values), 1))(*values)
    kwnames = tuple(name for name, _ in keywords) if keywords else None
    return pythonapi.PyObject_Vectorcall(func, array, len(args), kwnames)


def call_with_dict(func, args, keywords):
    """PyObject_Call with a keyword dict, which tp_init receives as is."""
    return pythonapi.PyObject_Call(func, tuple(args), dict(keywords))


CALLERS = {"python": call_python, "vectorcall": call_vectorcall,
           "dict": call_with_dict}

# The callable under test, given an instance; methods are bound.
TARGETS = {
    "algorithms": lambda s: Morvane.algorithms,
    "version": lambda s: Morvane.version,
    "__init__": lambda s: Morvane.Morvane,
    "stemWord": lambda s: s.stemWord,
    "stemWords": lambda s: s.stemWords,
    "purge": lambda s: s._Morvane__purgeCache,
    "__reduce__": lambda s: s.__reduce__,
    "__setstate__": lambda s: s.__setstate__,
}

# The same callables reached through the class, the instance passed first.
THROUGH_CLASS = {
    "__init__": Morvane.Morvane.__init__,
    "stemWord": Morvane.Morvane.stemWord,
    "stemWords": Morvane.Morvane.stemWords,
    "purge": Morvane.Morvane._Morvane__purgeCache,
    "__reduce__": Morvane.Morvane.__reduce__,
    "__setstate__": Morvane.Morvane.__setstate__,
}


def case(target, args, keywords, message, id, via="python"):
    return pytest.param(target, via, args, keywords, message,
                        id=f"{target}-{id}")


def many(name, qualifier, count, given):
    plural = "" if count == 1 else "s"
    return (f"{name}() takes {qualifier} {count} positional "
            f"argument{plural} ({given} given)")


def unexpected(name, keyword):
    return f"{name}() got an unexpected keyword argument '{keyword}'"


def multiple(name, keyword):
    return f"{name}() got multiple values for keyword argument '{keyword}'"


def not_strings(name):
    return f"{name}() keywords must be strings"


REDUCE = "_Morvane__reduce"
SETSTATE = "_Morvane__setstate"
PURGE = "_Morvane__purgeCache"

CASES = [
    # algorithms(aliases=False)
    # too many positional
    case("algorithms", (1, 2), [], many("algorithms", "at most", 1, 2),
         "two-positional"),
    case("algorithms", (1, 2, 3), [], many("algorithms", "at most", 1, 3),
         "three-positional"),
    case("algorithms", (1, 2), [("bogus", 1)],
         many("algorithms", "at most", 1, 2), "count-before-keywords"),
    # unexpected keyword
    case("algorithms", (), [("alias", True)],
         unexpected("algorithms", "alias"), "unexpected"),
    case("algorithms", (), [("aliases", True), ("alias", True)],
         unexpected("algorithms", "alias"), "unexpected-after-valid"),
    case("algorithms", (), [("Aliases", True)],
         unexpected("algorithms", "Aliases"), "case-sensitive"),
    # multiple values
    case("algorithms", (True,), [("aliases", True)],
         multiple("algorithms", "aliases"), "multiple"),
    case("algorithms", (True,), [("aliases", 1), ("bogus", 2)],
         multiple("algorithms", "aliases"), "first-is-repeat"),
    case("algorithms", (True,), [("bogus", 2), ("aliases", 1)],
         unexpected("algorithms", "bogus"), "first-is-unexpected"),
    # keywords must be strings
    case("algorithms", (), [(1, True)], not_strings("algorithms"),
         "int-keyword", via="vectorcall"),
    case("algorithms", (), [("aliases", 1), (b"x", 2)],
         not_strings("algorithms"), "bytes-keyword-after-valid",
         via="vectorcall"),
    case("algorithms", (1, 2), [(1, True)],
         many("algorithms", "at most", 1, 2), "count-before-non-str",
         via="vectorcall"),
    case("algorithms", (), [("bogus", 1), (1, 2)],
         unexpected("algorithms", "bogus"), "unexpected-before-non-str",
         via="vectorcall"),

    # version(): keywords are refused before positional arguments
    case("version", (1,), [], "version() takes no arguments (1 given)",
         "one-positional"),
    case("version", (1, 2), [], "version() takes no arguments (2 given)",
         "two-positional"),
    case("version", (), [("x", 1)], "version() takes no keyword arguments",
         "keyword"),
    case("version", (1,), [("x", 1)],
         "version() takes no keyword arguments", "keyword-before-count"),
    case("version", (), [(1, 2)], "version() takes no keyword arguments",
         "non-str-keyword", via="vectorcall"),

    # Morvane.Morvane(algorithm, maxCacheSize=10000), i.e. __init__
    # too few / too many positional
    case("__init__", (), [], many("__init__", "at least", 1, 0),
         "no-arguments"),
    case("__init__", (), [("maxCacheSize", 5)],
         many("__init__", "at least", 1, 0), "only-maxCacheSize"),
    case("__init__", ("english", 5, 6), [],
         many("__init__", "at most", 2, 3), "three-positional"),
    case("__init__", ("nonexistent", "bad", 6), [("bogus", 1)],
         many("__init__", "at most", 2, 3), "count-before-keywords"),
    # unexpected keyword
    case("__init__", ("english",), [("cache", 1)],
         unexpected("__init__", "cache"), "unexpected"),
    case("__init__", (), [("bogus", 1)], unexpected("__init__", "bogus"),
         "unexpected-before-missing"),
    case("__init__", ("nonexistent",), [("maxCacheSize", "bad"),
                                         ("cache", 1)],
         unexpected("__init__", "cache"), "binding-before-conversion"),
    # multiple values
    case("__init__", ("english",), [("algorithm", "english")],
         multiple("__init__", "algorithm"), "multiple-algorithm"),
    case("__init__", ("english", 5), [("maxCacheSize", 5)],
         multiple("__init__", "maxCacheSize"), "multiple-maxCacheSize"),
    case("__init__", ("english",), [("bogus", 1), ("algorithm", "x")],
         unexpected("__init__", "bogus"), "first-is-unexpected"),
    case("__init__", ("english",), [("algorithm", "x"), ("bogus", 1)],
         multiple("__init__", "algorithm"), "first-is-repeat"),
    # keywords must be strings (tp_init gets the caller's dict)
    case("__init__", ("english",), [(1, 2)], not_strings("__init__"),
         "int-keyword", via="dict"),
    case("__init__", ("english",), [("bogus", 1), (2, 3)],
         unexpected("__init__", "bogus"), "unexpected-before-non-str",
         via="dict"),
    case("__init__", ("english",), [(2, 3), ("bogus", 1)],
         not_strings("__init__"), "non-str-before-unexpected", via="dict"),
    case("__init__", ("english", 1, 2), [(1, 2)],
         many("__init__", "at most", 2, 3), "count-before-non-str",
         via="dict"),

    # stemWord(word)
    case("stemWord", (), [], many("stemWord", "exactly", 1, 0),
         "no-arguments"),
    case("stemWord", ("a", "b"), [], many("stemWord", "exactly", 1, 2),
         "two-positional"),
    case("stemWord", (1, 2), [("bogus", 1)],
         many("stemWord", "exactly", 1, 2), "count-before-keywords"),
    case("stemWord", ("a", "b"), [("word", "c")],
         many("stemWord", "exactly", 1, 2), "count-before-repeat"),
    case("stemWord", ("a",), [("words", "b")],
         unexpected("stemWord", "words"), "unexpected"),
    case("stemWord", (), [("bogus", 1)], unexpected("stemWord", "bogus"),
         "unexpected-before-missing"),
    case("stemWord", (1,), [("word", "b")], multiple("stemWord", "word"),
         "multiple"),
    case("stemWord", (1,), [("bogus", 1), ("word", "b")],
         unexpected("stemWord", "bogus"), "first-is-unexpected"),
    case("stemWord", (1,), [("word", "b"), ("bogus", 1)],
         multiple("stemWord", "word"), "first-is-repeat"),
    case("stemWord", (), [(1, "a")], not_strings("stemWord"),
         "int-keyword", via="vectorcall"),
    case("stemWord", (), [(1, "a"), ("bogus", 2)], not_strings("stemWord"),
         "non-str-before-unexpected", via="vectorcall"),

    # stemWords(words)
    case("stemWords", (), [], many("stemWords", "exactly", 1, 0),
         "no-arguments"),
    case("stemWords", (["a"], ["b"]), [],
         many("stemWords", "exactly", 1, 2), "two-positional"),
    case("stemWords", ([1], [2]), [("bogus", 1)],
         many("stemWords", "exactly", 1, 2), "count-before-keywords"),
    case("stemWords", (), [("word", "a")], unexpected("stemWords", "word"),
         "unexpected"),
    case("stemWords", ([1],), [("words", ["a"])],
         multiple("stemWords", "words"), "multiple"),
    case("stemWords", ([1],), [("bogus", 1), ("words", ["a"])],
         unexpected("stemWords", "bogus"), "first-is-unexpected"),
    case("stemWords", ([1],), [("words", ["a"]), ("bogus", 1)],
         multiple("stemWords", "words"), "first-is-repeat"),
    case("stemWords", ([1],), [(1, ["a"])], not_strings("stemWords"),
         "int-keyword", via="vectorcall"),

    # _Morvane__purgeCache()
    case("purge", (1,), [], many(PURGE, "exactly", 0, 1), "one-positional"),
    case("purge", (1, 2), [], many(PURGE, "exactly", 0, 2),
         "two-positional"),
    case("purge", (1,), [("x", 1)], many(PURGE, "exactly", 0, 1),
         "count-before-keywords"),
    case("purge", (), [("x", 1)], unexpected(PURGE, "x"), "keyword"),
    case("purge", (), [("y", 1), ("x", 2)], unexpected(PURGE, "y"),
         "first-keyword"),
    case("purge", (), [(1, 2)], not_strings(PURGE), "int-keyword",
         via="vectorcall"),

    # __reduce__()
    case("__reduce__", (2,), [], many(REDUCE, "exactly", 0, 1),
         "one-positional"),
    case("__reduce__", (2,), [("protocol", 2)],
         many(REDUCE, "exactly", 0, 1), "count-before-keywords"),
    case("__reduce__", (), [("protocol", 2)], unexpected(REDUCE, "protocol"),
         "keyword"),
    case("__reduce__", (), [(2, 2)], not_strings(REDUCE), "int-keyword",
         via="vectorcall"),

    # __setstate__(state)
    case("__setstate__", (), [], many(SETSTATE, "exactly", 1, 0),
         "no-arguments"),
    case("__setstate__", (1, 2), [], many(SETSTATE, "exactly", 1, 2),
         "two-positional"),
    case("__setstate__", (), [("bogus", 1)], unexpected(SETSTATE, "bogus"),
         "unexpected-before-missing"),
    case("__setstate__", (1,), [("bogus", 1)], unexpected(SETSTATE, "bogus"),
         "unexpected"),
    case("__setstate__", (1,), [("state", 2)], multiple(SETSTATE, "state"),
         "multiple"),
    case("__setstate__", (), [(1, 2)], not_strings(SETSTATE), "int-keyword",
         via="vectorcall"),
]


@pytest.fixture
def warm():
    """An instance with a cached word, so that a binding failure that went
    on to reset or stem would show."""
    s = Morvane.Morvane("english", 50)
    s.stemWord("running")
    return s, snapshot(s)


def assert_untouched(warm):
    """Nothing was stemmed, stored, forgotten or re-initialised."""
    stemmer, before = warm
    assert_unchanged(stemmer, before)
    assert stemmer.maxCacheSize == 50
    assert stemmer.stemWord("laufenden") == "laufenden"  # still English


@pytest.mark.parametrize("target, via, args, keywords, message", CASES)
def test_binding_error(warm, target, via, args, keywords, message):
    func = TARGETS[target](warm[0])
    raises_exactly(TypeError, message, CALLERS[via], func, args, keywords)
    assert_untouched(warm)


@pytest.mark.parametrize(
    "target, via, args, keywords, message",
    [param for param in CASES if param.values[0] in THROUGH_CLASS],
)
def test_binding_error_through_class(warm, target, via, args, keywords,
                                     message):
    """The instance passed first is not counted among the arguments."""
    func = THROUGH_CLASS[target]
    args = (warm[0],) + tuple(args)
    raises_exactly(TypeError, message, CALLERS[via], func, args, keywords)
    assert_untouched(warm)


@pytest.mark.parametrize(
    "target, via, args, keywords, message",
    [param for param in CASES if param.values[0] == "purge"],
)
def test_purge_refuses_arguments_before_its_size_test(target, via, args,
                                                      keywords, message):
    """At capacity -1 a purge that went on past its arguments would replace
    the cache dict, which the warm instance's purge would not."""
    s = Morvane.Morvane("english", -1)
    before = snapshot(s)
    func = TARGETS[target](s)
    raises_exactly(TypeError, message, CALLERS[via], func, args, keywords)
    assert_unchanged(s, before)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda s: s.stemWord(word="running"), "run"),
        (lambda s: s.stemWord(word=b"running"), b"run"),
        (lambda s: Morvane.Morvane.stemWord(s, word="jumps"), "jump"),
        (lambda s: s.stemWords(words=["running", b"jumps"]), ["run", b"jump"]),
        (lambda s: Morvane.Morvane.stemWords(s, words=("flies",)), ["fli"]),
    ],
    ids=["stemWord", "stemWord-bytes", "stemWord-through-class", "stemWords",
         "stemWords-through-class"],
)
def test_word_by_keyword(stemmer, call, expected):
    assert call(stemmer) == expected
    # every word went through the cache once
    assert cache_of(stemmer)[1] == (
        len(expected) if type(expected) is list else 1)


# Keyword names are matched by equality, not only by identity


def fresh(text):
    """An equal str that is not the interned parameter name."""
    copy = "".join(list(text))
    assert copy == text and copy is not text
    return copy


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda s: Morvane.algorithms(**{fresh("aliases"): True}),
         Morvane.algorithms()),
        (lambda s: Morvane.Morvane(**{fresh("algorithm"): "english",
                                      fresh("maxCacheSize"): 7}).maxCacheSize,
         7),
        (lambda s: s.stemWord(**{fresh("word"): "running"}), "run"),
        (lambda s: s.stemWords(**{fresh("words"): ["running"]}), ["run"]),
        (lambda s: Morvane.Morvane.stemWord(s, **{fresh("word"): "running"}),
         "run"),
    ],
    ids=["algorithms", "__init__", "stemWord", "stemWords",
         "stemWord-through-class"],
)
def test_equal_keyword_binds(stemmer, call, expected):
    assert call(stemmer) == expected


def test_equal_keyword_binds_state_of_setstate(stemmer):
    raises_exactly(TypeError, NO_PICKLING,
                   stemmer.__setstate__, **{fresh("state"): None})


@pytest.mark.parametrize(
    "target, args, keyword, message",
    [
        ("algorithms", (True,), "aliases", multiple("algorithms", "aliases")),
        ("__init__", ("english",), "algorithm",
         multiple("__init__", "algorithm")),
        ("stemWord", ("a",), "word", multiple("stemWord", "word")),
        ("stemWords", (["a"],), "words", multiple("stemWords", "words")),
        ("__setstate__", (1,), "state", multiple(SETSTATE, "state")),
    ],
    ids=["algorithms", "__init__", "stemWord", "stemWords", "__setstate__"],
)
def test_equal_keyword_repeating_a_positional(warm, target, args, keyword,
                                              message):
    func = TARGETS[target](warm[0])
    raises_exactly(TypeError, message, func, *args, **{fresh(keyword): 2})
    assert_untouched(warm)
