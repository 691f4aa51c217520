"""Life of a stemming object: construction, re-initialisation, pickling
refusal and the collector. (Instances that never ran __init__ are tested in
test_uninitialised.py; binding errors, __init__'s among them, in
test_binding.py.)"""

import abc
import copy
import gc
import pickle
import weakref

import pytest

import Morvane
from conftest import (
    NO_ALGORITHM,
    NO_PICKLING,
    EncodingStr,
    assert_missed,
    assert_unchanged,
    bytes_expected,
    cache_of,
    cpython_message,
    raises_exactly,
    raises_not_found,
    snapshot,
)


def no_encode(name):
    """CPython's AttributeError for a name that has no encode method."""
    return cpython_message(getattr, name, "encode")


@pytest.fixture
def warm():
    """A default instance that has cached two words."""
    s = Morvane.Morvane("english")
    s.stemWord("running")
    s.stemWord("jumped")
    return s


# Construction


@pytest.mark.parametrize("name", Morvane.algorithms())
def test_every_listed_algorithm_constructs_with_default_capacity(name):
    s = Morvane.Morvane(name)
    assert s.maxCacheSize == 10000
    assert cache_of(s) == ({}, 0)
    assert type(s.stemWord("abc")) is str


@pytest.mark.parametrize(
    "args, kwargs, capacity",
    [
        (("english",), {}, 10000),
        ((), {"algorithm": "english"}, 10000),
        ((), {"algorithm": "english", "maxCacheSize": 7}, 7),
        (("english",), {"maxCacheSize": 7}, 7),
        (("english", 7), {}, 7),
    ],
    ids=["positional", "keyword", "both-keywords", "mixed", "two-positional"],
)
def test_construction_forms(args, kwargs, capacity):
    s = Morvane.Morvane(*args, **kwargs)
    assert s.maxCacheSize == capacity
    assert s.stemWord("running") == "run"


@pytest.mark.parametrize(
    "name",
    [
        "english\0junk",
        "english\0",
        EncodingStr("label", b"english"),
        EncodingStr("label", bytearray(b"english")),
    ],
    ids=["nul-then-junk", "trailing-nul", "encode-to-bytes", "encode-to-bytearray"],
)
def test_name_reaches_libstemmer_as_encoded_up_to_nul(name):
    """The name is whatever encode("ascii") returns, cut at its first NUL."""
    assert Morvane.Morvane(name).stemWord("running") == "run"


def test_algorithm_choice_follows_name():
    word = "laufenden"
    german = Morvane.Morvane("german").stemWord(word)
    english = Morvane.Morvane("english").stemWord(word)
    assert german != english


# The class docstring promises that libstemmer's other names for an
# algorithm are accepted too, though algorithms() never lists them.
@pytest.mark.parametrize(
    "alias, name, words",
    [
        ("en", "english", ["generously", "connections", "running"]),
        ("de", "german", ["laufenden", "häuser", "möglichkeiten"]),
        ("fr", "french", ["continuellement", "généralisation", "chevaux"]),
    ],
)
def test_alias_names_stem_as_their_algorithm(alias, name, words):
    assert alias not in Morvane.algorithms()
    s = Morvane.Morvane(alias)
    assert s.stemWords(words) == Morvane.Morvane(name).stemWords(words)
    assert s.stemWords(words) != words


# Unknown or unusable names


@pytest.mark.parametrize(
    "name, shown",
    [
        ("xx", "xx"),
        ("", ""),
        ("English", "English"),
        (" english", " english"),
        ("xx\0english", "xx\0english"),
        (EncodingStr("label", b"nosuch"), "label"),
    ],
    ids=[
        "unknown",
        "empty",
        "wrong-case",
        "leading-space",
        "nul-before-listed",
        "message-shows-argument",
    ],
)
def test_unknown_name(unraisable, name, shown):
    raises_not_found(shown, Morvane.Morvane, name)
    gc.collect()
    assert unraisable == []


@pytest.mark.parametrize(
    "name, exc_type, message",
    [
        (b"english", AttributeError, no_encode(b"english")),
        (
            bytearray(b"english"),
            AttributeError,
            no_encode(bytearray()),
        ),
        (None, AttributeError, no_encode(None)),
        (
            "\xe9nglish",
            UnicodeEncodeError,
            cpython_message(str.encode, "\xe9nglish", "ascii"),
        ),
        (EncodingStr("label", 5), TypeError, bytes_expected(5)),
    ],
    ids=["bytes", "bytearray", "none", "non-ascii", "encode-returns-int"],
)
def test_unusable_name(unraisable, name, exc_type, message):
    raises_exactly(exc_type, message, Morvane.Morvane, name)
    gc.collect()
    assert unraisable == []


def test_abstract_subclass_raises_cpython_abstract_error():
    class Shape(metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def area(self):
            pass

    with pytest.raises(TypeError) as reference:
        Shape()

    class Shape(Morvane.Morvane, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def area(self):
            pass

    raises_exactly(TypeError, str(reference.value), Shape, "english")


# Re-initialisation


@pytest.mark.parametrize(
    "kwargs, capacity",
    [({}, 10000), ({"maxCacheSize": 3}, 3), ({"maxCacheSize": 0}, 0)],
    ids=["default", "given", "zero"],
)
def test_reinit_forgets_cache(warm, kwargs, capacity):
    old_cache, old_counter = cache_of(warm)
    assert old_counter == 2
    warm.__init__("english", **kwargs)
    cache, counter = cache_of(warm)
    assert cache == {} and cache is not old_cache
    assert counter == 0
    assert warm.maxCacheSize == capacity


def test_reinit_makes_cached_word_miss(warm):
    stem = cache_of(warm)[0][b"running"][0]
    assert warm.stemWord("running") is stem  # a hit before
    warm.__init__("english")
    again = warm.stemWord("running")
    assert again == stem and again is not stem
    assert cache_of(warm) == ({b"running": ["run", 0]}, 1)


def test_reinit_switches_algorithm(warm):
    word = "laufenden"
    warm.__init__("german", maxCacheSize=0)
    assert warm.stemWord(word) == Morvane.Morvane("german").stemWord(word)


def test_reinit_with_unknown_name_keeps_cache_but_drops_algorithm(warm):
    warm.maxCacheSize = 50
    before = snapshot(warm)
    raises_not_found("xx", warm.__init__, "xx")
    assert_unchanged(warm, before)
    assert warm.maxCacheSize == 50

    # a cached word is still answered from the cache, for str and bytes
    stem = cache_of(warm)[0][b"running"][0]
    assert warm.stemWord("running") is stem
    assert warm.stemWord(b"running") == b"run"
    assert cache_of(warm) == ({b"running": ["run", 3],
                               b"jumped": ["jump", 1]}, 4)

    # an uncached word needs the algorithm, which is gone
    before = snapshot(warm)
    exc = raises_exactly(RuntimeError, NO_ALGORITHM, warm.stemWord, "walking")
    assert_missed(exc, b"walking")
    assert_unchanged(warm, before)
    # and so does every word once the cache is off
    warm.maxCacheSize = 0
    raises_exactly(RuntimeError, NO_ALGORITHM, warm.stemWord, "running")

    # a later good __init__ brings it back
    warm.__init__("english")
    assert warm.stemWord("walking") == "walk"


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message",
    [
        (("german", "12"), {}, TypeError, "an integer is required"),
        (("german", 2**31), {}, OverflowError, "value too large to convert to int"),
        (("xx", None), {}, TypeError, "an integer is required"),
        (
            ("g\xe9rman",),
            {},
            UnicodeEncodeError,
            cpython_message(str.encode, "g\xe9rman", "ascii"),
        ),
        ((b"german",), {}, AttributeError, no_encode(b"german")),
        ((EncodingStr("german", 5),), {}, TypeError,
         bytes_expected(5)),
    ],
    ids=[
        "bad-capacity",
        "capacity-overflow",
        "bad-capacity-and-name",
        "non-ascii-name",
        "bytes-name",
        "encode-returns-int",
    ],
)
def test_reinit_failing_before_lookup_changes_nothing(
    warm, args, kwargs, exc_type, message
):
    warm.maxCacheSize = 50
    before = snapshot(warm)
    raises_exactly(exc_type, message, warm.__init__, *args, **kwargs)
    assert_unchanged(warm, before)
    assert warm.maxCacheSize == 50
    # still the english algorithm, still usable for new words
    assert warm.stemWord("walking") == "walk"
    assert warm.stemWord("laufenden") == "laufenden"


# Pickling and copying are refused


class Sub(Morvane.Morvane):
    pass


def _initialised():
    return Morvane.Morvane("english")


def _uninitialised():
    return Morvane.Morvane.__new__(Morvane.Morvane)


def _subclass():
    return Sub("english")


INSTANCES = [_initialised, _uninitialised, _subclass]
INSTANCE_IDS = ["initialised", "uninitialised", "subclass"]

REFUSED = [
    pytest.param(lambda o, p=p: pickle.dumps(o, protocol=p), id=f"pickle-{p}")
    for p in range(pickle.HIGHEST_PROTOCOL + 1)
] + [
    pytest.param(copy.copy, id="copy"),
    pytest.param(copy.deepcopy, id="deepcopy"),
    pytest.param(lambda o: o.__reduce__(), id="reduce"),
    pytest.param(lambda o: o.__reduce_ex__(2), id="reduce_ex"),
    pytest.param(lambda o: o.__setstate__(1), id="setstate"),
]


@pytest.mark.parametrize("make", INSTANCES, ids=INSTANCE_IDS)
@pytest.mark.parametrize("refuse", REFUSED)
def test_pickling_and_copying_refused(make, refuse):
    obj = make()
    raises_exactly(TypeError, NO_PICKLING, refuse, obj)


# Cyclic garbage collection


def test_cycle_through_subclass_instance_is_collected():
    collected = []
    s = Sub("english")
    s.me = s
    ref = weakref.ref(s, lambda r: collected.append(True))
    del s
    gc.collect()
    assert ref() is None
    assert collected == [True]


def test_cycle_through_cache_is_collected():
    """The collector must see the cache: a cycle running through it is freed."""

    class Anchor:
        pass

    s = Morvane.Morvane("english")
    s.stemWord("running")
    anchor = Anchor()
    anchor.owner = s
    cache_of(s)[0][b"running"].append(anchor)
    ref = weakref.ref(anchor)
    del s, anchor
    gc.collect()
    assert ref() is None
