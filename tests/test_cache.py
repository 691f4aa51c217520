"""The word cache: its shape, the recency purge, the maxCacheSize property
that bounds it, and entries that other code put in it."""

import copy
import operator

import pytest

import Morvane
from conftest import (
    Custom,
    GtRaises,
    GtUntruthful,
    NoPurge,
    assert_missed,
    assert_sound,
    assert_unchanged,
    assert_works,
    builtin_purge,
    cache_of,
    cpython_message,
    raises_exactly,
    snapshot,
)


def words(n, prefix="word"):
    return [f"{prefix}{i}x" for i in range(n)]


def keys(s):
    return [k.decode() for k in cache_of(s)[0]]


def fill(s, n, prefix="word"):
    ws = words(n, prefix)
    for w in ws:
        s.stemWord(w)
    return ws


# Shape


def test_cache_shape():
    s = Morvane.Morvane("english")
    word = b"jumped"
    s.stemWord("running")
    s.stemWord(word)
    s.stemWord("running")  # hit: restamped, not moved
    cache, counter = cache_of(s)
    assert type(cache) is dict
    assert cache == {b"running": ["run", 2], b"jumped": ["jump", 1]}
    assert list(cache) == [b"running", b"jumped"]
    for key, entry in cache.items():
        assert type(key) is bytes
        assert type(entry) is list and len(entry) == 2
        assert type(entry[0]) is str and type(entry[1]) is int
    # a bytes word is stored under the caller's own object
    assert next(k for k in cache if k == word) is word
    assert type(counter) is int and counter == 3


# Purge by recency: each row is (capacity, [(word, cache keys after it)])


def _many_hits_then_new_words():
    steps = [("xylophone", "xylophone")] * 100
    for i in range(1, 9):
        steps.append(
            (f"w{i}", " ".join(["xylophone"] + [f"w{j}" for j in range(1, i + 1)]))
        )
    steps.append(("w9", " ".join(f"w{j}" for j in range(3, 10))))
    return steps


PURGE_SCRIPTS = [
    pytest.param(
        1,
        [("apple", ""), ("apple", ""), ("berry", "")],
        id="capacity-1-never-keeps",
    ),
    pytest.param(
        2,
        [("apple", "apple"), ("apple", "apple"), ("apple", "apple"), ("berry", "")],
        id="capacity-2-second-word-empties",
    ),
    pytest.param(
        3,
        [
            ("apple", "apple"),
            ("berry", "apple berry"),
            ("cherry", "cherry"),
            ("damson", "cherry damson"),
            ("damson", "cherry damson"),
            ("elder", "elder"),
        ],
        id="capacity-3-keeps-only-newest",
    ),
    pytest.param(
        5,
        [
            ("apple", "apple"),
            ("berry", "apple berry"),
            ("cherry", "apple berry cherry"),
            ("damson", "apple berry cherry damson"),
            ("berry", "apple berry cherry damson"),
            ("apple", "apple berry cherry damson"),
            ("elder", "apple berry elder"),
        ],
        id="capacity-5-survivors-keep-insertion-order",
    ),
    pytest.param(10, _many_hits_then_new_words(), id="capacity-10-many-hits-then-new"),
]


@pytest.mark.parametrize("capacity, steps", PURGE_SCRIPTS)
def test_purge_keeps_most_recently_used(capacity, steps):
    s = Morvane.Morvane("english", capacity)
    last_use = {}
    for i, (word, expected) in enumerate(steps):
        cache_before = cache_of(s)[0]
        entry = cache_before.get(word.encode())
        result = s.stemWord(word)
        if entry is not None:
            assert result is entry[0]  # a hit answers from the entry
        last_use[word] = i
        cache, counter = cache_of(s)
        assert counter == i + 1
        assert keys(s) == expected.split(), f"after step {i} ({word})"
        assert {k.decode(): e[1] for k, e in cache.items()} == {
            w: last_use[w] for w in expected.split()
        }


def test_default_capacity_purges_at_10000th_word():
    s = Morvane.Morvane("english")
    ws = words(10000)
    for w in ws[:9999]:
        s.stemWord(w)
    assert len(cache_of(s)[0]) == 9999
    s.stemWord(ws[9999])
    cache, counter = cache_of(s)
    assert counter == 10000
    assert keys(s) == ws[2001:]  # the 2002nd to the 10000th, 7999 words
    # the 2002nd word is a hit
    entry = cache[ws[2001].encode()]
    assert s.stemWord(ws[2001]) is entry[0]
    assert len(cache_of(s)[0]) == 7999
    # the 2001st is a miss
    s.stemWord(ws[2000])
    assert len(cache_of(s)[0]) == 8000
    assert keys(s)[-1] == ws[2000]


def test_repeats_after_a_long_run_of_new_words():
    s = Morvane.Morvane("english")
    words = [f"word{i}ing" for i in range(3000)]
    first = s.stemWords(words)
    again = s.stemWords(words + words[::-1])
    assert all(a is b for a, b in zip(first + first[::-1], again))
    assert cache_of(s)[1] == 9000
    assert len(cache_of(s)[0]) == 3000


def test_hits_past_1024_lookups_leave_held_stamps_and_counters_alone():
    # Past the first 1024 lookups a hit may turn the stamp it replaces into
    # the next counter in place, when nothing else holds that stamp; the
    # stamps, entries and counters that this test holds must never change.
    s = Morvane.Morvane("english")
    ws = fill(s, 1100)
    cache, counter = cache_of(s)
    held = [(counter, repr(counter))]
    entries = []
    for i, w in enumerate(ws[::10]):
        entry = cache[w.encode()]
        entries.append((i * 10, entry, entry[0]))
        held.append((entry[1], repr(entry[1])))
    rounds = 3
    for _ in range(rounds):
        for w in ws:
            s.stemWord(w)
        held.append((cache_of(s)[1], repr(cache_of(s)[1])))
    assert [repr(obj) for obj, _ in held] == [value for _, value in held]
    cache, counter = cache_of(s)
    assert counter == 1100 * (rounds + 1)
    assert [e[1] for e in cache.values()] == list(
        range(1100 * rounds, 1100 * (rounds + 1)))
    for i, entry, stem in entries:
        assert cache[ws[i].encode()] is entry
        assert entry == [stem, 1100 * rounds + i]


def test_surviving_entries_are_the_same_objects():
    s = NoPurge("english", 5)
    fill(s, 7)
    before = dict(cache_of(s)[0])
    builtin_purge(s)
    after = cache_of(s)[0]
    assert after
    for key, entry in after.items():
        assert entry is before[key]
        assert next(k for k in before if k == key) is key


# Setting the capacity on a cache of 500 words (stamps 0 to 499)


@pytest.mark.parametrize(
    "capacity, survivors",
    [
        (10000, None),
        (600, None),
        (501, None),
        (500, slice(101, None)),
        (499, slice(102, None)),
        (100, slice(421, None)),
        (3, slice(499, None)),
        (1, slice(500, None)),
        (2147483647, None),
    ],
    ids=[
        "same",
        "above",
        "size-plus-one",
        "exactly-size",
        "size-minus-one",
        "100",
        "3",
        "1",
        "largest",
    ],
)
def test_setting_capacity_on_full_cache(capacity, survivors):
    s = Morvane.Morvane("english")
    ws = fill(s, 500)
    before = snapshot(s)
    s.maxCacheSize = capacity
    assert s.maxCacheSize == capacity
    if survivors is None:
        assert_unchanged(s, before)
    else:
        cache, counter = cache_of(s)
        assert cache is not before[0]
        assert keys(s) == ws[survivors]
        assert counter == 500


# -500000000 and -2147483648: 8 x the capacity overflows 32 bits, where a
# threshold computed in 32 bits would come out positive and keep entries.
@pytest.mark.parametrize("capacity", [-1, -5, -500000000, -2147483648])
def test_negative_capacity_empties_cache_and_switches_it_off(capacity):
    s = Morvane.Morvane("english")
    fill(s, 20)
    old = cache_of(s)[0]
    s.maxCacheSize = capacity
    assert s.maxCacheSize == capacity
    cache, counter = cache_of(s)
    assert cache == {} and cache is not old
    assert counter == 20
    assert s.stemWord("running") == "run"
    assert s.stemWord("running") == "run"
    assert cache_of(s) == ({}, 20)


def test_zero_capacity_resets_cache_and_counter():
    s = Morvane.Morvane("english")
    fill(s, 20)
    old = cache_of(s)[0]
    s.maxCacheSize = 0
    assert s.maxCacheSize == 0
    cache, counter = cache_of(s)
    assert cache == {} and cache is not old
    assert counter == 0
    assert s.stemWord("running") == "run"
    assert s.stemWord(b"running") == b"run"
    assert cache_of(s)[0] is cache and cache_of(s) == ({}, 0)
    # a positive capacity afterwards finds nothing to purge
    s.maxCacheSize = 5
    assert cache_of(s)[0] is cache
    s.stemWord("running")
    assert cache_of(s) == ({b"running": ["run", 0]}, 1)


def test_deleting_capacity_is_refused():
    s = Morvane.Morvane("english", 50)
    fill(s, 5)
    before = snapshot(s)

    def delete():
        del s.maxCacheSize

    raises_exactly(NotImplementedError, "__del__", delete)
    assert s.maxCacheSize == 50
    assert_unchanged(s, before)


# Calling the purge directly


@pytest.mark.parametrize(
    "entries, survivors",
    [(4, None), (5, slice(2, None)), (8, slice(5, None))],
    ids=["below", "at", "above"],
)
def test_purge_replaces_cache_only_from_capacity_up(entries, survivors):
    s = NoPurge("english", 5)
    ws = fill(s, entries)
    before = snapshot(s)
    assert builtin_purge(s) is None
    if survivors is None:
        assert_unchanged(s, before)
    else:
        assert cache_of(s)[0] is not before[0]
        assert keys(s) == ws[survivors]
        assert cache_of(s)[1] == entries
        # what is left is below capacity: a second purge changes nothing
        after = snapshot(s)
        assert builtin_purge(s) is None
        assert_unchanged(s, after)


@pytest.mark.parametrize("capacity", [0, -1])
def test_purge_without_positive_capacity_always_replaces(capacity):
    s = Morvane.Morvane("english", capacity)
    first = cache_of(s)[0]
    assert s._Morvane__purgeCache() is None
    second = cache_of(s)[0]
    assert second == {} and second is not first
    s._Morvane__purgeCache()
    assert cache_of(s)[0] is not second


# The purge's argument errors are in test_binding.py's table.


# Entries that other code put in the cache (the collector hands out the
# dict): a hit, a miss's purge, the setter and a direct purge meet them


class EncodesAs(str):
    def encode(self, *args):
        return b"encoded"


class BadEncode(str):
    def encode(self, *args):
        raise LookupError("cannot encode the stem")


def _no_subscript(obj):
    return cpython_message(operator.getitem, obj, 0)


def _no_assignment(obj):
    return cpython_message(operator.setitem, obj, 1, 0)


def _no_encode(obj):
    return cpython_message(getattr, obj, "encode")


NO_ITEM = _no_subscript([])
STR_VS_INT = cpython_message(operator.gt, "y", 0)

# poison, stem for a str word, stem for a bytes word (each a value or an
# (exception type, message) pair), then what the next purge does
POISONS = [
    (5, (TypeError, _no_subscript(5)), None, (TypeError, _no_subscript(5))),
    ([], (IndexError, NO_ITEM), None, (IndexError, NO_ITEM)),
    (["run"], (IndexError, _no_assignment(["run"])), None,
     (IndexError, NO_ITEM)),
    (("run", 0), (TypeError, _no_assignment(("run", 0))), None, None),
    ("xy", (TypeError, _no_assignment("xy")), None, (TypeError, STR_VS_INT)),
    # a hit stamps element 1, whatever it held
    (["run", "stamp"], "run", b"run", None),
    (["run", None, "extra"], "run", b"run", None),
    # element 0 is handed out as it is; bytes callers get its encode(),
    # after the hit has been counted
    ([42, 0], 42, (AttributeError, _no_encode(42)), None),
    ([b"run", 0], b"run", (AttributeError, _no_encode(b"run")), None),
    (["\ud800", 0], "\ud800",
     (UnicodeEncodeError, cpython_message(str.encode, "\ud800", "utf-8")),
     None),
    ([EncodesAs("run"), 0], EncodesAs("run"), b"encoded", None),
    ([BadEncode("odd"), 0], BadEncode("odd"),
     (LookupError, "cannot encode the stem"), None),
    # a KeyError from the entry starts the miss path, which stores anew
    ({}, "run", b"run", None),
    ({0: "stem", 1: 0}, "stem", b"stem", None),
]


@pytest.mark.parametrize(
    "poison, for_str, for_bytes, purge", POISONS,
    ids=["int", "empty-list", "short-list", "tuple", "str", "str-stamp",
         "long-list", "int-stem", "bytes-stem", "surrogate-stem",
         "str-subclass-stem", "stem-encode-fails", "empty-dict", "dict"],
)
# stemWords takes its own road through runs of str words that hit: it must
# notice the replaced entry as stemWord does.
@pytest.mark.parametrize("kind, in_list", [(str, False), (bytes, False),
                                           (str, True)],
                         ids=["str", "bytes", "str-in-stemWords"])
def test_poisoned_entry(poison, for_str, for_bytes, purge, kind, in_list):
    s = Morvane.Morvane("english", 3)
    s.stemWord("running")
    # Held here, the replaced entry stays a list that a lookup which missed
    # the replacement would find intact.
    replaced = cache_of(s)[0][b"running"]
    cache_of(s)[0][b"running"] = copy.deepcopy(poison)
    word = "running" if kind is str else b"running"
    stem_word = (lambda w: s.stemWords([w])[0]) if in_list else s.stemWord
    expected = for_str if kind is str or for_bytes is None else for_bytes
    hit_worked = not isinstance(for_str, tuple)
    if isinstance(expected, tuple):
        exc = raises_exactly(*expected, stem_word, word)
        assert exc.__context__ is None
        # The step that failed left the counter where it was, and the
        # entry as the hit left it.
        assert cache_of(s)[1] == (2 if hit_worked else 1)
        assert cache_of(s)[0][b"running"] == (
            [poison[0], 1] if hit_worked else poison)
    else:
        stem = stem_word(word)
        assert stem == expected and type(stem) is type(expected)
        assert cache_of(s)[1] == 2
    # Two misses bring the cache to its capacity: the purge meets whatever
    # the entry holds now.
    assert s.stemWord("jumps") == "jump"
    if purge is None:
        assert s.stemWord("cats") == "cat"
        assert list(cache_of(s)[0]) == [b"cats"]
    else:
        exc = raises_exactly(*purge, s.stemWord, "cats")
        assert_missed(exc)
        assert list(cache_of(s)[0]) == [b"running", b"jumps", b"cats"]
    assert_works(s, 3)
    assert replaced[0] == "run"


@pytest.mark.parametrize(
    "poison, exc_type, message",
    [
        (5, TypeError, _no_subscript(5)),
        (None, TypeError, _no_subscript(None)),
        ([], IndexError, NO_ITEM),
        (["stem"], IndexError, NO_ITEM),
        (["stem", GtRaises()], Custom, "compare"),
        (["stem", GtUntruthful()], RuntimeError, "no truth"),
        (["stem", "1"], TypeError, STR_VS_INT),
    ],
    ids=[
        "int",
        "none",
        "empty-list",
        "short-list",
        "compare-raises",
        "truth-raises",
        "str-stamp",
    ],
)
@pytest.mark.parametrize("trigger", ["setter", "direct"])
def test_failing_purge_leaves_cache_unchanged(poison, exc_type, message,
                                              trigger):
    if trigger == "setter":
        s = Morvane.Morvane("english")

        def call():
            s.maxCacheSize = 5

    else:
        s = NoPurge("english", 5)

        def call():
            builtin_purge(s)

    fill(s, 5)
    cache_of(s)[0][b"word2x"] = poison  # in the middle of the scan
    before = snapshot(s)
    raises_exactly(exc_type, message, call)
    assert_unchanged(s, before)
    assert s.maxCacheSize == 5


@pytest.mark.parametrize("change", ["add", "remove"])
def test_stamp_whose_comparison_resizes_the_cache(change):
    """Which entries such a purge keeps, and whether it gives up, is not
    laid down: it must not crash, what stays is sound, and the instance
    works afterwards."""
    s = Morvane.Morvane("english")
    fill(s, 5)
    cache = cache_of(s)[0]
    # the linked libstemmer's own stem: 2.2 and 3.1 differ on this word
    added = Morvane.Morvane("english", 0).stemWord("added")

    class Resizer:
        def __gt__(self, other):
            if change == "add":
                cache[b"added"] = [added, 0]
            else:
                cache.pop(b"word4x", None)
            return True

    cache[b"word2x"] = ["word2", Resizer()]
    try:
        s.maxCacheSize = 5
    except RuntimeError as exc:
        assert str(exc) == "dictionary changed size during iteration"
    assert s.maxCacheSize == 5
    # the planted entry is the only one not sound by construction
    cache_of(s)[0].pop(b"word2x", None)
    assert_sound(s, ("english",))
