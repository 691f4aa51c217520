"""Python subclasses: overriding the purge and stemWord, instance
dictionaries and weak references, construction and pickling."""

import gc
import pickle
import weakref

import pytest

import Morvane
from conftest import Custom, cache_of, raises_exactly

NO_PICKLING = "self.cobj cannot be converted to a Python object for pickling"
Base = Morvane.Morvane


def recording_purge(returns=None, raises=None):
    """A subclass whose purge records (cache size, counter) at each call."""

    class Morvane(Base):  # so that __purgeCache mangles to _Morvane__purgeCache
        __slots__ = ()
        calls = []

        def __purgeCache(self, *args, **kwargs):
            assert args == () and kwargs == {}
            cache, counter = cache_of(self)
            type(self).calls.append((len(cache), counter))
            if raises is not None:
                raise raises
            return returns

    assert "_Morvane__purgeCache" in vars(Morvane)
    return Morvane


# The purge override


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
    cls = recording_purge()
    s = cls("english")
    for value in values:
        s.maxCacheSize = value
        assert s.maxCacheSize == value
    assert len(cls.calls) == calls


def test_setter_calls_override_after_storing_capacity():
    seen = []

    class Sub(Morvane.Morvane):
        def _Morvane__purgeCache(self):
            seen.append(self.maxCacheSize)

    s = Sub("english")
    s.maxCacheSize = 7
    assert seen == [7]


def test_stemWord_calls_override_once_per_miss():
    cls = recording_purge()
    s = cls("english")
    script = [
        "running",
        "running",
        "jumped",
        b"running",
        "jumped",
        "walking",
        "running",
    ]
    for word in script:
        s.stemWord(word)
    # called after each miss, with the new entry stored and the counter moved on
    assert cls.calls == [(1, 1), (2, 3), (3, 6)]
    assert cache_of(s)[1] == len(script)


def test_stemWord_with_cache_off_never_calls_override():
    cls = recording_purge()
    s = cls("english", 0)
    s.stemWords(["running", "running", "jumped"])
    assert cls.calls == []


@pytest.mark.parametrize(
    "returns",
    [42, NotImplemented, "x", object()],
    ids=["int", "NotImplemented", "str", "object"],
)
def test_override_return_value_is_ignored(returns):
    cls = recording_purge(returns=returns)
    s = cls("english")
    assert s.stemWord("running") == "run"
    s.maxCacheSize = 3
    assert s.maxCacheSize == 3
    assert len(cls.calls) == 2


def test_override_exception_propagates_through_setter():
    cls = recording_purge(raises=Custom("purge failed"))
    s = cls("english")
    cache, counter = cache_of(s)

    def assign():
        s.maxCacheSize = 3

    raises_exactly(Custom, "purge failed", assign)
    assert s.maxCacheSize == 3
    assert cache_of(s)[0] is cache and cache_of(s)[1] == counter
    assert len(cls.calls) == 1


def test_override_exception_propagates_through_stemWord():
    cls = recording_purge(raises=Custom("purge failed"))
    s = cls("english")
    exc = raises_exactly(Custom, "purge failed", s.stemWord, "running")
    assert type(exc.__context__) is KeyError
    # the miss was already recorded before the purge ran
    assert cache_of(s) == ({b"running": ["run", 0]}, 1)
    # a hit does not purge, so it succeeds
    assert s.stemWord("running") == "run"
    assert len(cls.calls) == 1


def test_override_replaces_builtin_purge_entirely():
    cls = recording_purge()
    s = cls("english", 2)
    for word in ["running", "jumped", "walking", "talked"]:
        s.stemWord(word)
    assert len(cache_of(s)[0]) == 4  # the built-in purge would have trimmed


# The stemWord override, as used by stemWords


def test_stemWords_uses_stemWord_override_once_per_word_in_order():
    seen = []

    class Sub(Morvane.Morvane):
        __slots__ = ()

        def stemWord(self, *args, **kwargs):
            seen.append((args, kwargs))
            return ("stem", len(seen))

    s = Sub("english")
    words = ["running", b"jumped", "running", 7]
    assert s.stemWords(iter(words)) == [
        ("stem", 1),
        ("stem", 2),
        ("stem", 3),
        ("stem", 4),
    ]
    assert seen == [((w,), {}) for w in words]
    assert cache_of(s)[1] == 0  # the built-in stemWord never ran


def test_stemWord_override_can_defer_to_base():
    class Upper(Morvane.Morvane):
        def stemWord(self, word):
            return super().stemWord(word).upper()

    assert Upper("english").stemWords(["running", "jumped"]) == ["RUN", "JUMP"]


def test_stemWord_looked_up_anew_for_every_word():
    class Sub(Morvane.Morvane):
        pass

    s = Sub("english")

    def words():
        yield "running"
        s.stemWord = lambda word: "patched"
        yield "jumped"

    assert s.stemWords(words()) == ["run", "patched"]


# Instance dictionaries and weak references


def setattr_message(cls):
    """CPython's wording (it varies between versions) for a dict-less class."""
    slots = getattr(cls, "__slots__", ())
    reference = type(
        cls.__name__ if cls is not Base else "Morvane.Morvane", (), {"__slots__": slots}
    )
    try:
        reference().tag = 1
    except AttributeError as exc:
        return str(exc)
    raise AssertionError("reference class accepted the attribute")


@pytest.mark.parametrize(
    "make, has_dict",
    [
        (lambda: type("Plain", (Morvane.Morvane,), {}), True),
        (lambda: type("Slotted", (Morvane.Morvane,), {"__slots__": ()}), False),
        (lambda: type("Named", (Morvane.Morvane,), {"__slots__": ("extra",)}), False),
        (lambda: Morvane.Morvane, False),
    ],
    ids=["subclass", "empty-slots", "named-slots", "base"],
)
def test_instance_dict(make, has_dict):
    s = make()("english")

    def assign():
        s.tag = 1

    if has_dict:
        assign()
        assert s.tag == 1 and s.__dict__ == {"tag": 1}
    else:
        raises_exactly(AttributeError, setattr_message(type(s)), assign)
        assert not hasattr(s, "__dict__")


@pytest.mark.parametrize(
    "make, weakrefable",
    [
        (lambda: type("Plain", (Morvane.Morvane,), {}), True),
        (lambda: type("Slotted", (Morvane.Morvane,), {"__slots__": ()}), False),
        (
            lambda: type("Weak", (Morvane.Morvane,), {"__slots__": ("__weakref__",)}),
            True,
        ),
        (lambda: Morvane.Morvane, False),
    ],
    ids=["subclass", "empty-slots", "weakref-slot", "base"],
)
def test_weak_references(make, weakrefable):
    cls = make()
    s = cls("english")
    if weakrefable:
        ref = weakref.ref(s)
        assert ref() is s
        del s
        gc.collect()
        assert ref() is None
    else:
        name = cls.__name__ if cls is not Morvane.Morvane else "Morvane.Morvane"
        raises_exactly(
            TypeError,
            f"cannot create weak reference to '{name}' object",
            weakref.ref,
            s,
        )


# Construction


def test_subclass_constructs_like_base():
    class Sub(Morvane.Morvane):
        pass

    s = Sub("english", maxCacheSize=3)
    assert type(s) is Sub and isinstance(s, Morvane.Morvane)
    assert s.maxCacheSize == 3
    assert s.stemWord("running") == "run"
    raises_exactly(KeyError, repr("Stemming algorithm 'xx' not found"), Sub, "xx")


def test_subclass_init_with_own_arguments():
    class Sub(Morvane.Morvane):
        def __init__(self, label, language):
            super().__init__(language, 5)
            self.label = label

    s = Sub("mine", "german")
    assert s.label == "mine"
    assert s.maxCacheSize == 5
    assert s.stemWord("laufenden") == Morvane.Morvane("german").stemWord("laufenden")


# Pickling


def test_subclass_pickling_refused_unless_it_says_how():
    class Refused(Morvane.Morvane):
        pass

    s = Refused("english")
    s.tag = 1  # state in __dict__ does not make it picklable
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        raises_exactly(TypeError, NO_PICKLING, pickle.dumps, s, protocol)


class Reducible(Morvane.Morvane):
    def __init__(self, name, size=10000):
        super().__init__(name, size)
        self.name = name

    def __reduce__(self):
        return (type(self), (self.name, self.maxCacheSize))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_subclass_with_own_reduce_pickles(protocol):
    s = Reducible("german", 7)
    t = pickle.loads(pickle.dumps(s, protocol))
    assert type(t) is Reducible and t is not s
    assert t.maxCacheSize == 7
    assert t.stemWord("laufenden") == s.stemWord("laufenden")
