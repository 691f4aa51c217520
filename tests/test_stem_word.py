"""stemWord: encoding, the cached and plain branches, failures and their
context, and the module's answers for objects that misbehave mid-call."""

import operator
import sys

import pytest

import Morvane
from conftest import (
    Custom,
    EncodingStr,
    MyBytes,
    OverstatedLength,
    UnderstatedLength,
    assert_missed,
    assert_works,
    bytes_expected,
    cache_of,
    cpython_message,
    raises_exactly,
    recording_purge,
    state,
    unhashable_key_message,
)


class RecordingStr(str):
    """A str subclass whose encode records its arguments and returns a
    chosen byte string."""

    def __new__(cls, text, encoded):
        self = super().__new__(cls, text)
        self.encoded = encoded
        self.calls = []
        return self

    def encode(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.encoded


# What every cached call does


def test_str_then_bytes_share_one_entry():
    Recording, purges = recording_purge()
    stemmer = Recording("english")
    first = stemmer.stemWord("running")
    second = stemmer.stemWord(b"running")
    assert (type(first), first) == (str, "run")
    assert (type(second), second) == (bytes, b"run")
    assert len(purges) == 1
    cache, counter = cache_of(stemmer)
    assert list(cache) == [b"running"]
    assert cache[b"running"] == ["run", 1]
    assert counter == 2


def test_repeated_str_word_returns_the_cached_object(stemmer):
    first = stemmer.stemWord("running")
    second = stemmer.stemWord("running")
    cache, _ = cache_of(stemmer)
    assert second is first
    assert cache[b"running"][0] is first


def test_miss_stores_a_fresh_two_item_list_and_hit_stamps_it_in_place(
    stemmer,
):
    stemmer.stemWord("jumps")
    stemmer.stemWord(b"running")
    cache, _ = cache_of(stemmer)
    entry = cache[b"running"]
    assert type(entry) is list
    assert type(entry[0]) is str
    assert entry == ["run", 1]
    stemmer.stemWord("running")
    cache, counter = cache_of(stemmer)
    assert cache[b"running"] is entry
    assert entry == ["run", 2]
    assert cache[b"jumps"] == ["jump", 0]
    assert counter == 3


@pytest.mark.parametrize("capacity", [10000, 3, 1], ids=["default", "3", "1"])
def test_counter_advances_once_per_cached_call(capacity):
    stemmer = Morvane.Morvane("english", capacity)
    words = ["running", b"running", "jumps", "running", b"flies", "jumps",
             "cats", "cats", b"cats", "ponies"]
    for word in words:
        stemmer.stemWord(word)
    cache, counter = cache_of(stemmer)
    assert counter == len(words)
    if b"ponies" in cache:
        assert cache[b"ponies"][1] == len(words) - 1
    else:
        assert capacity == 1


@pytest.mark.parametrize("capacity", [0, -1], ids=["zero", "negative"])
def test_cache_off_never_touches_counter_or_cache(capacity):
    stemmer = Morvane.Morvane("english", capacity)
    results = [stemmer.stemWord(w) for w in ["running", b"running", "jumps"]]
    assert results == ["run", b"run", "jump"]
    assert state(stemmer) == ({}, 0)


# Word types


def test_bytearray_word_without_cache_gives_bytes(uncached):
    result = uncached.stemWord(bytearray(b"running"))
    assert (type(result), result) == (bytes, b"run")


def test_bytearray_word_with_cache_is_unhashable():
    Recording, purges = recording_purge()
    stemmer = Recording("english")
    stemmer.stemWord("jumps")
    before = state(stemmer)
    word = bytearray(b"running")
    exc = raises_exactly(TypeError, unhashable_key_message(word),
                         stemmer.stemWord, word)
    assert exc.__context__ is None
    assert state(stemmer) == before
    assert len(purges) == 1


@pytest.mark.parametrize(
    "word, type_name",
    [(3, "int"), (None, "NoneType"), (2.5, "float"), ((b"a",), "tuple")],
    ids=["int", "None", "float", "tuple"],
)
def test_hashable_non_bytes_word(word, type_name):
    message = bytes_expected(word)
    uncached = Morvane.Morvane("english", 0)
    exc = raises_exactly(TypeError, message, uncached.stemWord, word)
    assert exc.__context__ is None
    assert state(uncached) == ({}, 0)

    Recording, purges = recording_purge()
    stemmer = Recording("english")
    exc = raises_exactly(TypeError, message, stemmer.stemWord, word)
    assert_missed(exc, word)
    assert state(stemmer) == ({}, 0)
    assert purges == []


def test_memoryview_answered_from_cache_as_bytes(stemmer):
    stemmer.stemWord(b"running")
    result = stemmer.stemWord(memoryview(b"running"))
    assert (type(result), result) == (bytes, b"run")
    assert state(stemmer) == ({b"running": ["run", 1]}, 2)


def test_memoryview_not_cached_fails_in_buffer_conversion(stemmer, uncached):
    message = bytes_expected(memoryview(b""))
    view = memoryview(b"running")
    exc = raises_exactly(TypeError, message, stemmer.stemWord, view)
    assert_missed(exc, view)
    assert state(stemmer) == ({}, 0)
    exc = raises_exactly(TypeError, message, uncached.stemWord, view)
    assert exc.__context__ is None


@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_lone_surrogate_fails_before_the_cache(capacity):
    Recording, purges = recording_purge()
    stemmer = Recording("english", capacity)
    with pytest.raises(UnicodeEncodeError) as expected:
        "\ud800".encode("utf-8")
    exc = raises_exactly(UnicodeEncodeError, str(expected.value),
                         stemmer.stemWord, "\ud800")
    assert exc.__context__ is None
    assert state(stemmer) == ({}, 0)
    assert purges == []


@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_str_subclass_encoded_through_its_own_encode(capacity):
    stemmer = Morvane.Morvane("english", capacity)
    word = RecordingStr("not the word", b"running")
    result = stemmer.stemWord(word)
    assert (type(result), result) == (str, "run")
    assert word.calls == [(("utf-8",), {})]
    if capacity > 0:
        assert state(stemmer) == ({b"running": ["run", 0]}, 1)


def test_str_subclass_whose_encode_returns_bytes_of_other_text(stemmer):
    """The key and what libstemmer reads are the encode result, not the
    text of the str."""
    stemmer.stemWord(EncodingStr("cats", b"running"))
    assert stemmer.stemWord(EncodingStr("dogs", b"running")) == "run"
    assert state(stemmer) == ({b"running": ["run", 1]}, 2)


# A str word whose encode gives something other than bytes, or fails


class Encoding(str):
    """A str word whose encode gives back a chosen object or raises it."""

    def __new__(cls, text, result):
        self = super().__new__(cls, text)
        self.result = result
        return self

    def encode(self, *args):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


@pytest.mark.parametrize(
    "result, outcome",
    [
        (5, (TypeError, bytes_expected(5))),
        ("running", (TypeError, bytes_expected("running"))),
        (None, (TypeError, bytes_expected(None))),
        (memoryview(b"running"),
         (TypeError, bytes_expected(memoryview(b"")))),
        (MyBytes(b"running"), "run"),
        (OverstatedLength(b"running", 99),
         (ValueError, "word reports a length of 99 but holds only 7 bytes")),
    ],
    ids=["int", "str", "None", "memoryview", "bytes-subclass",
         "length-lies"],
)
@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_encode_returning_something_else(result, outcome, capacity):
    """What encode returned is the encoded word: stemmed when its bytes can
    be had, refused by the buffer conversion or the length check (after
    the lookup missed, when the cache is on) otherwise."""
    s = Morvane.Morvane("english", capacity)
    word = Encoding("cats", result)
    if isinstance(outcome, str):
        stem = s.stemWord(word)
        assert stem == outcome and type(stem) is str
        if capacity:
            (key,) = cache_of(s)[0]
            assert key is result
    else:
        exc = raises_exactly(*outcome, s.stemWord, word)
        if capacity:
            assert_missed(exc)
        else:
            assert exc.__context__ is None
        assert state(s) == ({}, 0)
    assert_works(s)


@pytest.mark.parametrize(
    "make_result, cached, uncached",
    [
        (lambda: bytearray(b"running"),
         (TypeError, unhashable_key_message(bytearray(b"running"))), "run"),
        # a fresh exception each time: one raised again keeps its old
        # traceback under the new one
        (lambda: Custom("encode"), (Custom, "encode"), (Custom, "encode")),
    ],
    ids=["bytearray", "raises"],
)
def test_encode_failing_or_unhashable_before_the_lookup(make_result, cached,
                                                        uncached):
    for capacity, outcome in ((10000, cached), (0, uncached)):
        s = Morvane.Morvane("english", capacity)
        word = Encoding("cats", make_result())
        if isinstance(outcome, str):
            assert s.stemWord(word) == outcome
        else:
            exc = raises_exactly(*outcome, s.stemWord, word)
            assert exc.__context__ is None
        assert state(s) == ({}, 0)
        assert_works(s)


@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_bytes_subclass_gives_plain_bytes(capacity):
    stemmer = Morvane.Morvane("english", capacity)
    word = MyBytes(b"running")
    result = stemmer.stemWord(word)
    assert (type(result), result) == (bytes, b"run")
    cache, _ = cache_of(stemmer)
    assert list(cache) == ([word] if capacity > 0 else [])
    if capacity > 0:
        assert next(iter(cache)) is word


@pytest.mark.parametrize(
    "word, stem",
    [
        (b"cats\x00", b"cats\x00"),
        (b"\x00running", b"\x00run"),
        (b"run\x00ning", b"run\x00n"),
    ],
    ids=["trailing", "leading", "inside"],
)
@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_embedded_nul_is_part_of_the_word(capacity, word, stem):
    stemmer = Morvane.Morvane("english", capacity)
    assert stemmer.stemWord(word) == stem


@pytest.mark.parametrize(
    "word, stem",
    [("", ""), (b"", b""), (MyBytes(), b"")],
    ids=["str", "bytes", "bytes-subclass"],
)
@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_empty_word(capacity, word, stem):
    stemmer = Morvane.Morvane("english", capacity)
    result = stemmer.stemWord(word)
    assert (type(result), result) == (type(stem), stem)


def test_empty_bytearray_without_cache(uncached):
    assert uncached.stemWord(bytearray()) == b""


def test_empty_str_and_bytes_share_one_entry(stemmer):
    stemmer.stemWord("")
    stemmer.stemWord(b"")
    assert state(stemmer) == ({b"": ["", 1]}, 2)


@pytest.mark.parametrize(
    "word, stem",
    [
        (b"\xff", b"\xff"),
        # The word's own error would be "invalid continuation byte": the
        # stem, with the s removed, is what fails.
        (b"caf\xc3s", b"caf\xc3"),
    ],
    ids=["unchanged", "suffix-removed"],
)
def test_stem_not_utf8(word, stem):
    message = cpython_message(bytes.decode, stem, "utf-8")
    uncached = Morvane.Morvane("english", 0)
    exc = raises_exactly(UnicodeDecodeError, message, uncached.stemWord, word)
    assert exc.object == stem
    assert exc.__context__ is None

    Recording, purges = recording_purge()
    stemmer = Recording("english")
    stemmer.stemWord("jumps")
    exc = raises_exactly(UnicodeDecodeError, message, stemmer.stemWord, word)
    assert_missed(exc, word)
    assert state(stemmer) == ({b"jumps": ["jump", 0]}, 1)
    assert len(purges) == 1


# The caller's handled exception


def _hit(stemmer):
    stemmer.stemWord("running")
    return stemmer.stemWord("running")


def _miss(stemmer):
    return stemmer.stemWord("running")


@pytest.mark.parametrize("road", [_hit, _miss], ids=["hit", "miss"])
@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_caller_handled_exception_survives_success(capacity, road):
    Recording, purges = recording_purge()
    stemmer = Recording("english", capacity)
    outer = ValueError("caller's")
    try:
        raise outer
    except ValueError:
        assert road(stemmer) == "run"
        assert sys.exc_info()[1] is outer
    for seen in purges:
        assert type(seen.handling) is KeyError
        assert seen.handling.__context__ is outer


@pytest.mark.parametrize(
    "capacity, word, exc_type, on_miss_path",
    [
        (10000, 3, TypeError, True),
        (10000, b"\xff", UnicodeDecodeError, True),
        (10000, bytearray(b"x"), TypeError, False),
        (10000, "\udfff", UnicodeEncodeError, False),
        (0, 3, TypeError, False),
        (0, b"\xff", UnicodeDecodeError, False),
        (0, "\udfff", UnicodeEncodeError, False),
    ],
    ids=["cached-int", "cached-bad-stem", "cached-bytearray",
         "cached-surrogate", "uncached-int", "uncached-bad-stem",
         "uncached-surrogate"],
)
def test_caller_handled_exception_survives_failure(
    capacity, word, exc_type, on_miss_path
):
    stemmer = Morvane.Morvane("english", capacity)
    outer = ValueError("caller's")
    try:
        raise outer
    except ValueError:
        with pytest.raises(exc_type) as excinfo:
            stemmer.stemWord(word)
        assert sys.exc_info()[1] is outer
    exc = excinfo.value
    if on_miss_path:
        assert_missed(exc, word)
        assert exc.__context__.__context__ is outer
    else:
        assert exc.__context__ is outer


# Failures at other steps


class SecondHashFails(bytes):
    """Hashes like bytes once; the store after a miss hashes again."""

    def __hash__(self):
        self.hashes = getattr(self, "hashes", 0) + 1
        if self.hashes > 1:
            raise ArithmeticError("hash refused")
        return bytes.__hash__(self)


def test_store_failure_after_a_miss():
    Recording, purges = recording_purge()
    stemmer = Recording("english")
    word = SecondHashFails(b"running")
    exc = raises_exactly(ArithmeticError, "hash refused",
                         stemmer.stemWord, word)
    assert_missed(exc, word)
    assert state(stemmer) == ({}, 0)
    assert purges == []


class KeyErrorEntry:
    """An entry whose items cannot be read."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, index):
        raise self.error


def key_error_word(hook, error):
    """b'running' as a word whose first __hash__ or __eq__ raises error."""
    fired = []

    class Word(bytes):
        def __hash__(self):
            if hook == "__hash__" and not fired:
                fired.append(True)
                raise error
            return bytes.__hash__(self)

        def __eq__(self, other):
            if hook == "__eq__" and not fired:
                fired.append(True)
                raise error
            return bytes.__eq__(self, other)

    return Word(b"running")


@pytest.mark.parametrize("where", ["entry", "__hash__", "__eq__"])
def test_key_error_inside_the_lookup_starts_the_miss_path(where):
    """Any KeyError of the lookup counts as a miss, and it is that KeyError
    which the miss path handles."""
    Recording, purges = recording_purge()
    stemmer = Recording("english")
    stemmer.stemWord("running")
    error = KeyError("inside the lookup")
    word = b"running"
    if where == "entry":
        cache, _ = cache_of(stemmer)
        cache[b"running"] = KeyErrorEntry(error)
    else:
        word = key_error_word(where, error)
    assert stemmer.stemWord(word) == b"run"
    assert len(purges) == 2
    assert purges[1].handling is error
    assert state(stemmer) == ({b"running": ["run", 1]}, 2)


# Words whose length lies or that change under the call: a bytes subclass
# or a (hashable, so that it reaches the cached road too) bytearray whose
# len() answers what it likes


class FailingLen(bytes):
    def __len__(self):
        raise ArithmeticError("no length")


class Resizing(bytearray):
    """len() runs change(self) and answers what it returns."""

    def __init__(self, value, change):
        super().__init__(value)
        self.change = change

    def __len__(self):
        return self.change(self)

    def __hash__(self):
        return hash(bytes(self))


def _shrink(b):
    del b[3:]
    return bytearray.__len__(b)


def _shrink_but_report_old(b):
    del b[3:]
    return 7


def _clear_and_report(b):
    b.clear()
    return 0


def _clear_but_report_old(b):
    b.clear()
    return 7


GROWN = b"x" + b"ponies" * 1000  # large enough to move the buffer


def _grow(b):
    b.extend(GROWN[bytearray.__len__(b):])
    return bytearray.__len__(b)


def _grow_then_overstate(b):
    b.extend(b"s" * 5000)
    return bytearray.__len__(b) + 1


def _reports(length):
    return lambda b: length


class _Reports:
    def __init__(self, value):
        self.value = value

    def __len__(self):
        return self.value


def _len_error(value):
    """What CPython's len() says of a __len__ that returns value."""
    return cpython_message(len, _Reports(value))


def _refused(reported, held):
    return (ValueError,
            f"word reports a length of {reported} but holds only {held} "
            "bytes")


LENGTH_CASES = {
    "bytes-overstate": (lambda: OverstatedLength(b"running", 12),
                        _refused(12, 7)),
    "bytes-understate": (lambda: UnderstatedLength(b"runningxyz", 7),
                         b"run"),
    "bytes-understate-zero": (lambda: UnderstatedLength(b"cats", 0), b""),
    "shrink": (lambda: Resizing(b"running", _shrink), b"run"),
    "shrink-report-old": (lambda: Resizing(b"running", _shrink_but_report_old),
                          _refused(7, 3)),
    "clear": (lambda: Resizing(b"running", _clear_and_report), b""),
    "clear-report-old": (lambda: Resizing(b"running", _clear_but_report_old),
                         _refused(7, 0)),
    # read after growing: the stem of what it holds then
    "grow": (lambda: Resizing(b"x", _grow),
             Morvane.Morvane("english", 0).stemWord(GROWN)),
    "grow-overstate": (lambda: Resizing(b"running", _grow_then_overstate),
                       _refused(5008, 5007)),
    "understate": (lambda: Resizing(b"running", _reports(2)), b"ru"),
    "overstate": (lambda: Resizing(b"running", _reports(12)), _refused(12, 7)),
    "negative": (lambda: Resizing(b"running", _reports(-1)),
                 (ValueError, _len_error(-1))),
    "huge": (lambda: Resizing(b"running", _reports(2 ** 70)),
             (OverflowError, _len_error(2 ** 70))),
    "not-int": (lambda: Resizing(b"running", _reports("7")),
                (TypeError, _len_error("7"))),
    "raises": (lambda: Resizing(b"running", lambda b: 1 / 0),
               (ZeroDivisionError, cpython_message(operator.truediv, 1, 0))),
    # a bytes subclass takes its own road to the buffer
    "bytes-raises": (lambda: FailingLen(b"running"),
                     (ArithmeticError, "no length")),
}


@pytest.mark.parametrize("make, outcome", LENGTH_CASES.values(),
                         ids=LENGTH_CASES)
@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_word_whose_length_lies_or_changes(make, outcome, capacity):
    """The length len() reports is the word's, once checked against what
    the buffer holds then: a prefix is stemmed, more than is held is
    refused (after the lookup missed, when the cache is on)."""
    s = Morvane.Morvane("english", capacity)
    word = make()
    if isinstance(outcome, bytes):
        stem = s.stemWord(word)
        assert stem == outcome and type(stem) is bytes
        if capacity:
            (key,) = cache_of(s)[0]
            assert key is word  # the word's own object is the key
    else:
        exc = raises_exactly(*outcome, s.stemWord, word)
        if capacity:
            assert_missed(exc, word)
        else:
            assert exc.__context__ is None
        assert state(s) == ({}, 0)
    assert_works(s)
