"""Fixtures, the module's messages, views of an instance's cache and the
misbehaving helper objects shared by the tests."""

import ctypes
import subprocess
import sys
import textwrap
from typing import NamedTuple

import pytest

import Morvane

# --refleaks, the leak run
pytest_plugins = ["refleaks"]


def raises_exactly(exc_type, message, func, *args, **kwargs):
    """Call func and check that it raises exactly exc_type with message."""
    with pytest.raises(exc_type) as excinfo:
        func(*args, **kwargs)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    return excinfo.value


def unhashable_key_message(key):
    """The TypeError message of this CPython for key used as a dict key.

    The cache lookup is a dict lookup, so the module passes on whatever the
    running interpreter says; 3.14 changed the wording ("cannot use ... as a
    dict key (unhashable type: ...)"). Subscription, get and membership
    give the same text.
    """
    try:
        {}[key]
    except TypeError as exc:
        return str(exc)
    raise AssertionError(f"{key!r} is hashable")


@pytest.fixture
def stemmer():
    return Morvane.Morvane("english")


@pytest.fixture
def uncached():
    return Morvane.Morvane("english", 0)


@pytest.fixture
def unraisable(monkeypatch):
    """Collects whatever destruction reports through sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def cpython_message(func, *args):
    """The message of the exception that this CPython raises for func(*args),
    so that a test follows the interpreter's own wording."""
    try:
        func(*args)
    except Exception as exc:
        return str(exc)
    raise AssertionError(f"{func!r} raised nothing")


def bytes_expected(obj):
    """The TypeError message of this CPython's PyBytes_AsStringAndSize for
    obj, which is not bytes: the module reads a word, and what an
    algorithm name's encode returned, through it."""
    read = ctypes.pythonapi.PyBytes_AsStringAndSize
    read.argtypes = (ctypes.py_object, ctypes.POINTER(ctypes.c_char_p),
                     ctypes.POINTER(ctypes.c_ssize_t))
    read.restype = ctypes.c_int
    return cpython_message(read, obj, ctypes.byref(ctypes.c_char_p()),
                           ctypes.byref(ctypes.c_ssize_t()))


# The module's own messages

NO_ALGORITHM = (
    "this Morvane object has no stemming algorithm: "
    "__init__ has not run or failed"
)
NO_PICKLING = "self.cobj cannot be converted to a Python object for pickling"


def not_found(name):
    """The one argument of the KeyError for an unknown algorithm name."""
    return f"Stemming algorithm '{name}' not found"


# str() of that KeyError, which is the repr of its argument
NOT_FOUND = repr(not_found("nosuch"))


def raises_not_found(name, func, *args):
    """KeyError's str() is the repr of its one argument: check both."""
    exc = raises_exactly(KeyError, repr(not_found(name)), func, *args)
    assert exc.args == (not_found(name),)
    return exc


def run_child(code):
    """Run code in a fresh interpreter, with warnings as errors; it must
    exit cleanly and write nothing to stderr. Returns the printed lines."""
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    return proc.stdout.splitlines()


# Views of an instance's cache


def cache_of(instance):
    """An instance's cache dict and counter, as the collector sees them."""
    cache, counter = _referents(instance)
    return cache, counter


def _referents(instance):
    import gc

    refs = [r for r in gc.get_referents(instance) if not isinstance(r, type)]
    assert len(refs) == 2, refs
    return refs[0], refs[1]


def _copied(entry):
    return list(entry) if type(entry) is list else entry


def state(instance):
    """The cache's contents (key -> entry, plain lists copied so that later
    changes do not show) and the counter."""
    cache, counter = cache_of(instance)
    return {key: _copied(entry) for key, entry in cache.items()}, counter


def snapshot(instance):
    """The cache object, its (key, entry) objects in order with copies of
    the entries, and the counter: what a call that fails or has nothing
    to do must leave exactly as it was."""
    cache, counter = cache_of(instance)
    items = None if cache is None else [
        (key, entry, _copied(entry)) for key, entry in cache.items()]
    return cache, items, counter


def assert_unchanged(instance, before):
    cache, items, counter = before
    now, now_counter = cache_of(instance)
    assert now is cache
    if cache is not None:
        now_items = list(now.items())
        assert [(k, e, _copied(e)) for k, e in now_items] == items
        for (key, entry, _), (now_key, now_entry) in zip(items, now_items):
            assert now_key is key and now_entry is entry
    assert now_counter == counter


def assert_missed(exc, key=None):
    """exc came from the miss path: its context is the lookup's KeyError,
    whose one argument is the very key looked up (an equal one for bytes)."""
    context = exc.__context__
    assert type(context) is KeyError
    if key is not None:
        assert len(context.args) == 1
        assert context.args[0] is key or (
            type(key) is bytes and context.args[0] == key)


def assert_works(instance, capacity=None):
    """The instance still stems, cached and uncached, once its capacity is
    set again (which also forgets whatever the test left in the cache)."""
    instance.maxCacheSize = 0
    assert instance.stemWord("connections") == "connect"
    instance.maxCacheSize = 10000 if capacity is None else capacity
    assert instance.stemWords(["running", b"running", "jumps"]) == [
        "run", b"run", "jump"]
    assert instance.stemWord("running") == "run"  # a hit


def stems_of(word, algorithms):
    """The stems (as str) that any of the algorithms gives word."""
    return {Morvane.Morvane(name, 0).stemWord(bytes(word)).decode()
            for name in algorithms}


def assert_sound(instance, algorithms):
    """What must hold however Python code run in the middle of a call
    changed the instance, where which change wins is not laid down: every
    entry is a [str, int] list whose stem one of the algorithms involved
    gives its key, stamped below the counter, and the instance still
    works afterwards."""
    cache, counter = cache_of(instance)
    assert type(cache) is dict and type(counter) is int and counter >= 0
    for key, entry in cache.items():
        assert type(entry) is list and len(entry) == 2, (key, entry)
        stem, stamp = entry
        assert type(stem) is str and type(stamp) is int, (key, entry)
        assert stem in stems_of(key, algorithms), (key, entry)
        assert 0 <= stamp < counter, (key, entry, counter)
    instance.__init__("english")
    assert_works(instance)


# Misbehaving helpers


class MyBytes(bytes):
    """A bytes subclass that changes nothing: the word's own object becomes
    the key, and stems still come back as plain bytes."""


class NoPurge(Morvane.Morvane):
    """Never purges on its own, so that the cache can be brought to or past
    its capacity before the built-in purge is called by hand."""

    __slots__ = ()

    def _Morvane__purgeCache(self):
        pass


def builtin_purge(instance):
    return Morvane.Morvane._Morvane__purgeCache(instance)


_Base = Morvane.Morvane


class PurgeCall(NamedTuple):
    """What a purge override saw when it was called."""

    handling: BaseException | None  # the exception being handled
    size: int  # of the cache
    counter: int


def recording_purge(purge=builtin_purge):
    """A subclass whose purge records a PurgeCall each time, then returns
    purge(self) (by default the built-in purge). Returns the class and the
    list of calls.

    The class is named Morvane, so that its __purgeCache mangles to the
    name the module calls; its empty __slots__ leave no instance dict, so
    the collector still sees exactly the cache and the counter."""
    calls = []

    class Morvane(_Base):
        __slots__ = ()

        def __purgeCache(self, *args, **kwargs):
            assert args == () and kwargs == {}
            cache, counter = cache_of(self)
            calls.append(PurgeCall(sys.exc_info()[1], len(cache), counter))
            return purge(self)

    assert "_Morvane__purgeCache" in vars(Morvane)
    return Morvane, calls


class OverstatedLength(bytes):
    """len() reports more bytes than the buffer holds (five more, unless
    told): reading that far would run past the end."""

    def __new__(cls, value, reported=None):
        self = super().__new__(cls, value)
        self.reported = reported
        return self

    def __len__(self):
        if self.reported is None:
            return bytes.__len__(self) + 5
        return self.reported


class UnderstatedLength(bytes):
    """len() reports fewer bytes than the buffer holds: only that many are
    the word."""

    def __new__(cls, value, reported):
        self = super().__new__(cls, value)
        self.reported = reported
        return self

    def __len__(self):
        return self.reported


class HookedStr(str):
    """A str word whose encode runs hook() the first time it is called."""

    def __new__(cls, text, hook):
        self = super().__new__(cls, text)
        self.hook = hook
        return self

    def encode(self, *args):
        hook, self.hook = self.hook, None
        if hook is not None:
            hook()
        return str.encode(self, *args)


class RaisingBool:
    """Truth testing raises."""

    def __bool__(self):
        raise RuntimeError("no truth")


class EncodingStr(str):
    """A str subclass whose encode returns what it was given."""

    def __new__(cls, text, encoded):
        self = super().__new__(cls, text)
        self.encoded = encoded
        return self

    def encode(self, *args):
        return self.encoded


class IntSubclass(int):
    pass


class IntReturningSubclass:
    """__int__ returns an int subclass (deprecated by CPython)."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return IntSubclass(self.value)


class IndexOnly:
    def __index__(self):
        return 5


class Custom(Exception):
    """An exception no code but the test's own raises."""


class GtRaises:
    """A cache stamp whose comparison raises."""

    def __gt__(self, other):
        raise Custom("compare")


class GtUntruthful:
    """A cache stamp whose comparison gives what cannot be truth-tested."""

    def __gt__(self, other):
        return RaisingBool()


class FailingIterator:
    """Yields the given items, then raises."""

    def __init__(self, items, exc):
        self.items = list(items)
        self.exc = exc

    def __iter__(self):
        return self

    def __next__(self):
        if self.items:
            return self.items.pop(0)
        raise self.exc
