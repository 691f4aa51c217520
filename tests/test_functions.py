"""The module-level functions algorithms() and version()."""

import ctypes

import pytest

import Morvane
from conftest import RaisingBool


def libstemmer_names():
    """The names in libstemmer's own list, read from the library the
    module is linked against (looked up through the module's handle)."""
    sb_stemmer_list = ctypes.CDLL(Morvane.__file__).sb_stemmer_list
    sb_stemmer_list.restype = ctypes.POINTER(ctypes.c_char_p)
    sb_stemmer_list.argtypes = []
    array = sb_stemmer_list()
    names = []
    while array[len(names)] is not None:
        names.append(array[len(names)].decode("ascii"))
    return names


# algorithms()


def test_algorithms_is_libstemmer_list_in_its_order():
    """Nothing added, dropped, sorted or made unique."""
    names = Morvane.algorithms()
    assert names == libstemmer_names()
    assert "english" in names and "porter" in names


@pytest.mark.parametrize(
    "call",
    [
        lambda: Morvane.algorithms(False),
        lambda: Morvane.algorithms(True),
        lambda: Morvane.algorithms(aliases=False),
        lambda: Morvane.algorithms(aliases=True),
        lambda: Morvane.algorithms(None),
        lambda: Morvane.algorithms(aliases=object()),
        lambda: Morvane.algorithms(RaisingBool()),
        lambda: Morvane.algorithms(aliases=RaisingBool()),
    ],
    ids=["False", "True", "kw-False", "kw-True", "None", "kw-object",
         "raising-bool", "kw-raising-bool"],
)
def test_aliases_value_is_never_examined(call):
    assert call() == Morvane.algorithms()


def test_algorithms_returns_a_fresh_list_each_call():
    first = Morvane.algorithms()
    expected = list(first)
    first.append("bogus")
    first[0] = "changed"
    second = Morvane.algorithms()
    assert second is not first
    assert second == expected


def test_algorithms_returns_exact_list_of_exact_str():
    names = Morvane.algorithms()
    assert type(names) is list
    assert names and all(type(name) is str for name in names)


# version()


def test_version_string():
    value = Morvane.version()
    assert type(value) is str
    assert value == "3.1.0"


def test_version_returns_the_same_object_every_call():
    assert Morvane.version() is Morvane.version()


def test_version_agrees_with_the_installed_distribution():
    from importlib import metadata

    try:
        installed = metadata.version("Tarnwick")
    except metadata.PackageNotFoundError:
        pytest.skip("Morvane is not installed as the Tarnwick distribution")
    assert Morvane.version() == installed


# The argument errors of both functions are in test_binding.py's table;
# that every listed name makes a working stemmer, in test_lifecycle.py.
