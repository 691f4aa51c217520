"""A subclass's _Morvane__purgeCache: when the module calls it (after each
miss, once the entry is stored and the counter moved on, and from the
capacity setter), what it sees, and that its result is ignored and its
failure the caller's. Overrides that change the instance while they run
are among the hostile callers, in test_hostile.py."""

import sys

import pytest

import Morvane
from conftest import (
    Custom,
    MyBytes,
    assert_missed,
    cache_of,
    raises_exactly,
    recording_purge,
    state,
)


def _keep_everything(s):
    return None


# When it is called


@pytest.mark.parametrize(
    "values, calls",
    [
        ([5], 1),
        ([5, 5], 2),
        ([-1], 1),
        ([0], 0),
        ([0, 3, 0, -2, 0], 2),
        ([10000, 2147483647, -2147483648], 3),
    ],
    ids=["one", "same-twice", "negative", "zero", "mixed", "extremes"],
)
def test_setter_calls_override_for_every_non_zero_value(values, calls):
    cls, purges = recording_purge(_keep_everything)
    s = cls("english")
    for value in values:
        s.maxCacheSize = value
        assert s.maxCacheSize == value
    assert len(purges) == calls


def test_setter_calls_override_after_storing_capacity():
    seen = []

    class Sub(Morvane.Morvane):
        def _Morvane__purgeCache(self):
            seen.append(self.maxCacheSize)

    s = Sub("english")
    s.maxCacheSize = 7
    assert seen == [7]


def test_stemWord_calls_override_once_per_miss():
    """After each miss, with the new entry stored and the counter moved on,
    while the lookup's KeyError, which carries the very key looked up, is
    being handled."""
    cls, purges = recording_purge()
    s = cls("english")
    word = MyBytes(b"jumped")
    script = ["running", "running", word, b"running", "jumped", "walking",
              "running"]
    for w in script:
        s.stemWord(w)
    assert [(p.size, p.counter) for p in purges] == [(1, 1), (2, 3), (3, 6)]
    assert cache_of(s)[1] == len(script)
    assert [type(p.handling) for p in purges] == [KeyError] * 3
    assert [p.handling.args for p in purges] == [
        (b"running",), (b"jumped",), (b"walking",)]
    assert purges[1].handling.args[0] is word
    # a str word's key is the bytes object its KeyError carried
    cache = cache_of(s)[0]
    assert next(k for k in cache if k == b"running") is (
        purges[0].handling.args[0])


def test_stemWord_with_cache_off_never_calls_override():
    cls, purges = recording_purge(_keep_everything)
    s = cls("english", 0)
    s.stemWords(["running", "running", "jumped"])
    assert purges == []


def test_cache_off_ignores_entries_still_held():
    """A negative capacity with a purge that keeps everything: the entries
    stay, yet stemWord neither reads nor stamps them."""
    cls, purges = recording_purge(_keep_everything)
    s = cls("english")
    s.stemWord("running")
    cache_of(s)[0][b"running"][0] = "MARKER"
    assert s.stemWord("running") == "MARKER"
    s.maxCacheSize = -1
    before = state(s)
    assert before == ({b"running": ["MARKER", 1]}, 2)
    assert s.stemWord("running") == "run"
    assert s.stemWord(b"running") == b"run"
    assert state(s) == before
    assert len(purges) == 2  # the miss and the setter, not the last calls


def test_override_replaces_builtin_purge_entirely():
    cls, _ = recording_purge(_keep_everything)
    s = cls("english", 2)
    for word in ["running", "jumped", "walking", "talked"]:
        s.stemWord(word)
    assert len(cache_of(s)[0]) == 4  # the built-in purge would have trimmed


# What becomes of its result and its failure


@pytest.mark.parametrize(
    "returns",
    [42, NotImplemented, "x", object()],
    ids=["int", "NotImplemented", "str", "object"],
)
def test_override_return_value_is_ignored(returns):
    cls, purges = recording_purge(lambda s: returns)
    s = cls("english")
    assert s.stemWord("running") == "run"
    s.maxCacheSize = 3
    assert s.maxCacheSize == 3
    assert len(purges) == 2


def _failing(s):
    raise Custom("purge failed")


def _interrupted(s):
    raise KeyboardInterrupt("purge interrupted")


# KeyboardInterrupt is no Exception: it passes through all the same.
FAILURES = pytest.mark.parametrize(
    "purge, exc_type, message",
    [(_failing, Custom, "purge failed"),
     (_interrupted, KeyboardInterrupt, "purge interrupted")],
    ids=["error", "keyboard-interrupt"],
)


@FAILURES
def test_override_exception_propagates_through_setter(purge, exc_type,
                                                      message):
    cls, purges = recording_purge(purge)
    s = cls("english")
    cache, counter = cache_of(s)
    raises_exactly(exc_type, message, setattr, s, "maxCacheSize", 3)
    assert s.maxCacheSize == 3
    assert cache_of(s)[0] is cache and cache_of(s)[1] == counter
    assert len(purges) == 1


@FAILURES
def test_override_exception_propagates_through_stemWord(purge, exc_type,
                                                        message):
    cls, purges = recording_purge(purge)
    s = cls("english")
    exc = raises_exactly(exc_type, message, s.stemWord, "running")
    # raised while the lookup's KeyError was being handled: that is its
    # context
    assert_missed(exc, b"running")
    assert exc.__context__ is purges[0].handling
    # the miss was already recorded before the purge ran
    assert state(s) == ({b"running": ["run", 0]}, 1)
    # a hit does not purge, so it succeeds
    assert s.stemWord("running") == "run"
    assert len(purges) == 1


@FAILURES
def test_override_exception_ends_stemWords(purge, exc_type, message):
    cls, purges = recording_purge(purge)
    s = cls("english")
    with pytest.raises(exc_type):  # in its purge, once the entry is stored
        s.stemWord("running")
    with pytest.raises(exc_type):
        s.stemWords(["running", "jumps", "flies"])
    # the hit went through, the miss after it stored its entry and stopped
    # the walk in the purge
    assert state(s) == ({b"running": ["run", 1], b"jumps": ["jump", 2]}, 3)
    assert len(purges) == 2


def test_override_exception_chains_through_the_key_error_to_the_caller():
    cls, _ = recording_purge(_failing)
    s = cls("english")
    outer = ValueError("caller's")
    try:
        raise outer
    except ValueError:
        with pytest.raises(Custom) as excinfo:
            s.stemWord(b"running")
        assert sys.exc_info()[1] is outer
    assert_missed(excinfo.value, b"running")
    assert excinfo.value.__context__.__context__ is outer
