"""A long model of the word cache: an instance and a plain-Python model of
its cache driven side by side, over thousands of lookups, with small,
default, negative and huge capacities, capacity changes, str, bytes and
bytes-subclass words, explicit purges and re-initialisation.

After every step the instance's counter, keys (in order), stems and stamps
must be the model's. Along the way the test holds stamps, entries and
counters that it took from the cache, and checks that none of them ever
changes value: past 1024 lookups a hit turns the stamp it replaces into the
next counter in place when nothing else holds it, and an object that
Python code holds must never be the one turned.

Quick by default; with MORVANE_LONG_TESTS=1 (the full gate) it runs many
more and longer sequences.
"""

import gc
import os
import random

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, settings, strategies as st  # noqa: E402
from hypothesis.stateful import (  # noqa: E402
    RuleBasedStateMachine,
    initialize,
    invariant,
    precondition,
    rule,
)

import Morvane  # noqa: E402
from conftest import MyBytes  # noqa: E402

LONG = os.environ.get("MORVANE_LONG_TESTS") == "1"

ALGORITHMS = ["english", "porter", "german"]

# Small ones, where every few misses purge; the default; off (0 and below,
# with values whose 8 x overflows 32 bits, so that the threshold K must be
# computed exactly); and the largest, which never purges.
CAPACITIES = [1, 2, 3, 4, 5, 10, 17, 100, 1000, 10000, 0, -1, -5,
              -500000000, -2147483648, 2147483647]

# Words of several shapes: ASCII, accented (multi-byte UTF-8), and long.
SHAPES = ["walk{0}ing", "connection{0}s", "naïveté{0}", "straße{0}n",
          "généralisation{0}", "happi{0}{0}{0}ness"]


# A rule's own choices come from a seeded generator, not from Hypothesis's
# data, which thousands of draws would overrun.
SEEDED = st.integers(0, 2**32 - 1).map(random.Random)

# How many words a rule stems: single lookups up to runs that take the
# counter past the stamps that the module recycles (1024) in one step.
RUN_LENGTHS = st.integers(1, 20) | st.sampled_from([200, 1100, 3000])


def threshold(capacity):
    """K: 8 x capacity / 10, truncated toward zero, exact for every 32-bit
    capacity."""
    k = abs(capacity) * 8 // 10
    return k if capacity >= 0 else -k


class CacheModel:
    """The cache as the module keeps it, in plain Python."""

    def __init__(self, capacity=10000):
        self.capacity = capacity
        self.counter = 0
        self.cache = {}  # key (bytes) -> [stem (str), stamp (int)]

    def lookup(self, key, stem):
        """One stemWord call of a word whose key and stem are given."""
        if self.capacity <= 0:
            return
        entry = self.cache.get(key)
        if entry is not None:
            entry[1] = self.counter
            self.counter += 1
            return
        self.cache[key] = [stem, self.counter]
        self.counter += 1
        self.purge()

    def purge(self):
        if len(self.cache) < self.capacity:
            return
        least = self.counter - threshold(self.capacity)
        self.cache = {k: e for k, e in self.cache.items() if e[1] > least}

    def set_capacity(self, capacity):
        self.capacity = capacity
        if capacity == 0:
            self.cache = {}
            self.counter = 0
        else:
            self.purge()


def test_threshold_matches_the_documented_table():
    table = {1: 0, 2: 1, 3: 2, 4: 3, 5: 4, 10: 8, 100: 80, 10000: 8000,
             -1: 0, -5: -4, -500000000: -400000000,
             2147483647: 1717986917, -2147483648: -1717986918}
    assert {c: threshold(c) for c in table} == table


class CacheMachine(RuleBasedStateMachine):

    def __init__(self):
        super().__init__()
        self.algorithm = "english"
        self.instance = Morvane.Morvane(self.algorithm)
        self.model = CacheModel()
        self.fresh = 0  # words made so far
        self.seen = []  # every word stemmed so far, for repeats
        self.stems = {}  # (algorithm, key) -> stem, from uncached stemmers
        self.references = {}
        # (object, what it must still be) for objects taken from the cache
        self.held = []

    # Words and their stems

    def new_words(self, n, rnd):
        made = []
        for _ in range(n):
            self.fresh += 1
            made.append(rnd.choice(SHAPES).format(self.fresh))
        return made

    def as_kind(self, word, kind):
        if kind == "bytes":
            return word.encode()
        if kind == "subclass":
            return MyBytes(word.encode())
        return word

    def reference_stem(self, key):
        found = self.stems.get((self.algorithm, key))
        if found is None:
            reference = self.references.get(self.algorithm)
            if reference is None:
                reference = Morvane.Morvane(self.algorithm, 0)
                self.references[self.algorithm] = reference
            found = reference.stemWord(bytes(key)).decode()
            self.stems[(self.algorithm, bytes(key))] = found
        return found

    def stem(self, words):
        """Stem words one by one or in one stemWords call, and mirror it."""
        expected = []
        for word in words:
            key = word if isinstance(word, bytes) else word.encode()
            stem = self.reference_stem(key)
            self.model.lookup(key, stem)
            expected.append(stem if isinstance(word, str) else stem.encode())
        return expected

    def run(self, words, together):
        expected = self.stem(words)
        if together:
            got = self.instance.stemWords(words)
        else:
            got = [self.instance.stemWord(word) for word in words]
        assert got == expected
        assert [type(g) for g in got] == [
            str if isinstance(w, str) else bytes for w in words]
        self.seen.extend(w if isinstance(w, str) else w.decode()
                         for w in words)

    # Rules

    @initialize(capacity=st.sampled_from(CAPACITIES + [None]),
                warm=st.sampled_from([0, 1100, 3000, 10000, 12000]),
                rnd=SEEDED)
    def start(self, capacity, warm, rnd):
        # Some sequences start with a run of new words: past the first
        # 1024 lookups, where hits recycle stamps, and at the default
        # capacity past its first purge, at the 10000th word. Then the
        # test holds some entries and their stamps, and hits them.
        if capacity is not None:
            self.instance.maxCacheSize = capacity
            self.model.set_capacity(capacity)
        self.run(self.new_words(warm, rnd), together=rnd.random() < 0.5)
        self.hold(every=7)
        if self.held_keys():
            self.repeats_of_held(n=100, kind="str", together=False, rnd=rnd)

    @rule(n=RUN_LENGTHS, kind=st.sampled_from(["str", "bytes", "subclass"]),
          together=st.booleans(), rnd=SEEDED)
    def new_words_run(self, n, kind, together, rnd):
        words = [self.as_kind(w, kind) for w in self.new_words(n, rnd)]
        self.run(words, together)

    @precondition(lambda self: self.seen)
    @rule(n=RUN_LENGTHS, together=st.booleans(), rnd=SEEDED)
    def repeats(self, n, together, rnd):
        # Mostly recent words, which hit, with some older ones, which may
        # have been purged; each as str or bytes.
        recent = self.seen[-200:]
        words = []
        for _ in range(n):
            pool = recent if rnd.random() < 0.8 else self.seen
            words.append(self.as_kind(rnd.choice(pool),
                                      rnd.choice(["str", "bytes", "str"])))
        self.run(words, together)

    def held_keys(self):
        return [value[0] for obj, value in self.held if isinstance(obj, list)]

    @precondition(lambda self: self.held_keys())
    @rule(n=st.integers(1, 500), kind=st.sampled_from(["str", "bytes"]),
          together=st.booleans(), rnd=SEEDED)
    def repeats_of_held(self, n, kind, together, rnd):
        # Hits on the entries whose stamps the test holds: each hit
        # replaces such a stamp, which must then be left as it is.
        keys = self.held_keys()
        words = [self.as_kind(bytes(rnd.choice(keys)).decode(), kind)
                 for _ in range(n)]
        self.run(words, together)

    @precondition(lambda self: 0 < self.model.capacity <= 10000)
    @rule(rnd=SEEDED)
    def fill_to_capacity(self, rnd):
        # New words up to the capacity, so that the next miss purges (the
        # default capacity is out of reach of the other rules' runs).
        n = self.model.capacity - len(self.model.cache)
        if n > 0:
            self.run(self.new_words(n, rnd), together=True)

    @rule(capacity=st.sampled_from(CAPACITIES)
          | st.integers(-2**31, 2**31 - 1))
    def set_capacity(self, capacity):
        self.instance.maxCacheSize = capacity
        self.model.set_capacity(capacity)
        assert self.instance.maxCacheSize == capacity

    @precondition(lambda self: self.model.cache)
    @rule(cut=st.integers(0, 3))
    def capacity_near_size(self, cut):
        # At the number of entries (a purge), one above it (none), or below.
        capacity = len(self.model.cache) + 1 - cut
        self.instance.maxCacheSize = capacity
        self.model.set_capacity(capacity)

    @rule()
    def purge(self):
        assert self.instance._Morvane__purgeCache() is None
        self.model.purge()

    @rule(algorithm=st.sampled_from(ALGORITHMS),
          capacity=st.sampled_from(CAPACITIES + [None]))
    def reinitialise(self, algorithm, capacity):
        if capacity is None:
            self.instance.__init__(algorithm)
            self.model = CacheModel()
        else:
            self.instance.__init__(algorithm, capacity)
            self.model = CacheModel(capacity)
        self.algorithm = algorithm

    @rule(every=st.integers(1, 50))
    def hold(self, every):
        # Stamps, entries and the counter as the collector sees them; the
        # held stamps can no longer be recycled, the others still can.
        cache, counter = self.cache_and_counter()
        # Values are kept as text: int() of an int is the same object.
        self.held.append((counter, repr(counter)))
        for i, (key, entry) in enumerate(cache.items()):
            if i % every == 0:
                self.held.append((entry, (key, entry[0])))
                self.held.append((entry[1], repr(entry[1])))
        del self.held[:-2000]

    @rule(keep=st.integers(0, 100))
    def let_go(self, keep):
        del self.held[keep:]

    # Checks

    def cache_and_counter(self):
        refs = [r for r in gc.get_referents(self.instance)
                if not isinstance(r, type)]
        assert len(refs) == 2
        return refs[0], refs[1]

    @invariant()
    def cache_is_the_models(self):
        cache, counter = self.cache_and_counter()
        assert counter == self.model.counter
        assert type(cache) is dict
        assert list(cache) == list(self.model.cache)
        assert [(e[0], e[1]) for e in cache.values()] == [
            (e[0], e[1]) for e in self.model.cache.values()]
        assert self.instance.maxCacheSize == self.model.capacity

    @invariant()
    def held_objects_never_change(self):
        cache, _ = self.cache_and_counter()
        for obj, value in self.held:
            if isinstance(obj, list):
                key, stem = value
                # An entry keeps its stem; while its key is cached it is
                # the cache's entry under it, stamped as the model says.
                assert obj[0] == stem and len(obj) == 2
                if cache.get(key) is obj:
                    assert obj[1] == self.model.cache[bytes(key)][1]
            else:
                assert repr(obj) == value


if LONG:
    runs = settings(max_examples=200, stateful_step_count=80,
                    deadline=None,
                    suppress_health_check=list(HealthCheck))
else:
    runs = settings(max_examples=10, stateful_step_count=25, deadline=None,
                    suppress_health_check=list(HealthCheck))

TestCacheModel = runs(CacheMachine).TestCase
