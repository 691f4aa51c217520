"""Every operation of the module, and every error path that Python code can
reach, repeated thousands of times: neither Python objects, references nor
native memory (libstemmer instances included) may pile up."""

import abc
import contextlib
import copy
import ctypes
import gc
import math
import os
import pickle
import sys
import tracemalloc
import warnings

import pytest

import Morvane
from conftest import (
    Custom,
    EncodingStr,
    FailingIterator,
    GtRaises,
    GtUntruthful,
    IndexOnly,
    IntReturningSubclass,
    MyBytes,
    NoPurge,
    OverstatedLength,
    RaisingBool,
    cache_of,
)

S = Morvane.Morvane

WARMUP = 200
ROUNDS = 2000
# A leak of one object per round shows as at least ROUNDS pymalloc blocks
# and at least 16 * ROUNDS = 32 KiB of traced memory (the smallest object
# takes 16 bytes); freelists and caches filled during the warm-up move
# both by far less.
BLOCK_SLACK = 100
TRACED_SLACK = 8 * 1024
REFCOUNT_SLACK = 100


def raise_custom(*args):
    raise Custom("raised on purpose")


# Helper objects that drive the error paths


class EncodesTo:
    """A name object whose encode("ascii") returns a chosen object."""

    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        return self.result

    def __str__(self):
        return "encodes-to"


class EncodeRaises:
    def encode(self, encoding):
        raise Custom("encode")


class IntReturnsStr:
    def __int__(self):
        return "5"


class IntRaises:
    def __int__(self):
        raise Custom("int")


class Sub(S):
    pass


class Abstract(S, metaclass=abc.ABCMeta):
    @abc.abstractmethod
    def needed(self):
        pass


class PurgeRaises(S):
    __slots__ = ()

    def _Morvane__purgeCache(self):
        raise Custom("purge")


class OwnStemWord(S):
    def stemWord(self, word):
        return word


class MyByteArray(bytearray):
    pass


class MyList(list):
    pass


class StrEncodeRaises(str):
    def encode(self, *args):
        raise Custom("encode")


class BadEncodeStem:
    """Placed as a cached stem: the final encoding of a bytes word fails."""

    def encode(self, *args):
        raise Custom("final encode")


# States an operation starts from


def nothing():
    return None


def warm():
    """A default instance with "running" cached."""
    s = S("english")
    s.stemWord("running")
    return s


def uncached():
    return S("english", 0)


def bare():
    return S.__new__(S)


def bare_uncached():
    s = S.__new__(S)
    s.maxCacheSize = 0
    return s


def failed_reinit():
    """Cache on, "running" cached, but no algorithm any more."""
    s = warm()
    try:
        s.__init__("nosuch")
    except KeyError:
        pass
    return s


def with_cache(make=warm):
    """The instance and its cache dict, to clear or poison between rounds."""

    def setup():
        s = make()
        return s, cache_of(s)[0]

    return setup


def filled(n, capacity=10000, cls=S):
    def setup():
        s = cls("english", capacity)
        for i in range(n):
            s.stemWord(f"word{i}x")
        return s

    return setup


def poisoned(stamp, capacity=10000, cls=S):
    """Five cached words, the middle entry replaced by stamp; a purge at a
    capacity of 5 scans it."""

    def setup():
        s = filled(5, capacity, cls)()
        cache_of(s)[0][b"word2x"] = stamp
        return s

    return setup


# Operations that need more than one expression


def pickle_every_protocol(s):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        try:
            pickle.dumps(s, protocol)
        except TypeError:
            pass
        else:
            raise AssertionError("pickled")


def int_subclass_as_error(_):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        S("english", IntReturningSubclass(5))


def reinit_known_then_unknown(s):
    s.__init__("english")
    s.__init__("nosuch")


def set_capacity(value):
    def action(s):
        s.maxCacheSize = value

    return action


def delete_capacity(s):
    del s.maxCacheSize


def set_smaller_purges(s):
    for i in range(20):
        s.stemWord(f"word{i}x")
    s.maxCacheSize = 10
    s.maxCacheSize = 10000


def zero_then_positive(s):
    s.stemWord("running")
    s.maxCacheSize = 0
    s.maxCacheSize = 10000


def resize_during_purge_setup():
    s = filled(5)()
    cache = cache_of(s)[0]

    class Resizer:
        def __gt__(self, other):
            cache[b"added"] = ["added", 0]
            return True

    cache[b"word2x"] = ["word2", Resizer()]
    return s, cache


def resize_during_purge(state):
    s, cache = state
    try:
        s.maxCacheSize = 5
    finally:
        del cache[b"added"]


def refill_and_purge(s):
    for i in range(20):
        s.stemWord(f"word{i}x")
    S._Morvane__purgeCache(s)


def miss(word):
    def action(state):
        s, cache = state
        cache.clear()
        return s.stemWord(word)

    return action


def stem(word):
    def action(s):
        return s.stemWord(word)

    return action


def memoryview_hit(s):
    return s.stemWord(memoryview(b"running"))


def entry_without_stem(state):
    """An entry whose element 0 raises KeyError: the miss path runs."""
    s, cache = state
    cache[b"running"] = {}
    return s.stemWord(b"running")


def entry_not_subscriptable(state):
    s, cache = state
    cache[b"running"] = 5
    return s.stemWord(b"running")


def final_encode_fails(state):
    s, cache = state
    cache[b"running"] = [BadEncodeStem(), 0]
    return s.stemWord(b"running")


def inside_except(action):
    """Runs action while the caller handles an exception, which must
    survive the call."""

    def run(state):
        try:
            raise Custom("handled")
        except Custom as handled:
            failure = None
            try:
                result = action(state)
            except Exception as exc:
                failure = exc
            assert sys.exc_info()[1] is handled
            if failure is not None:
                try:
                    raise failure
                finally:
                    failure = None
            return result

    return run


def words_generator(s):
    return s.stemWords(w for w in ("running", b"jumps", "cats"))


kwnames_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
kwnames_vectorcall.argtypes = [
    ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
    ctypes.py_object,
]
kwnames_vectorcall.restype = ctypes.py_object


def keyword_not_a_string(s):
    """A keyword name that is not a str, as only native callers can pass."""
    args = (ctypes.py_object * 1)("running")
    return kwnames_vectorcall(s.stemWord, args, 0, (1,))


def collect_cycle_through_cache(_):
    s = S("english")
    s.stemWord("running")
    cache_of(s)[0][b"running"].append(s)
    del s
    gc.collect(0)


def collect_cycle_through_dict(_):
    s = Sub("english")
    s.me = s
    del s
    gc.collect(0)


def case(id, setup, action, raises=None):
    return pytest.param(setup, action, raises, id=id)


OPERATIONS = [
    # construction
    case("construct", nothing, lambda _: S("english")),
    case("construct-keywords", nothing,
         lambda _: S(algorithm="english", maxCacheSize=5)),
    case("construct-encode-bytearray", nothing,
         lambda _: S(EncodesTo(bytearray(b"english")))),
    case("construct-nul-suffix", nothing, lambda _: S("english\0tail")),
    case("construct-float-capacity", nothing, lambda _: S("english", 2.9)),
    case("construct-bool-capacity", nothing, lambda _: S("english", True)),
    case("construct-int-subclass-warns", nothing,
         lambda _: S("english", IntReturningSubclass(5))),
    case("construct-subclass", nothing, lambda _: Sub("porter")),
    case("new-only", nothing, lambda _: S.__new__(S)),
    case("new-only-arguments", nothing, lambda _: S.__new__(S, 1, x=2)),
    # construction failures
    case("construct-unknown", nothing, lambda _: S("nosuch"), KeyError),
    case("construct-empty-name", nothing, lambda _: S(""), KeyError),
    case("construct-unknown-object", nothing,
         lambda _: S(EncodesTo(b"nosuch")), KeyError),
    case("construct-non-ascii", nothing, lambda _: S("\xe9"),
         UnicodeEncodeError),
    case("construct-bytes-name", nothing, lambda _: S(b"english"),
         AttributeError),
    case("construct-encode-returns-int", nothing,
         lambda _: S(EncodesTo(5)), TypeError),
    case("construct-encode-raises", nothing, lambda _: S(EncodeRaises()),
         Custom),
    case("construct-abstract", nothing, lambda _: Abstract("english"),
         TypeError),
    case("construct-no-argument", nothing, lambda _: S(), TypeError),
    case("construct-three-arguments", nothing, lambda _: S("english", 1, 2),
         TypeError),
    case("construct-unexpected-keyword", nothing,
         lambda _: S("english", cache=1), TypeError),
    case("construct-repeated-keyword", nothing,
         lambda _: S("english", algorithm="english"), TypeError),
    case("construct-keyword-not-str", nothing,
         lambda _: ctypes.pythonapi.PyObject_Call(
             ctypes.py_object(S), ctypes.py_object(("english",)),
             ctypes.py_object({1: 2})),
         TypeError),
    # native-int conversion failures
    case("capacity-str", nothing, lambda _: S("english", "12"), TypeError),
    case("capacity-none", nothing, lambda _: S("english", None), TypeError),
    case("capacity-index-only", nothing,
         lambda _: S("english", IndexOnly()), TypeError),
    case("capacity-above-int", nothing, lambda _: S("english", 2**31),
         OverflowError),
    case("capacity-below-int", nothing, lambda _: S("english", -(2**31) - 1),
         OverflowError),
    case("capacity-above-long", nothing, lambda _: S("english", 2**70),
         OverflowError),
    case("capacity-nan", nothing, lambda _: S("english", math.nan),
         ValueError),
    case("capacity-inf", nothing, lambda _: S("english", math.inf),
         OverflowError),
    case("capacity-int-returns-str", nothing,
         lambda _: S("english", IntReturnsStr()), TypeError),
    case("capacity-int-raises", nothing, lambda _: S("english", IntRaises()),
         Custom),
    case("capacity-int-subclass-as-error", nothing, int_subclass_as_error,
         DeprecationWarning),
    case("capacity-and-name-bad", nothing, lambda _: S("nosuch", "12"),
         TypeError),
    # re-initialisation
    case("reinit-known", warm, lambda s: s.__init__("english")),
    case("reinit-other", warm, lambda s: s.__init__("german", 3)),
    case("reinit-unknown", warm, reinit_known_then_unknown, KeyError),
    case("reinit-bad-binding", warm, lambda s: s.__init__(), TypeError),
    case("reinit-bad-capacity", warm, lambda s: s.__init__("english", 2**31),
         OverflowError),
    case("reinit-bad-name", warm, lambda s: s.__init__("\xe9"),
         UnicodeEncodeError),
    case("init-bare", bare, lambda s: s.__init__("english")),
    # pickling refusals
    case("pickle-every-protocol", warm, pickle_every_protocol),
    case("pickle-bare", bare, pickle.dumps, TypeError),
    case("pickle-subclass", lambda: Sub("english"), pickle.dumps, TypeError),
    case("copy", warm, copy.copy, TypeError),
    case("deepcopy", warm, copy.deepcopy, TypeError),
    case("reduce", warm, lambda s: s.__reduce__(), TypeError),
    case("reduce-argument", warm, lambda s: s.__reduce__(1), TypeError),
    case("reduce-keyword", warm, lambda s: s.__reduce__(x=1), TypeError),
    case("reduce-ex", warm, lambda s: s.__reduce_ex__(2), TypeError),
    case("setstate", warm, lambda s: s.__setstate__(1), TypeError),
    case("setstate-keyword", warm, lambda s: s.__setstate__(state=1),
         TypeError),
    case("setstate-no-argument", warm, lambda s: s.__setstate__(),
         TypeError),
    case("setstate-repeated", warm, lambda s: s.__setstate__(1, state=1),
         TypeError),
    # maxCacheSize
    case("capacity-get", warm, lambda s: s.maxCacheSize),
    case("capacity-get-bare", bare, lambda s: s.maxCacheSize),
    case("capacity-set-larger", warm, set_capacity(20000)),
    case("capacity-set-zero", warm, set_capacity(0)),
    case("capacity-set-negative", warm, set_capacity(-1)),
    case("capacity-set-float", warm, set_capacity(2.5)),
    case("capacity-set-int-subclass-warns", warm,
         set_capacity(IntReturningSubclass(5))),
    case("capacity-set-smaller-purges", warm, set_smaller_purges),
    case("capacity-zero-then-positive", warm, zero_then_positive),
    case("capacity-set-zero-bare", bare, set_capacity(0)),
    case("capacity-set-str", warm, set_capacity("12"), TypeError),
    case("capacity-set-above-int", warm, set_capacity(2**31), OverflowError),
    case("capacity-set-above-long", warm, set_capacity(2**70),
         OverflowError),
    case("capacity-set-nan", warm, set_capacity(math.nan), ValueError),
    case("capacity-delete", warm, delete_capacity, NotImplementedError),
    case("capacity-set-bare", bare, set_capacity(5), TypeError),
    case("capacity-set-purge-override-raises",
         lambda: PurgeRaises("english"), set_capacity(5), Custom),
    # purge failures reached through the setter
    case("purge-stamp-int", poisoned(5), set_capacity(5), TypeError),
    case("purge-short-entry", poisoned(["stem"]), set_capacity(5),
         IndexError),
    case("purge-str-stamp", poisoned(["stem", "x"]), set_capacity(5),
         TypeError),
    case("purge-compare-raises", poisoned(["stem", GtRaises()]),
         set_capacity(5), Custom),
    case("purge-truth-raises", poisoned(["stem", GtUntruthful()]),
         set_capacity(5), RuntimeError),
    case("purge-cache-resized", resize_during_purge_setup,
         resize_during_purge, RuntimeError),
    # purge called directly
    case("purge-below-capacity", warm, lambda s: s._Morvane__purgeCache()),
    case("purge-trims", filled(20, 10, NoPurge), refill_and_purge),
    case("purge-capacity-zero", uncached, lambda s: s._Morvane__purgeCache()),
    case("purge-capacity-negative", filled(0, -5),
         lambda s: s._Morvane__purgeCache()),
    case("purge-poisoned", poisoned(["stem", GtRaises()], 5, NoPurge),
         S._Morvane__purgeCache, Custom),
    case("purge-argument", warm, lambda s: s._Morvane__purgeCache(1),
         TypeError),
    case("purge-keyword", warm, lambda s: s._Morvane__purgeCache(x=1),
         TypeError),
    case("purge-bare", bare, lambda s: s._Morvane__purgeCache(), TypeError),
    case("purge-needs-instance", nothing,
         lambda _: S._Morvane__purgeCache(), TypeError),
    case("purge-other-object", nothing,
         lambda _: S._Morvane__purgeCache(object()), TypeError),
    # stemWord, cache on
    case("str-hit", warm, stem("running")),
    case("str-miss", with_cache(), miss("running")),
    case("bytes-hit", warm, stem(b"running")),
    case("bytes-miss", with_cache(), miss(b"running")),
    case("non-ascii-hit", warm, stem("caf\xe9s")),
    case("non-ascii-miss", with_cache(), miss("caf\xe9s")),
    case("str-subclass-miss", with_cache(),
         miss(EncodingStr("running", b"running"))),
    case("bytes-subclass-miss", with_cache(), miss(MyBytes(b"running"))),
    case("empty-word-miss", with_cache(), miss("")),
    case("memoryview-hit", warm, memoryview_hit),
    case("miss-purges-every-time", lambda: S("english", 1),
         stem("running")),
    case("miss-purges-every-third", lambda: S("english", 3),
         lambda s: [s.stemWord(w) for w in ("a", "b", "c", "a")]),
    case("keyword-word", warm, lambda s: s.stemWord(word="running")),
    case("through-class", warm, lambda s: S.stemWord(s, "running")),
    case("hit-inside-except", warm, inside_except(stem("running"))),
    case("miss-inside-except", with_cache(), inside_except(miss("running"))),
    case("entry-without-stem", with_cache(), entry_without_stem),
    # stemWord, cache off
    case("uncached-ascii", uncached, stem("running")),
    case("uncached-non-ascii", uncached, stem("caf\xe9s")),
    case("uncached-bytes", uncached, stem(b"running")),
    case("uncached-bytearray", uncached, stem(bytearray(b"running"))),
    case("uncached-bytearray-subclass", uncached,
         stem(MyByteArray(b"running"))),
    case("uncached-empty-bytearray", uncached, stem(bytearray())),
    case("uncached-str-subclass", uncached,
         stem(EncodingStr("running", b"running"))),
    # stemWord failures
    case("unhashable-bytearray", warm, stem(bytearray(b"running")),
         TypeError),
    case("unhashable-list", warm, stem([]), TypeError),
    case("int-word", with_cache(), miss(5), TypeError),
    case("int-word-uncached", uncached, stem(5), TypeError),
    case("memoryview-uncached", uncached, stem(memoryview(b"running")),
         TypeError),
    case("invalid-utf8-stem", with_cache(), miss(b"\xff"),
         UnicodeDecodeError),
    case("invalid-utf8-stem-uncached", uncached, stem(b"\xff"),
         UnicodeDecodeError),
    case("surrogate", warm, stem("\ud800"), UnicodeEncodeError),
    case("surrogate-uncached", uncached, stem("\ud800"), UnicodeEncodeError),
    case("str-subclass-encode-raises", warm, stem(StrEncodeRaises("x")),
         Custom),
    case("str-subclass-encode-returns-int", with_cache(),
         miss(EncodingStr("x", 5)), TypeError),
    case("no-algorithm-bare", bare_uncached, stem("running"), RuntimeError),
    case("no-algorithm-after-failed-reinit", failed_reinit, stem("jumps"),
         RuntimeError),
    case("no-algorithm-hit-still-answers", failed_reinit, stem("running")),
    case("length-lies", with_cache(), miss(OverstatedLength(b"running")),
         ValueError),
    case("length-lies-uncached", uncached, stem(OverstatedLength(b"running")),
         ValueError),
    case("purge-override-raises", with_cache(lambda: PurgeRaises("english")),
         miss("running"), Custom),
    case("entry-not-subscriptable", with_cache(), entry_not_subscriptable,
         TypeError),
    case("final-encode-raises", with_cache(), final_encode_fails, Custom),
    case("failure-inside-except", with_cache(),
         inside_except(miss(b"\xff")), UnicodeDecodeError),
    case("keyword-not-a-string", warm, keyword_not_a_string, TypeError),
    # stemWord binding
    case("stemWord-no-argument", warm, lambda s: s.stemWord(), TypeError),
    case("stemWord-two-arguments", warm, lambda s: s.stemWord("a", "b"),
         TypeError),
    case("stemWord-unexpected-keyword", warm, lambda s: s.stemWord(w="a"),
         TypeError),
    case("stemWord-repeated-keyword", warm,
         lambda s: s.stemWord("a", word="a"), TypeError),
    case("stemWord-needs-instance", nothing, lambda _: S.stemWord(),
         TypeError),
    case("stemWord-other-object", nothing,
         lambda _: S.stemWord(object(), "running"), TypeError),
    # stemWords
    case("words-list", warm, lambda s: s.stemWords(["running", b"jumps"])),
    case("words-tuple", warm, lambda s: s.stemWords(("running", b"jumps"))),
    case("words-generator", warm, words_generator),
    case("words-iterator", warm, lambda s: s.stemWords(iter(["running"]))),
    case("words-list-subclass", warm,
         lambda s: s.stemWords(MyList(["running"]))),
    case("words-str", warm, lambda s: s.stemWords("abc")),
    case("words-empty", warm, lambda s: s.stemWords([])),
    case("words-uncached", uncached,
         lambda s: s.stemWords(["running", b"jumps"])),
    case("words-keyword", warm, lambda s: s.stemWords(words=["running"])),
    case("words-own-stemWord", lambda: OwnStemWord("english"),
         lambda s: s.stemWords(["running", "jumps"])),
    case("words-failing-iterator", warm,
         lambda s: s.stemWords(FailingIterator(["running"], Custom("x"))),
         Custom),
    case("words-not-iterable", warm, lambda s: s.stemWords(5), TypeError),
    case("words-failing-word", warm,
         lambda s: s.stemWords(["running", "jumps", 5]), TypeError),
    case("words-bytes", warm, lambda s: s.stemWords(b"ab"), TypeError),
    case("stemWords-no-argument", warm, lambda s: s.stemWords(), TypeError),
    case("stemWords-unexpected-keyword", warm,
         lambda s: s.stemWords(word=[]), TypeError),
    case("stemWords-repeated-keyword", warm,
         lambda s: s.stemWords([], words=[]), TypeError),
    case("stemWords-needs-instance", nothing, lambda _: S.stemWords(),
         TypeError),
    # module functions
    case("algorithms", nothing, lambda _: Morvane.algorithms()),
    case("algorithms-aliases", nothing, lambda _: Morvane.algorithms(True)),
    case("algorithms-untruthful", nothing,
         lambda _: Morvane.algorithms(aliases=RaisingBool())),
    case("algorithms-two-arguments", nothing,
         lambda _: Morvane.algorithms(1, 2), TypeError),
    case("algorithms-unexpected-keyword", nothing,
         lambda _: Morvane.algorithms(alias=1), TypeError),
    case("algorithms-repeated-keyword", nothing,
         lambda _: Morvane.algorithms(True, aliases=1), TypeError),
    case("version", nothing, lambda _: Morvane.version()),
    case("version-argument", nothing, lambda _: Morvane.version(1),
         TypeError),
    case("version-keyword", nothing, lambda _: Morvane.version(x=1),
         TypeError),
    # the collector
    case("cycle-through-cache", nothing, collect_cycle_through_cache),
    case("cycle-through-subclass-dict", nothing, collect_cycle_through_dict),
]


# The measuring harness


@pytest.fixture
def traced():
    """tracemalloc on, and the objects pytest already holds frozen out of
    the collector's way, so that each gc.collect() is cheap."""
    gc.freeze()
    tracemalloc.start()
    yield
    tracemalloc.stop()
    gc.unfreeze()


def total_refs():
    gettotalrefcount = getattr(sys, "gettotalrefcount", None)
    return gettotalrefcount() if gettotalrefcount is not None else 0


def snapshot():
    gc.collect()
    return (sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0],
            total_refs())


def growth(op, rounds=ROUNDS):
    """How far blocks, traced bytes and total references rose over rounds
    calls of op, after a warm-up that fills freelists and caches."""
    for _ in range(WARMUP):
        op()
    before = snapshot()
    for _ in range(rounds):
        op()
    after = snapshot()
    return dict(zip(("blocks", "traced", "refs"),
                    (b - a for a, b in zip(before, after))))


def assert_flat(grown):
    assert grown["blocks"] < BLOCK_SLACK, grown
    assert grown["traced"] < TRACED_SLACK, grown
    # sys.gettotalrefcount exists on debug builds only; elsewhere refs is 0.
    # A fall counts too: references released that were never counted come
    # from a module built without the interpreter's debug headers.
    assert abs(grown["refs"]) < REFCOUNT_SLACK, grown


def catching(action, state, raises):
    def op():
        try:
            action(state)
        except raises:
            pass

    return op


@pytest.mark.parametrize("setup, action, raises", OPERATIONS)
def test_operation_leaves_nothing_behind(traced, setup, action, raises):
    state = setup()
    with warnings.catch_warnings():
        # the deprecated __int__ result warns on every round
        warnings.simplefilter("ignore", DeprecationWarning)
        # one checked call: the operation takes the path it is named after
        if raises is None:
            action(state)
            op = lambda: action(state)  # noqa: E731
        else:
            with pytest.raises(raises) as excinfo:
                action(state)
            assert type(excinfo.value) is raises
            del excinfo
            op = catching(action, state, raises)
        assert_flat(growth(op))


class _Holder:
    pass


LEAKS = {
    "one-object": lambda kept: kept.append(_Holder()),
    "one-reference": lambda kept: ctypes.pythonapi.Py_IncRef(
        ctypes.py_object(_Holder())),
    "one-kilobyte": lambda kept: kept.append(bytes(1024)),
}


@pytest.mark.no_leak_run("leaks on purpose")
@pytest.mark.parametrize("leak", LEAKS.values(), ids=LEAKS.keys())
def test_harness_sees_one_leak_per_round(traced, leak):
    """The slack is tight enough that a single leaked object, reference or
    buffer per round fails the check."""
    kept = []
    grown = growth(lambda: leak(kept))
    with pytest.raises(AssertionError):
        assert_flat(grown)
    assert grown["traced"] >= 16 * ROUNDS
    if hasattr(sys, "gettotalrefcount"):
        assert grown["refs"] >= ROUNDS


needs_refcounts = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"),
    reason="only a debug build of CPython counts references "
           "(sys.gettotalrefcount)",
)


@needs_refcounts
@pytest.mark.no_leak_run("leaks on purpose")
def test_harness_sees_one_extra_reference_on_a_cache_hit(traced):
    """A reference too many on a stem the cache keeps anyway allocates
    nothing: only the reference total shows it, and it fails the check."""
    s = warm()

    def hit_and_keep():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(s.stemWord("running")))

    grown = growth(hit_and_keep)
    assert grown["blocks"] < BLOCK_SLACK and grown["traced"] < TRACED_SLACK
    assert grown["refs"] >= ROUNDS
    with pytest.raises(AssertionError):
        assert_flat(grown)


# The build: a debug interpreter's module counts its references


@needs_refcounts
def test_module_counts_references_like_the_interpreter():
    """Built against the interpreter's own (debug) headers, the module's
    increments and decrements enter the reference total: calls leave it
    flat. Built against release headers, every reference it takes or drops
    goes uncounted, and the total drifts with each call."""
    s = warm()
    calls = {
        "version": Morvane.version,
        "algorithms": Morvane.algorithms,
        "str-hit": lambda: s.stemWord("running"),
        "bytes-hit": lambda: s.stemWord(b"running"),
        "miss": lambda: S("english").stemWord("running"),
        "uncached": lambda: S("english", 0).stemWord(b"cats"),
        "words": lambda: s.stemWords(["running", b"running"]),
    }
    drift = {}
    for name, call in calls.items():
        for _ in range(100):
            call()
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(1000):
            call()
        gc.collect()
        drift[name] = sys.gettotalrefcount() - before
    assert all(abs(d) < 20 for d in drift.values()), drift


# Native memory: libstemmer instances


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena ordblks smblks hblks hblkhd usmblks fsmblks "
                     "uordblks fordblks keepcost").split()
    ]


def native_heap_probe():
    """Bytes in use on the C heap (glibc's mallinfo2), where libstemmer's
    instances live; None where glibc does not offer it."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2

    def probe():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return probe


CYCLES = 100_000
# Python objects live in pymalloc's own arenas and do not count here.
# libstemmer's instance for "english" takes about 200 bytes of C heap (its
# struct, its environment, a symbol buffer and its integer and boolean
# arrays; test_heap_probe_sees_leaked_libstemmer_instances measures it), so
# one leaked instance per cycle would grow the heap by some 20 MB, about
# eighty times this slack.
HEAP_SLACK = 256 * 1024


@pytest.fixture
def heap():
    probe = native_heap_probe()
    if probe is None:
        pytest.skip("glibc's mallinfo2 is not available")
    if tracemalloc.is_tracing():
        pytest.skip("tracemalloc keeps its tables on the C heap")
    if os.environ.get("PYTHONMALLOC") == "malloc":
        # Under the memory checkers the heap is theirs: glibc's counters
        # no longer see it, and the checkers report leaks themselves.
        pytest.skip("the C heap belongs to a memory checker here")
    return probe


def test_heap_probe_sees_leaked_libstemmer_instances(heap):
    """Calibration: one libstemmer instance held per cycle would exceed the
    slack many times over."""
    # The module's shared object resolves libstemmer's symbols from the
    # very library it links against.
    lib = ctypes.CDLL(Morvane.__file__)
    lib.sb_stemmer_new.restype = ctypes.c_void_p
    lib.sb_stemmer_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.sb_stemmer_delete.argtypes = [ctypes.c_void_p]
    count = 1000
    before = heap()
    held = [lib.sb_stemmer_new(b"english", b"UTF_8") for _ in range(count)]
    grown = heap() - before
    for instance in held:
        lib.sb_stemmer_delete(instance)
    assert all(held)
    per_instance = grown / count
    assert per_instance >= 100
    assert per_instance * CYCLES > 10 * HEAP_SLACK


def test_construction_cycles_keep_the_native_heap_flat(heap):
    for _ in range(1000):
        S("english").stemWord("running")
    gc.collect()
    before = heap()
    for _ in range(CYCLES):
        S("english").stemWord("running")
    gc.collect()
    assert heap() - before < HEAP_SLACK


# Whole lives, good and bad, one after another: construction, hits and
# misses, re-initialisation with known and unknown names, refused pickling,
# an instance that never ran __init__, and a subclass.


def lifecycle_churn():
    s = S("english")
    s.stemWord("running")
    s.stemWord(b"running")
    s.__init__("german", 3)
    s.stemWords(["laufen", "gehen", "sehen", "laufen"])
    with contextlib.suppress(KeyError):
        s.__init__("xx")
    with contextlib.suppress(RuntimeError):
        s.stemWord("walking")
    s.__init__("english", 0)
    s.stemWord("running")
    with contextlib.suppress(TypeError):
        pickle.dumps(s)
    with contextlib.suppress(KeyError):
        S("xx")
    with contextlib.suppress(TypeError):
        S("english", "12")
    with contextlib.suppress(UnicodeEncodeError):
        S("\xe9")
    u = S.__new__(S)
    with contextlib.suppress(TypeError):
        u.maxCacheSize = 5
    u.maxCacheSize = 0
    Sub("porter").stemWord("running")


def test_whole_lifecycles_leave_nothing_behind(traced):
    assert_flat(growth(lifecycle_churn))


def test_whole_lifecycles_keep_the_native_heap_flat(heap):
    """Each round makes and drops several libstemmer instances."""
    for _ in range(WARMUP):
        lifecycle_churn()
    gc.collect()
    before = heap()
    for _ in range(ROUNDS):
        lifecycle_churn()
    gc.collect()
    assert heap() - before < HEAP_SLACK
