"""The module object and the function objects it installs, as seen after a
normal import: attributes, binding, and the static class. (The docstrings
are compared in test_introspection.py.)"""

import types
import weakref

import pytest

import Morvane
from conftest import cache_of, raises_exactly
from docstrings import INIT_DOC

# Module attributes


def test_module_namespace_holds_exactly_the_documented_names():
    """Nothing missing, nothing extra (no __path__ for a plain extension)."""
    assert set(vars(Morvane)) == {
        "__name__", "__doc__", "__loader__", "__file__", "__package__",
        "__spec__", "__builtins__", "Morvane", "__docformat__",
        "algorithms", "version", "__test__",
    }


@pytest.mark.parametrize(
    "name, expected",
    [
        ("__docformat__", "restructuredtext en"),
        ("__name__", "Morvane"),
    ],
    ids=["docformat", "name"],
)
def test_module_string_attribute(name, expected):
    value = getattr(Morvane, name)
    assert type(value) is str
    assert value == expected


def test_test_attribute_is_an_empty_dict():
    assert type(Morvane.__test__) is dict
    assert Morvane.__test__ == {}


def test_builtins_attribute_is_the_builtins_module():
    import builtins

    assert Morvane.__builtins__ is builtins


def test_module_attribute_Morvane_is_the_class():
    assert type(Morvane.Morvane) is type
    assert Morvane.Morvane.__bases__ == (object,)


# The class


@pytest.mark.parametrize(
    "name, expected",
    [
        ("__module__", "Morvane"),
        ("__name__", "Morvane"),
        ("__qualname__", "Morvane"),
    ],
    ids=["module", "name", "qualname"],
)
def test_class_attribute(name, expected):
    assert getattr(Morvane.Morvane, name) == expected


def test_init_docstring_is_the_class_own():
    """The slot record CPython shares between types keeps its docstring."""
    assert Morvane.Morvane.__init__ is not object.__init__
    assert list.__init__.__doc__ == object.__init__.__doc__ != INIT_DOC


def test_pickling_hooks_moved_to_their_public_names():
    own = vars(Morvane.Morvane)
    assert own["__reduce__"].__name__ == "_Morvane__reduce"
    assert own["__setstate__"].__name__ == "_Morvane__setstate"
    assert "_Morvane__reduce" not in own
    assert "_Morvane__setstate" not in own
    # __reduce_ex__ comes from object, which then defers to our __reduce__
    assert "__reduce_ex__" not in own
    assert Morvane.Morvane.__reduce_ex__ is object.__reduce_ex__


def immutable_type_message(name):
    """CPython's refusal to change a static type, worded for our class."""
    try:
        setattr(int, name, 1)
    except TypeError as exc:
        return str(exc).replace("'int'", "'Morvane.Morvane'")
    raise AssertionError("int accepted a new attribute")


@pytest.mark.parametrize(
    "change, name",
    [
        (lambda name: setattr(Morvane.Morvane, name, 1), "extra"),
        (lambda name: setattr(Morvane.Morvane, name, len), "stemWord"),
        (lambda name: setattr(Morvane.Morvane, name, 0), "maxCacheSize"),
        (lambda name: delattr(Morvane.Morvane, name), "stemWord"),
        (lambda name: delattr(Morvane.Morvane, name), "__reduce__"),
        (lambda name: delattr(Morvane.Morvane, name), "missing"),
    ],
    ids=["set-new", "set-method", "set-property", "delete-method",
         "delete-reduce", "delete-missing"],
)
def test_class_is_immutable(change, name):
    before = dict(vars(Morvane.Morvane))
    raises_exactly(TypeError, immutable_type_message(name), change, name)
    assert dict(vars(Morvane.Morvane)) == before


def test_instances_have_no_dict(stemmer):
    assert Morvane.Morvane.__dictoffset__ == 0
    assert not hasattr(stemmer, "__dict__")


def test_instances_refuse_weak_references(stemmer):
    assert Morvane.Morvane.__weakrefoffset__ == 0
    raises_exactly(TypeError,
                   "cannot create weak reference to 'Morvane.Morvane' object",
                   weakref.ref, stemmer)


# Function objects


FUNCTIONS = {
    "algorithms": lambda: vars(Morvane)["algorithms"],
    "version": lambda: vars(Morvane)["version"],
    "purgeCache": lambda: vars(Morvane.Morvane)["_Morvane__purgeCache"],
    "stemWord": lambda: vars(Morvane.Morvane)["stemWord"],
    "stemWords": lambda: vars(Morvane.Morvane)["stemWords"],
}

FUNCTION_ATTRIBUTES = {
    "algorithms": ("algorithms", "algorithms", (False,)),
    "version": ("version", "version", None),
    "purgeCache": ("_Morvane__purgeCache", "Morvane.__purgeCache", None),
    "stemWord": ("stemWord", "Morvane.stemWord", None),
    "stemWords": ("stemWords", "Morvane.stemWords", None),
}


@pytest.mark.parametrize("key", list(FUNCTIONS))
def test_function_attributes(key):
    func = FUNCTIONS[key]()
    name, qualname, defaults = FUNCTION_ATTRIBUTES[key]
    assert func.__name__ == name
    assert func.__qualname__ == qualname
    assert func.__module__ == "Morvane"
    assert func.__defaults__ == defaults
    assert func.__globals__ is vars(Morvane)


def test_algorithms_defaults():
    assert type(Morvane.algorithms.__defaults__) is tuple
    assert Morvane.algorithms.__defaults__ == (False,)
    assert Morvane.algorithms.__defaults__[0] is False


# Binding like Python functions

METHOD_NAMES = ["_Morvane__purgeCache", "stemWord", "stemWords"]


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_method_found_on_instance_binds(stemmer, name):
    bound = getattr(stemmer, name)
    assert type(bound) is types.MethodType
    assert bound.__self__ is stemmer
    assert bound.__func__ is vars(Morvane.Morvane)[name]


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_method_found_on_class_stays_unbound(name):
    func = vars(Morvane.Morvane)[name]
    assert getattr(Morvane.Morvane, name) is func
    assert func.__get__(None, Morvane.Morvane) is func


def test_method_binds_on_subclass_instance():
    class Sub(Morvane.Morvane):
        pass

    sub = Sub("english")
    assert sub.stemWord.__func__ is vars(Morvane.Morvane)["stemWord"]
    assert sub.stemWord("running") == "run"


@pytest.mark.parametrize(
    "call",
    [
        lambda s: Morvane.Morvane.stemWord(s, "running"),
        lambda s: Morvane.Morvane.stemWord(s, word="running"),
        lambda s: Morvane.Morvane.stemWords(s, ["running"])[0],
        lambda s: Morvane.Morvane.stemWords(s, words=("running",))[0],
    ],
    ids=["stemWord", "stemWord-keyword", "stemWords", "stemWords-keyword"],
)
def test_call_through_class_takes_first_argument_as_instance(stemmer, call):
    assert call(stemmer) == "run"


def test_purge_through_class_acts_on_the_given_instance(uncached):
    """With capacity 0 every purge installs a new, empty cache dict."""
    before, _ = cache_of(uncached)
    assert Morvane.Morvane._Morvane__purgeCache(uncached) is None
    after, _ = cache_of(uncached)
    assert after == {} and after is not before


@pytest.mark.parametrize("function", ["algorithms", "version"])
def test_module_function_binds_when_stored_on_a_class(function):
    """Like a def function: the instance arrives as the first argument."""
    namespace = {function: getattr(Morvane, function)}
    Holder = type("Holder", (), namespace)
    holder = Holder()
    assert getattr(holder, function).__self__ is holder
    if function == "algorithms":
        assert holder.algorithms() == Morvane.algorithms()
    else:
        raises_exactly(TypeError, "version() takes no arguments (1 given)",
                       holder.version)


# Calls through the class without a usable instance


class LooksLikeAStemmer:
    """Has the names a stemmer has, but is no Morvane.Morvane."""

    maxCacheSize = 10000

    def stemWord(self, word):
        raise AssertionError("must not be called")


NOT_INSTANCES = [
    (1, "int"),
    ("english", "str"),
    (None, "NoneType"),
    (b"word", "bytes"),
    (LooksLikeAStemmer(), "LooksLikeAStemmer"),
    (Morvane.Morvane, "type"),
]


@pytest.mark.parametrize("name", METHOD_NAMES)
@pytest.mark.parametrize(
    "obj, type_name", NOT_INSTANCES,
    ids=[type_name for _, type_name in NOT_INSTANCES],
)
def test_call_through_class_refuses_non_instance(name, obj, type_name):
    args = () if name == "_Morvane__purgeCache" else ("running",)
    raises_exactly(
        TypeError,
        f"descriptor '{name}' for 'Morvane.Morvane' objects doesn't apply "
        f"to a '{type_name}' object",
        getattr(Morvane.Morvane, name), obj, *args)


@pytest.mark.parametrize("name", METHOD_NAMES)
@pytest.mark.parametrize(
    "kwargs", [{}, {"word": "x"}, {"words": ["x"]}],
    ids=["no-arguments", "word-keyword", "words-keyword"],
)
def test_call_through_class_without_positional_argument(name, kwargs):
    raises_exactly(TypeError, f"{name}() needs an argument",
                   getattr(Morvane.Morvane, name), **kwargs)
