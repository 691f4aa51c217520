"""stemWords: one walk over any iterable, one stemWord call per word, the
results in a new list; failures stop the walk and keep what came before."""

import gc

import pytest

import Morvane
from conftest import (
    FailingIterator,
    HookedStr,
    assert_works,
    bytes_expected,
    cpython_message,
    raises_exactly,
    state,
    unhashable_key_message,
)


def overriding_class(answer=None):
    """A subclass whose stemWord records each call's arguments and returns
    answer(self, word), by default the built-in stem."""
    calls = []

    class Overriding(Morvane.Morvane):
        def stemWord(self, *args, **kwargs):
            calls.append((args, kwargs))
            if answer is not None:
                return answer(self, *args)
            return super().stemWord(*args, **kwargs)

    return Overriding, calls


class CountingIterator:
    """Yields the given items and counts how many were asked for."""

    def __init__(self, items):
        self.items = list(items)
        self.pulled = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.pulled += 1
        if self.pulled > len(self.items):
            raise StopIteration
        return self.items[self.pulled - 1]


class EndOfWords(StopIteration):
    pass


def _exhausted():
    iterator = iter(["running"])
    next(iterator)
    return iterator


def _spent_generator():
    generator = (w for w in ["running"])
    list(generator)
    return generator


# Empty input


@pytest.mark.parametrize(
    "make",
    [list, tuple, lambda: iter([]), _exhausted, _spent_generator,
     lambda: "", lambda: b"", dict],
    ids=["list", "tuple", "empty-iterator", "exhausted-iterator",
         "spent-generator", "str", "bytes", "dict"],
)
def test_empty_iterable_gives_a_new_empty_list(make):
    Overriding, calls = overriding_class()
    stemmer = Overriding("english")
    words = make()
    first = stemmer.stemWords(words)
    second = stemmer.stemWords(words)
    assert type(first) is list and first == []
    assert first is not second and first is not words
    assert calls == []
    assert state(stemmer) == ({}, 0)


# Walking the input


@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_generator_consumed_once_in_order(capacity):
    stemmer = Morvane.Morvane("english", capacity)
    produced = []

    def words():
        for word in ["running", "jumps", "flies", "running"]:
            produced.append(word)
            yield word

    generator = words()
    assert stemmer.stemWords(generator) == ["run", "jump", "fli", "run"]
    assert produced == ["running", "jumps", "flies", "running"]
    assert list(generator) == []


@pytest.mark.parametrize(
    "make",
    # a dict is walked by its keys
    [list, tuple, iter, dict.fromkeys],
    ids=["list", "tuple", "iterator", "dict"],
)
@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_mixed_str_and_bytes_keep_their_types(capacity, make):
    stemmer = Morvane.Morvane("english", capacity)
    words = make(["running", b"running", "jumps", b"jumps", bytes(b"cats")])
    result = stemmer.stemWords(words)
    assert result == ["run", b"run", "jump", b"jump", b"cat"]
    assert [type(r) for r in result] == [str, bytes, str, bytes, bytes]


def test_str_is_walked_by_character(stemmer):
    result = stemmer.stemWords("cats")
    assert result == ["c", "a", "t", "s"]
    assert state(stemmer)[1] == 4


@pytest.mark.parametrize("capacity", [10000, 0], ids=["cached", "uncached"])
def test_bytes_as_words_fails_on_the_first_int(capacity):
    stemmer = Morvane.Morvane("english", capacity)
    exc = raises_exactly(TypeError, bytes_expected(ord("c")),
                         stemmer.stemWords, b"cats")
    if capacity > 0:
        assert type(exc.__context__) is KeyError
        assert exc.__context__.args == (ord("c"),)
    assert state(stemmer) == ({}, 0)


@pytest.mark.parametrize(
    "words, message",
    [(5, cpython_message(iter, 5)), (None, cpython_message(iter, None))],
    ids=["int", "None"],
)
def test_not_iterable(stemmer, words, message):
    raises_exactly(TypeError, message, stemmer.stemWords, words)
    assert state(stemmer) == ({}, 0)


@pytest.mark.parametrize("base", [list, tuple], ids=["list", "tuple"])
def test_sequence_subclass_walked_through_its_own_iter(stemmer, base):
    class Reversed(base):
        def __iter__(self):
            return reversed(self)

    assert stemmer.stemWords(Reversed(["running", "jumps"])) == ["jump",
                                                                 "run"]


def test_no_read_ahead():
    """Each word is asked for only once the previous one has been stemmed."""
    iterator = CountingIterator(["running", "jumps", "flies"])
    seen = []

    def answer(self, word):
        seen.append((word, iterator.pulled))
        return word.upper()

    Overriding, _ = overriding_class(answer)
    assert Overriding("english").stemWords(iterator) == ["RUNNING", "JUMPS",
                                                         "FLIES"]
    assert seen == [("running", 1), ("jumps", 2), ("flies", 3)]
    assert iterator.pulled == 4


# What stemWord is asked and what comes back


@pytest.mark.parametrize(
    "make",
    [list, tuple, iter, lambda ws: (w for w in ws)],
    ids=["list", "tuple", "iterator", "generator"],
)
def test_override_called_once_per_word_with_the_word_alone(make):
    """Whatever the override returns is the result, as it is; the built-in
    stemWord never runs."""
    answers = [object(), None, 7, "x", ("stem", 5)]
    Overriding, calls = overriding_class(
        lambda self, word: answers[len(calls) - 1])
    words = ["running", b"jumps", "running", bytearray(b"x"), 7]
    stemmer = Overriding("english")
    result = stemmer.stemWords(make(words))
    assert len(result) == len(answers)
    assert all(r is a for r, a in zip(result, answers))
    assert len(calls) == len(words)
    for (args, kwargs), word in zip(calls, words):
        assert kwargs == {}
        assert len(args) == 1 and args[0] is word
    assert state(stemmer) == ({}, 0)


def test_override_deferring_to_the_base():
    class Upper(Morvane.Morvane):
        def stemWord(self, word):
            return super().stemWord(word).upper()

    assert Upper("english").stemWords(["running", "jumped"]) == ["RUN", "JUMP"]


def _set_by_the_override(words):
    """The override's first call replaces stemWord on the instance."""
    Overriding, _ = overriding_class(
        lambda self, word: setattr(self, "stemWord", str.upper) or "first")
    return Overriding("english"), iter(words), ["first", "B", "C"]


def _set_between_two_words(words):
    """The generator sets stemWord on the instance after the first word."""
    Sub = type("Sub", (Morvane.Morvane,), {})
    s = Sub("english")

    def generate():
        yield words[0]
        s.stemWord = lambda word: "patched"
        yield from words[1:]

    return s, generate(), ["a", "patched", "patched"]


@pytest.mark.parametrize("setup", [_set_by_the_override,
                                   _set_between_two_words],
                         ids=["by-the-override", "between-two-words"])
def test_stemWord_looked_up_anew_for_every_word(setup):
    """An instance attribute set during the walk takes over at once."""
    s, words, expected = setup(["a", "b", "c"])
    assert s.stemWords(words) == expected


class NotCallableStemWord(Morvane.Morvane):
    stemWord = None


class RaisingStemWordLookup(Morvane.Morvane):
    @property
    def stemWord(self):
        raise LookupError("no stemWord")


class LengthStemWord(Morvane.Morvane):
    stemWord = staticmethod(len)


@pytest.mark.parametrize(
    "cls, outcome",
    [
        (NotCallableStemWord, (TypeError, cpython_message(None))),
        (RaisingStemWordLookup, (LookupError, "no stemWord")),
        (LengthStemWord, [7, 4]),
    ],
    ids=["not-callable", "lookup-raises", "staticmethod"],
)
def test_stemWord_attribute_that_is_no_method(cls, outcome):
    """stemWord is whatever attribute lookup finds, called with the word:
    its failure is the caller's."""
    s = cls("english")
    assert s.stemWords([]) == []
    if isinstance(outcome, list):
        assert s.stemWords(["running", "cats"]) == outcome
    else:
        raises_exactly(*outcome, s.stemWords, ["running", "cats"])
    assert Morvane.Morvane.stemWord(s, "running") == "run"


def test_builtin_stemWord_used_for_the_plain_class(stemmer):
    words = ["running", b"running", "jumps", "cats", b"cats"]
    assert stemmer.stemWords(words) == [stemmer.stemWord(w) for w in words]


# The list being walked changes under the walk


def _append(words):
    words.append("dogs")


def _remove_earlier(words):
    words.remove("running")


def _clear(words):
    words.clear()


def _drop_current(words):
    words[1] = "replaced"
    gc.collect()


def _drop_current_and_later(words):
    del words[1:]
    gc.collect()


def _insert_in_front(words):
    words.insert(0, "flies")


def _move_storage(words):
    # Growing far and shrinking back moves the list's item array twice.
    words.extend(["x"] * 10000)
    del words[4:]
    gc.collect()


def _from_the_word(capacity):
    """The plain class walks the list itself: the word's own encode
    changes it."""

    def trigger(words, change):
        words[1] = HookedStr(words[1], lambda: change(words))
        return Morvane.Morvane("english", capacity)

    return trigger


def _from_an_override(words, change):
    """stemWords calls the override, which changes the list (once) before
    it stems."""
    fired = []

    class Overriding(Morvane.Morvane):
        def stemWord(self, word):
            if word == "jumps" and not fired:
                fired.append(True)
                change(words)
            return super().stemWord(word)

    return Overriding("english")


@pytest.mark.parametrize(
    "change, stems",
    [
        (_append, ["run", "jump", "fli", "cat", "dog"]),
        (_remove_earlier, ["run", "jump", "cat"]),
        (_clear, ["run", "jump"]),
        (_drop_current, ["run", "jump", "fli", "cat"]),
        (_drop_current_and_later, ["run", "jump"]),
        # the current word moves to the next index and is met again
        (_insert_in_front, ["run", "jump", "jump", "fli", "cat"]),
        (_move_storage, ["run", "jump", "fli", "cat"]),
    ],
    ids=["append", "remove-earlier", "clear", "drop-current",
         "drop-current-and-later", "insert-in-front", "move-storage"],
)
@pytest.mark.parametrize(
    "trigger",
    [_from_the_word(10000), _from_the_word(0), _from_an_override],
    ids=["word-cached", "word-uncached", "override"],
)
def test_list_changed_during_the_walk(trigger, change, stems):
    """The walk reads the list's current length and item at each step: it
    neither reads a freed item nor stops early or runs past the end."""
    words = ["running", "jumps", "flies", "cats"]
    s = trigger(words, change)
    assert s.stemWords(words) == stems
    assert_works(s)


# Failures part-way


@pytest.mark.parametrize(
    "bad, exc_type, message",
    [
        (bytearray(b"x"), TypeError, unhashable_key_message(bytearray(b"x"))),
        (3, TypeError, bytes_expected(3)),
        (b"\xff", UnicodeDecodeError,
         cpython_message(bytes.decode, b"\xff", "utf-8")),
        ("\ud800", UnicodeEncodeError,
         cpython_message(str.encode, "\ud800", "utf-8")),
    ],
    ids=["bytearray", "int", "bad-stem", "surrogate"],
)
@pytest.mark.parametrize(
    "make", [list, tuple, iter], ids=["list", "tuple", "iterator"]
)
def test_failing_word_stops_the_walk(make, bad, exc_type, message):
    stemmer = Morvane.Morvane("english")
    words = make(["running", b"jumps", bad, "flies"])
    raises_exactly(exc_type, message, stemmer.stemWords, words)
    assert state(stemmer) == (
        {b"running": ["run", 0], b"jumps": ["jump", 1]}, 2)


def test_failure_of_an_override_passes_through_unchanged():
    failure = LookupError("override failed")

    def answer(self, word):
        if word == "flies":
            raise failure
        return Morvane.Morvane.stemWord(self, word)

    Overriding, calls = overriding_class(answer)
    stemmer = Overriding("english")
    with pytest.raises(LookupError) as excinfo:
        stemmer.stemWords(iter(["running", "flies", "jumps"]))
    assert excinfo.value is failure
    assert len(calls) == 2
    assert state(stemmer) == ({b"running": ["run", 0]}, 1)


# KeyboardInterrupt is no Exception: it must pass through all the same, and
# leave the cache as the words before it made it.
@pytest.mark.parametrize(
    "make_failure",
    [lambda: ArithmeticError("iterator broke"), KeyboardInterrupt],
    ids=["error", "keyboard-interrupt"],
)
def test_iterator_failing_midway(make_failure):
    failure = make_failure()
    stemmer = Morvane.Morvane("english")
    with pytest.raises(type(failure)) as excinfo:
        stemmer.stemWords(FailingIterator(["running", b"jumps"], failure))
    assert excinfo.value is failure
    assert state(stemmer) == (
        {b"running": ["run", 0], b"jumps": ["jump", 1]}, 2)
    assert stemmer.stemWords(["running", "flies"]) == ["run", "fli"]
    assert state(stemmer)[1] == 4


@pytest.mark.parametrize(
    "make_failure",
    [lambda: ArithmeticError("iterator broke"), KeyboardInterrupt],
    ids=["error", "keyboard-interrupt"],
)
def test_iterator_failing_at_once(stemmer, make_failure):
    failure = make_failure()
    with pytest.raises(type(failure)) as excinfo:
        stemmer.stemWords(FailingIterator([], failure))
    assert excinfo.value is failure
    assert state(stemmer) == ({}, 0)


@pytest.mark.parametrize(
    "make_end",
    # a fresh exception each time: one raised again keeps its old traceback
    # under the new one
    [StopIteration, lambda: StopIteration("a value"), EndOfWords],
    ids=["stop", "stop-with-value", "stop-subclass"],
)
def test_stop_iteration_ends_the_walk_normally(stemmer, make_end):
    result = stemmer.stemWords(
        FailingIterator(["running", b"jumps"], make_end()))
    assert result == ["run", b"jump"]
