"""Fixtures and misbehaving helper objects shared by the tests."""

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


def cache_of(instance):
    """An instance's cache dict and counter, as the collector sees them."""
    cache, counter = _referents(instance)
    return cache, counter


def _referents(instance):
    import gc

    refs = [r for r in gc.get_referents(instance) if not isinstance(r, type)]
    assert len(refs) == 2, refs
    return refs[0], refs[1]


# Misbehaving helpers


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
