// The stemming object: the instance struct, the two exec steps of the
// class that Morvane.cpp calls, and what the word cache needs of the class
// to stem a missed word and to purge.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// libstemmer's header is included here alone; the module's unit reads
// sb_stemmer_list through this file.
#include <libstemmer.h>

#include <climits>
#include <cstddef>

#include "ref.hpp"
#include "word_cache.hpp"

namespace morvane {

struct StemmingObject {
    PyObject_HEAD
    // Owned by this instance alone: deleted on destruction and when a
    // repeated __init__ replaces it. Null until the first successful
    // __init__, and after a repeated one failed on an unknown name.
    struct sb_stemmer *cobj;
    // Strong references; None until __init__ runs and after the collector
    // clears the object, null only during destruction. cache changes only
    // through word_cache_replace.
    PyObject *cache;
    PyObject *counter;
    int max_cache_size;
    // Keys of cache, by content, to spare a hit the encoded copy of its
    // word. Owned by this instance; replaced with cache, in the same step.
    KeyIndex index;
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

// Calls op.<name>(*args) through attribute lookup, as Python code would.
inline Ref
call_method(PyObject *op, PyObject *name, PyObject *arg = nullptr) noexcept
{
    // Slot 0 is scratch space the callee may use to prepend a bound self.
    PyObject *args[3] = {nullptr, op, arg};
    const size_t nargs = arg == nullptr ? 1 : 2;
    return Ref::from_new(PyObject_VectorcallMethod(
        name, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// What the word cache needs of the class

// The bytes libstemmer reads for an encoded word. The pointer stays valid
// only until Python code next runs.
struct WordBytes {
    const char *data;
    Py_ssize_t size;
};

// The buffer and byte count of an encoded word (bytes, bytearray or a
// subclass of either); false with an exception set for anything else.
bool word_bytes(PyObject *word, WordBytes &out) noexcept;

// Stems size bytes at data and decodes the stem as strict UTF-8 into a new
// str. libstemmer's result lives in the stemmer until its next call, so it
// is measured and copied at once. Inline: both stemWord without a cache and
// every cache miss come here.
inline PyObject *
stem_bytes(StemmingObject *self, const char *data, Py_ssize_t size) noexcept
{
    if (self->cobj == nullptr) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this Morvane object has no stemming algorithm: "
                        "__init__ has not run or failed");
        return nullptr;
    }
    if (size > INT_MAX) {
        PyErr_Format(PyExc_OverflowError,
                     "word of %zd bytes is too long to stem (at most %d)",
                     size, INT_MAX);
        return nullptr;
    }
    const sb_symbol *stem =
        sb_stemmer_stem(self->cobj, reinterpret_cast<const sb_symbol *>(data),
                        static_cast<int>(size));
    if (stem == nullptr) {
        return PyErr_NoMemory();
    }
    const Py_ssize_t length = sb_stemmer_length(self->cobj);
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(stem), length,
                                nullptr);
}

}  // namespace morvane
