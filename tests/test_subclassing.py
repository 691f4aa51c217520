"""Python subclasses: instance dictionaries and weak references,
construction and pickling. (A subclass's purge is tested in
test_purge_override.py, its stemWord as stemWords uses it in
test_stem_words.py, a subclass __init__ that skips the base one in
test_uninitialised.py.)"""

import gc
import pickle
import weakref

import pytest

import Morvane
from conftest import NO_PICKLING, raises_exactly, raises_not_found

Base = Morvane.Morvane


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
    raises_not_found("xx", Sub, "xx")


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
