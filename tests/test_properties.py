"""Properties that hold for every algorithm and every word: no input makes
the module misbehave, the cache never changes an answer, a str word and its
UTF-8 bytes agree, stemWords is a loop over stemWord, and the cache holds
exactly what the recency purge says after every call.

Examples are drawn deterministically; MORVANE_HYPOTHESIS_EXAMPLES raises
their number for a longer search."""

import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import Morvane
from conftest import cache_of

settings.register_profile(
    "morvane",
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=int(os.environ.get("MORVANE_HYPOTHESIS_EXAMPLES", "200")),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
PROFILE = settings.get_profile("morvane")

ALGORITHMS = Morvane.algorithms()

# What each kind of word may end in besides a stem: a str with a lone
# surrogate cannot be encoded, and a stem that is not UTF-8 cannot be
# decoded.
STR_ERRORS = (UnicodeEncodeError, UnicodeDecodeError)
BYTES_ERRORS = (UnicodeDecodeError,)

# Words that the stemmers actually change, in several scripts, to mix with
# random text.
REAL_WORDS = [
    "running", "connections", "generously", "happiness", "cats", "Flies",
    "caf\xe9s", "H\xe4user", "na\xefvet\xe9", "\u043d\u0430\u0440\u0435\u0447\u0438\u044f",
    "ko\u015fuyorum", "\u03b1\u03bd\u03b8\u03c1\u03ce\u03c0\u03bf\u03c5\u03c2",
    "\u0627\u0644\u0643\u062a\u0627\u0628\u0627\u062a",
    "\u0915\u093f\u0924\u093e\u092c\u0947\u0902",
    "\u0b95\u0bc1\u0bb4\u0ba8\u0bcd\u0ba4\u0bc8\u0b95\u0bb3\u0bcd",
    "ni\xf1os", "b\xf8gerne", "kysymyksiin", "\U0001f600s", "",
]

any_char = st.characters(exclude_categories=())
surrogate = st.characters(categories=["Cs"])
short_text = st.text(st.one_of(any_char, surrogate), max_size=12)
long_text = st.builds(
    lambda piece, times: piece * times,
    st.text(any_char, min_size=1, max_size=4),
    st.integers(100, 800),
)
real_text = st.builds(
    lambda word, prefix, suffix: prefix + word + suffix,
    st.sampled_from(REAL_WORDS),
    st.sampled_from(["", "re", "\x00", "\ud800"]),
    st.sampled_from(["", "s", "ing", "\x00", "\u0301", "\U0001f600", "\udfff"]),
)
texts = st.one_of(real_text, short_text, long_text)

raw_bytes = st.binary(max_size=24)
byte_words = st.one_of(
    raw_bytes,
    texts.map(lambda t: t.encode("utf-8", "surrogatepass")),
    st.builds(lambda head, tail: head + tail,
              real_text.map(lambda t: t.encode("utf-8", "surrogatepass")),
              st.sampled_from([b"\xc3", b"\xff", b"\x80s", b"\xe2\x82", b""])),
    st.builds(lambda piece, times: piece * times,
              st.binary(min_size=1, max_size=3), st.integers(200, 3000)),
)
words = st.one_of(texts, byte_words)


def outcome(stemmer, word):
    """What stemWord gives: ("stem", value) or ("raises", type, message)."""
    try:
        value = stemmer.stemWord(word)
    except Exception as exc:
        return ("raises", type(exc), str(exc))
    return ("stem", value)


def check_allowed(result, word):
    if result[0] == "stem":
        assert type(result[1]) is (str if isinstance(word, str) else bytes)
    else:
        allowed = STR_ERRORS if isinstance(word, str) else BYTES_ERRORS
        assert result[1] in allowed, result


def encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def snapshot(instance):
    """Keys in order, entries, counter and capacity of an instance."""
    cache, counter = cache_of(instance)
    return ([(key, list(entry)) for key, entry in cache.items()], counter,
            instance.maxCacheSize)


# One word


@PROFILE
@given(algorithm=st.sampled_from(ALGORITHMS), word=texts)
def test_str_word_same_with_and_without_cache_and_as_utf8_bytes(
    algorithm, word
):
    cached = Morvane.Morvane(algorithm)
    uncached = Morvane.Morvane(algorithm, 0)
    first = outcome(cached, word)
    check_allowed(first, word)
    assert outcome(uncached, word) == first
    assert outcome(cached, word) == first  # a hit when it was stored
    if not encodable(word):
        assert first[:2] == ("raises", UnicodeEncodeError)
        assert snapshot(cached) == ([], 0, 10000)
        return
    encoded = word.encode("utf-8")
    for stemmer in (Morvane.Morvane(algorithm), uncached, cached):
        as_bytes = outcome(stemmer, encoded)
        if first[0] == "stem":
            assert as_bytes == ("stem", first[1].encode("utf-8"))
        else:
            assert as_bytes == first


@PROFILE
@given(algorithm=st.sampled_from(ALGORITHMS), word=byte_words)
def test_bytes_word_same_with_and_without_cache_and_as_text(algorithm, word):
    cached = Morvane.Morvane(algorithm)
    uncached = Morvane.Morvane(algorithm, 0)
    first = outcome(cached, word)
    check_allowed(first, word)
    assert outcome(uncached, word) == first
    assert outcome(uncached, bytearray(word)) == first
    assert outcome(cached, word) == first
    try:
        text = word.decode("utf-8")
    except UnicodeDecodeError:
        return
    as_text = outcome(Morvane.Morvane(algorithm), text)
    if first[0] == "stem":
        assert as_text == ("stem", first[1].decode("utf-8"))
    else:
        assert as_text == first


# Many words


capacities = st.one_of(st.sampled_from([1, 2, 3, 10000]), st.integers(-2, 12))


@PROFILE
@given(
    algorithm=st.sampled_from(ALGORITHMS),
    capacity=capacities,
    pool=st.lists(words, min_size=1, max_size=6),
    picks=st.lists(st.integers(0, 5), max_size=25),
    walk=st.sampled_from([list, tuple, iter]),
)
def test_stemWords_is_stemWord_over_the_words(
    algorithm, capacity, pool, picks, walk
):
    sequence = [pool[i % len(pool)] for i in picks]
    together = Morvane.Morvane(algorithm, capacity)
    one_by_one = Morvane.Morvane(algorithm, capacity)
    try:
        got = ("stems", together.stemWords(walk(sequence)))
    except Exception as exc:
        got = ("raises", type(exc), str(exc))
    stems = []
    expected = ("stems", stems)
    for word in sequence:
        try:
            stems.append(one_by_one.stemWord(word))
        except Exception as exc:
            expected = ("raises", type(exc), str(exc))
            break
    assert got == expected
    if got[0] == "stems":
        assert [type(s) for s in got[1]] == [type(s) for s in stems]
    assert snapshot(together) == snapshot(one_by_one)


# The cache against a model of the purge rule


class CacheModel:
    """What the cache must hold: key -> [stem, stamp] in insertion order,
    the use counter and the capacity."""

    def __init__(self, capacity):
        self.capacity = capacity
        self.entries = {}
        self.counter = 0

    def stem(self, key, stem):
        """A successful or failed (stem None) stemWord of an encoded key."""
        if self.capacity <= 0:
            return
        if key in self.entries:
            self.entries[key][1] = self.counter
            self.counter += 1
            return
        if stem is None:
            return  # a failed miss stores nothing and counts nothing
        self.entries[key] = [stem, self.counter]
        self.counter += 1
        self.purge()

    def purge(self):
        if len(self.entries) < self.capacity:
            return
        threshold = self.counter - int(8 * self.capacity / 10)
        self.entries = {key: entry for key, entry in self.entries.items()
                        if entry[1] > threshold}

    def set_capacity(self, capacity):
        self.capacity = capacity
        if capacity == 0:
            self.entries = {}
            self.counter = 0
        else:
            self.purge()


def encoded_key(word):
    return word.encode("utf-8") if isinstance(word, str) else word


# Steps of a cache script: stem the word at this index of the pool, set
# the capacity, or call the purge by hand.
steps = st.one_of(
    st.tuples(st.just("stem"), st.integers(0, 7)),
    st.tuples(st.just("stem"), st.integers(0, 7)),
    st.tuples(st.just("stem"), st.integers(0, 7)),
    st.tuples(st.just("capacity"),
              st.one_of(st.sampled_from([0, 1, 2, 3]), st.integers(-3, 12))),
    st.tuples(st.just("purge"), st.none()),
)


@PROFILE
@given(
    algorithm=st.sampled_from(ALGORITHMS),
    capacity=st.one_of(st.sampled_from([1, 2, 3]), st.integers(-2, 12)),
    pool=st.lists(
        st.one_of(st.sampled_from(REAL_WORDS), short_text, raw_bytes,
                  st.sampled_from([b"\xff", b"caf\xc3s", b"running"])),
        min_size=1, max_size=8,
    ),
    script=st.lists(steps, min_size=10, max_size=60),
)
def test_cache_follows_the_purge_rule_after_every_call(
    algorithm, capacity, pool, script
):
    stemmer = Morvane.Morvane(algorithm, capacity)
    oracle = Morvane.Morvane(algorithm, 0)
    model = CacheModel(capacity)
    for action, argument in script:
        if action == "capacity":
            stemmer.maxCacheSize = argument
            model.set_capacity(argument)
        elif action == "purge":
            assert stemmer._Morvane__purgeCache() is None
            model.purge()
        else:
            word = pool[argument % len(pool)]
            got = outcome(stemmer, word)
            if isinstance(word, str) and not encodable(word):
                assert got[:2] == ("raises", UnicodeEncodeError)
            else:
                key = encoded_key(word)
                wanted = outcome(oracle, key)
                stem = (wanted[1].decode("utf-8") if wanted[0] == "stem"
                        else None)
                if key in model.entries:
                    stem = model.entries[key][0]  # a hit answers from there
                    wanted = ("stem", stem.encode("utf-8"))
                if isinstance(word, str) and wanted[0] == "stem":
                    wanted = ("stem", stem)
                assert got == wanted
                model.stem(key, stem)
        cache, counter = cache_of(stemmer)
        assert list(cache) == list(model.entries)
        assert list(cache.values()) == list(model.entries.values())
        assert counter == model.counter
        assert stemmer.maxCacheSize == model.capacity
        assert len(cache) <= max(model.capacity, 0)
