"""Instances without a stemming algorithm because no __init__ of the class
ever ran on them: made by __new__ alone, or by a subclass whose __init__
does not call the base one. Their cache and counter are None until a zero
capacity installs an empty cache; every call fails cleanly, with the
interpreter's own message where the None is what fails, and __init__
readies them. (An instance whose re-initialisation failed keeps its cache;
it is tested with re-initialisation, in test_lifecycle.py.)"""

import gc
import operator
from contextlib import suppress

import pytest

import Morvane
from conftest import (
    NO_ALGORITHM,
    cache_of,
    cpython_message,
    raises_exactly,
)

# What CPython says when the None cache is measured or subscripted
NO_LEN = cpython_message(len, None)
NOT_SUBSCRIPTABLE = cpython_message(operator.getitem, None, 0)


class InitSkipped(Morvane.Morvane):
    __slots__ = ()

    def __init__(self, *args, **kwargs):
        pass


MAKERS = {
    "bare-new": lambda: Morvane.Morvane.__new__(Morvane.Morvane),
    "new-junk-args": lambda: Morvane.Morvane.__new__(
        Morvane.Morvane, 1, 2, x=3),
    "new-real-args": lambda: Morvane.Morvane.__new__(
        Morvane.Morvane, "english", maxCacheSize=5),
    "init-skipped": lambda: InitSkipped("english", maxCacheSize=5),
}
TWO_KINDS = {name: MAKERS[name] for name in ("bare-new", "init-skipped")}


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS)
def test_starts_without_cache_counter_or_algorithm(unraisable, make):
    s = make()
    assert isinstance(s, Morvane.Morvane)
    assert s.maxCacheSize == 0
    assert cache_of(s) == (None, None)
    del s
    gc.collect()
    assert unraisable == []


# Where the instance is before the call


def _nothing(s):
    pass


def _capacity_stored(s):
    """The setter stores a positive capacity before its purge fails on the
    None cache: the cached road then opens onto no cache at all."""
    with suppress(TypeError):
        s.maxCacheSize = 5


def _uncached(s):
    s.maxCacheSize = 0  # installs an empty cache and counter


def _cached(s):
    s.maxCacheSize = 0
    s.maxCacheSize = 5


CALLS = {
    "stemWord-str": lambda s: s.stemWord("running"),
    "stemWord-bytes": lambda s: s.stemWord(b"running"),
    "stemWord-non-ascii": lambda s: s.stemWord("caf\xe9"),
    "stemWords": lambda s: s.stemWords(["running"]),
    "purge": lambda s: s._Morvane__purgeCache(),
    "capacity-5": lambda s: setattr(s, "maxCacheSize", 5),
    "capacity-minus-1": lambda s: setattr(s, "maxCacheSize", -1),
}
STEMMING = ["stemWord-str", "stemWord-bytes", "stemWord-non-ascii",
            "stemWords"]


def row(before, call, error, missed, capacity, cache):
    return pytest.param(before, CALLS[call], error, missed, capacity, cache,
                        id=f"{before.__name__.strip('_')}-{call}")


NO_CACHE = (None, None)
EMPTY = ({}, 0)
CASES = (
    [row(_nothing, c, (RuntimeError, NO_ALGORITHM), False, 0, NO_CACHE)
     for c in STEMMING]
    + [
        row(_nothing, "purge", (TypeError, NO_LEN), False, 0, NO_CACHE),
        # the setter stores the capacity, then its purge fails
        row(_nothing, "capacity-5", (TypeError, NO_LEN), False, 5, NO_CACHE),
        row(_nothing, "capacity-minus-1", (TypeError, NO_LEN), False, -1,
            NO_CACHE),
        row(_capacity_stored, "stemWord-str",
            (TypeError, NOT_SUBSCRIPTABLE), False, 5, NO_CACHE),
        # a zero capacity installed a cache: a positive one finds nothing
        # to purge
        row(_uncached, "capacity-5", None, False, 5, EMPTY),
    ]
    + [row(_uncached, c, (RuntimeError, NO_ALGORITHM), False, 0, EMPTY)
       for c in STEMMING]
    # the cached road looks the word up first, and misses
    + [row(_cached, c, (RuntimeError, NO_ALGORITHM), True, 5, EMPTY)
       for c in STEMMING]
)


@pytest.mark.parametrize("before, call, error, missed, capacity, cache",
                         CASES)
@pytest.mark.parametrize("make", TWO_KINDS.values(), ids=TWO_KINDS)
def test_call_on_an_uninitialised_instance(make, before, call, error, missed,
                                           capacity, cache):
    s = make()
    before(s)
    if error is None:
        call(s)
    else:
        exc = raises_exactly(*error, call, s)
        assert type(exc.__context__) is (KeyError if missed else type(None))
    assert s.maxCacheSize == capacity
    assert cache_of(s) == cache


@pytest.mark.parametrize("before", [_nothing, _capacity_stored, _cached],
                         ids=["fresh", "capacity-stored", "cache-installed"])
@pytest.mark.parametrize("make", TWO_KINDS.values(), ids=TWO_KINDS)
def test_init_readies_an_uninitialised_instance(make, before):
    s = make()
    before(s)
    assert Morvane.Morvane.__init__(s, "english", 5) is None
    assert s.maxCacheSize == 5
    assert cache_of(s) == ({}, 0)
    assert s.stemWord("running") == "run"
    assert cache_of(s) == ({b"running": ["run", 0]}, 1)
