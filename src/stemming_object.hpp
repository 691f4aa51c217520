// The class Morvane.Morvane: its instance struct and the two exec steps of
// the class that Morvane.cpp calls. Calls the word cache, the stemmer and
// the bottom floor.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ref.hpp"
#include "stemmer.hpp"
#include "word_cache.hpp"

namespace morvane {

struct StemmingObject {
    PyObject_HEAD
    // Owned by this instance alone: deleted on destruction and when a
    // repeated __init__ replaces it. Null until the first successful
    // __init__, and after a repeated one failed to open its algorithm.
    struct sb_stemmer *cobj;
    // The fields cache, counter and max_cache_size, in that order, and the
    // key index; owned by this instance.
    WordCache word_cache;
};

extern PyTypeObject StemmingType;

inline StemmingObject *
as_stemming(PyObject *op) noexcept
{
    return reinterpret_cast<StemmingObject *>(op);
}

// Only an instance of exactly this class is sure to run the methods written
// here: a subclass may override any of them, so calls between methods go
// through attribute lookup for subclasses and straight to C for the class.
inline bool
is_exact(PyObject *op) noexcept
{
    return Py_IS_TYPE(op, &StemmingType);
}

// The class's two exec steps; the module's __docformat__ and functions come
// between them. Both answer 0, or -1 with an exception set.

// Readies the class, gives __init__ its docstring, stores the class in the
// module as Morvane and moves the pickling refusals to __reduce__ and
// __setstate__.
int stemming_ready(PyObject *module) noexcept;

// Stores the function objects of the purge method, stemWord and stemWords
// in the class's dict, in that order, each in place of the descriptor that
// readiness made; globals is the module's dict.
int stemming_install_methods(PyObject *globals) noexcept;

}  // namespace morvane
