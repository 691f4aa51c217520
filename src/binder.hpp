// The one argument binder that every function and method of the module
// uses, so that every binding TypeError has the same wording and the same
// order of tests. Bottom floor: calls CPython and the constants.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

#include "constants.hpp"

namespace morvane {

inline constexpr Py_ssize_t max_parameters = 2;

struct Signature {
    const char *name;  // the name messages report
    std::array<ConstantMember, max_parameters> parameters;
    Py_ssize_t count;     // number of parameters
    Py_ssize_t required;  // the first `required` parameters have no default
    // A function that takes nothing at all and says so in its own words
    // ("takes no arguments") rather than in the positional-count format.
    bool takes_nothing = false;
};

// Reaches a METH_FASTCALL | METH_KEYWORDS function through the PyCFunction
// type that PyMethodDef stores.
template <typename Function>
PyCFunction
as_method(Function function) noexcept
{
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(function));
}

namespace binder_detail {

inline constexpr const char positional_format[] =
    "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";

inline bool
report_count(const Signature &sig, bool too_many, Py_ssize_t given) noexcept
{
    const char *qualifier = "exactly";
    Py_ssize_t count = sig.count;
    if (sig.required != sig.count) {
        qualifier = too_many ? "at most" : "at least";
        count = too_many ? sig.count : sig.required;
    }
    PyErr_Format(PyExc_TypeError, positional_format, sig.name, qualifier,
                 count, count == 1 ? "" : "s", given);
    return false;
}

// Keyword arguments as the vectorcall protocol passes them: a tuple of
// names, the values after the positional arguments.
struct VectorKeywords {
    PyObject *names;
    PyObject *const *values;

    Py_ssize_t
    size() const noexcept
    {
        return names == nullptr ? 0 : PyTuple_GET_SIZE(names);
    }

    bool
    next(Py_ssize_t &pos, PyObject **name, PyObject **value) const noexcept
    {
        if (pos >= size()) {
            return false;
        }
        *name = PyTuple_GET_ITEM(names, pos);
        *value = values[pos];
        ++pos;
        return true;
    }
};

// Keyword arguments as tp_init receives them: a dict, or null.
struct DictKeywords {
    PyObject *dict;

    Py_ssize_t
    size() const noexcept
    {
        return dict == nullptr ? 0 : PyDict_GET_SIZE(dict);
    }

    bool
    next(Py_ssize_t &pos, PyObject **name, PyObject **value) const noexcept
    {
        return dict != nullptr && PyDict_Next(dict, &pos, name, value) != 0;
    }
};

inline Py_ssize_t
find_parameter(const Signature &sig, PyObject *name) noexcept
{
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (constants.*sig.parameters[static_cast<size_t>(i)] == name) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        PyObject *parameter =
            constants.*sig.parameters[static_cast<size_t>(i)];
        if (PyUnicode_Compare(parameter, name) == 0) {
            return i;
        }
    }
    return -1;
}

template <typename Keywords>
bool
bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
     const Keywords &keywords, PyObject **bound) noexcept
{
    const Py_ssize_t nkeywords = keywords.size();
    if (sig.takes_nothing) {
        if (nkeywords > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", sig.name,
                         "takes no keyword arguments");
            return false;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", sig.name,
                         "takes no arguments", nargs);
            return false;
        }
        return true;
    }
    if (nargs > sig.count) {
        return report_count(sig, true, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        bound[i] = args[i];
    }
    Py_ssize_t pos = 0;
    PyObject *name = nullptr;
    PyObject *value = nullptr;
    while (keywords.next(pos, &name, &value)) {
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         sig.name);
            return false;
        }
        const Py_ssize_t index = find_parameter(sig, name);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         sig.name, name);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         sig.name, name);
            return false;
        }
        bound[index] = value;
    }
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (bound[i] == nullptr) {
            return report_count(sig, false, nargs);
        }
    }
    return true;
}

}  // namespace binder_detail

// Binds a vectorcall's arguments (the instance, if any, already taken off)
// to sig's parameters. bound must hold sig.count null pointers; it receives
// borrowed references, and unbound optional parameters stay null. On
// failure a TypeError is set and false returned.
inline bool
bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
     PyObject *kwnames, PyObject **bound) noexcept
{
    if (kwnames == nullptr && nargs == sig.count && !sig.takes_nothing) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            bound[i] = args[i];
        }
        return true;
    }
    return binder_detail::bind(
        sig, args, nargs, binder_detail::VectorKeywords{kwnames, args + nargs},
        bound);
}

// The same for an argument tuple and a keyword dict (tp_init).
inline bool
bind(const Signature &sig, PyObject *args, PyObject *kwargs,
     PyObject **bound) noexcept
{
    return binder_detail::bind(sig, PySequence_Fast_ITEMS(args),
                               PyTuple_GET_SIZE(args),
                               binder_detail::DictKeywords{kwargs}, bound);
}

}  // namespace morvane
