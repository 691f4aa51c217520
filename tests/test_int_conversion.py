"""maxCacheSize is a signed 32-bit C int: conversion from Python objects, by
the constructor and by the property setter alike."""

import ctypes
import decimal
import warnings

import pytest

import Morvane
from conftest import (
    Custom,
    IndexOnly,
    IntReturningSubclass,
    IntSubclass,
    cache_of,
    cpython_message,
    raises_exactly,
)

DEPRECATED = (
    "__int__ returned non-int (type %s).  The ability to return an instance "
    "of a strict subclass of int is deprecated, and may be removed in a "
    "future version of Python."
)
TOO_LARGE = "value too large to convert to int"


def long_overflow(value):
    """CPython's OverflowError message for value in PyLong_AsLong, which
    the module's conversion passes on beyond the 64-bit range."""
    as_long = ctypes.pythonapi.PyLong_AsLong
    as_long.argtypes = (ctypes.py_object,)
    as_long.restype = ctypes.c_long
    return cpython_message(as_long, value)


LONG_OVERFLOW = long_overflow(2**64)


class IntRaises:
    def __int__(self):
        raise Custom("from __int__")


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def via_constructor(value):
    return Morvane.Morvane("english", value).maxCacheSize


def via_setter(value):
    """Assign to a used instance; a failed assignment must change nothing."""
    s = Morvane.Morvane("english", 123)
    s.stemWord("running")
    cache, counter = cache_of(s)
    try:
        s.maxCacheSize = value
    except BaseException:
        assert s.maxCacheSize == 123
        assert cache_of(s)[0] is cache
        assert cache_of(s) == ({b"running": ["run", 0]}, counter)
        raise
    return s.maxCacheSize


@pytest.fixture(params=[via_constructor, via_setter], ids=["constructor", "setter"])
def convert(request):
    return request.param


def cpython_error(func, *args):
    try:
        func(*args)
    except Exception as exc:
        return type(exc), str(exc)
    raise AssertionError("no error")


def int_message(value):
    """CPython's own message for int(value), which varies between versions."""
    return cpython_error(int, value)[1]


@pytest.mark.parametrize(
    "value, stored",
    [
        # ints in range are stored unchanged
        (0, 0),
        (1, 1),
        (-1, -1),
        (2147483647, 2147483647),
        (-2147483648, -2147483648),
        # int subclasses are taken directly
        (True, 1),
        (False, 0),
        (IntSubclass(7), 7),
        # anything else goes through __int__, truncating toward zero
        (2.9, 2),
        (-2.9, -2),
        (2147483647.9, 2147483647),
        (decimal.Decimal("3.7"), 3),
        (IntReturns(-5), -5),
    ],
    ids=[
        "zero",
        "one",
        "minus-one",
        "int-max",
        "int-min",
        "true",
        "false",
        "int-subclass",
        "float",
        "negative-float",
        "float-near-max",
        "decimal",
        "custom-__int__",
    ],
)
def test_accepted(convert, value, stored):
    result = convert(value)
    assert type(result) is int
    assert result == stored


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        # out of the C int range
        (2147483648, OverflowError, TOO_LARGE),
        (-2147483649, OverflowError, TOO_LARGE),
        (2**63 - 1, OverflowError, TOO_LARGE),
        (-(2**63), OverflowError, TOO_LARGE),
        (IntSubclass(2**31), OverflowError, TOO_LARGE),
        (2147483648.0, OverflowError, TOO_LARGE),
        # out of the C long range
        (2**63, OverflowError, LONG_OVERFLOW),
        (2**70, OverflowError, LONG_OVERFLOW),
        (-(2**70), OverflowError, LONG_OVERFLOW),
        (1e30, OverflowError, LONG_OVERFLOW),
        # no __int__ (and __index__ is not enough)
        ("12", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (b"12", TypeError, "an integer is required"),
        # __int__ misbehaves
        (IntRaises(), Custom, "from __int__"),
        (IntReturns("x"), TypeError, "__int__ returned non-int (type str)"),
        (IntReturns(None), TypeError, "__int__ returned non-int (type NoneType)"),
        (IntReturns(2.5), TypeError, "__int__ returned non-int (type float)"),
        # CPython's own float errors pass through
        (float("nan"), ValueError, int_message(float("nan"))),
        (float("inf"), OverflowError, int_message(float("inf"))),
        (float("-inf"), OverflowError, int_message(float("-inf"))),
    ],
    ids=[
        "int-max-plus-one",
        "int-min-minus-one",
        "long-max",
        "long-min",
        "int-subclass-too-large",
        "float-too-large",
        "long-max-plus-one",
        "two-to-the-70",
        "minus-two-to-the-70",
        "huge-float",
        "str",
        "none",
        "index-only",
        "bytes",
        "__int__-raises",
        "__int__-returns-str",
        "__int__-returns-none",
        "__int__-returns-float",
        "nan",
        "inf",
        "minus-inf",
    ],
)
def test_refused(convert, value, exc_type, message):
    raises_exactly(exc_type, message, convert, value)


@pytest.mark.parametrize(
    "value",
    ["12", 2**31, 2**70, float("nan"), IntRaises()],
    ids=["str", "overflow", "long-overflow", "nan", "raises"],
)
def test_capacity_error_reported_before_unknown_name(value):
    exc_type, message = cpython_error(via_constructor, value)
    raises_exactly(exc_type, message, Morvane.Morvane, "xx", value)
    raises_exactly(exc_type, message, Morvane.Morvane, "xx", maxCacheSize=value)


# __int__ returning a strict subclass of int: deprecated, but still used


@pytest.mark.parametrize(
    "value, type_name, stored",
    [
        (IntReturningSubclass(42), "IntSubclass", 42),
        (IntReturningSubclass(-7), "IntSubclass", -7),
        (IntReturns(True), "bool", 1),
        (IntReturns(False), "bool", 0),
    ],
    ids=["int-subclass", "negative-int-subclass", "true", "false"],
)
def test_int_subclass_from___int___warns_and_is_used(convert, value, type_name, stored):
    with pytest.warns(DeprecationWarning) as record:
        assert convert(value) == stored
    assert len(record) == 1
    assert str(record[0].message) == DEPRECATED % type_name
    # stack level 1: the warning points at the Python code that converted
    assert record[0].filename == __file__


def test_int_subclass_from___int___out_of_range_warns_then_overflows(convert):
    with pytest.warns(DeprecationWarning, match="IntSubclass"):
        raises_exactly(OverflowError, TOO_LARGE, convert, IntReturningSubclass(2**31))


@pytest.mark.parametrize(
    "value, type_name",
    [(IntReturningSubclass(42), "IntSubclass"), (IntReturns(True), "bool")],
    ids=["int-subclass", "bool"],
)
def test_deprecation_as_error_refuses_value(convert, value, type_name):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        raises_exactly(DeprecationWarning, DEPRECATED % type_name, convert, value)
