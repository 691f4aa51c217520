// The stemmer: the one file that includes libstemmer.h. Opens and closes a
// libstemmer instance and stems an encoded word into a str or bytes; calls
// only libstemmer, CPython and Ref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <libstemmer.h>

#include <climits>
#include <cstring>

#include "ref.hpp"

namespace morvane {

// Opening and closing

// Why stemmer_open gave no stemmer.
enum class StemmerOpen { opened, unknown, no_memory };

// The names of the algorithms libstemmer has, without aliases; static.
inline const char **
stemmer_names() noexcept
{
    return sb_stemmer_list();
}

// Opens the algorithm called name, reading UTF-8, into out (null unless
// opened). libstemmer gives null both for a name it does not know and when
// memory runs out; a name it lists is known, so for one of those null means
// the memory. Aliases are not listed and stay unknown.
inline StemmerOpen
stemmer_open(const char *name, struct sb_stemmer *&out) noexcept
{
    out = sb_stemmer_new(name, "UTF_8");
    if (out != nullptr) {
        return StemmerOpen::opened;
    }
    for (const char **known = sb_stemmer_list(); *known != nullptr; ++known) {
        if (std::strcmp(*known, name) == 0) {
            return StemmerOpen::no_memory;
        }
    }
    return StemmerOpen::unknown;
}

// Deletes a stemmer; null is ignored. Runs no Python code.
inline void
stemmer_close(struct sb_stemmer *stemmer) noexcept
{
    sb_stemmer_delete(stemmer);
}

// Stemming

// The bytes libstemmer reads for an encoded word. The pointer stays valid
// only until Python code next runs.
struct WordBytes {
    const char *data;
    Py_ssize_t size;
};

// The buffer and byte count of an encoded word (bytes, bytearray or a
// subclass of either); false with an exception set for anything else. For
// a subclass, len() can run Python code that changes the object, so the
// count is taken first, the buffer after it, and a count larger than the
// buffer is refused rather than read past its end.
inline bool
word_bytes(PyObject *word, WordBytes &out) noexcept
{
    if (PyBytes_CheckExact(word)) {
        out = {PyBytes_AS_STRING(word), PyBytes_GET_SIZE(word)};
        return true;
    }
    if (PyByteArray_CheckExact(word)) {
        out = {PyByteArray_AS_STRING(word), PyByteArray_GET_SIZE(word)};
        return true;
    }
    if (!PyBytes_Check(word) && !PyByteArray_Check(word)) {
        // Fails for every other type, with the error callers expect.
        char *buffer = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(word, &buffer, &size) == 0) {
            PyErr_SetString(PyExc_SystemError, "unexpected word type");
        }
        return false;
    }
    const Py_ssize_t count = PyObject_Size(word);
    if (count < 0) {
        return false;
    }
    const bool is_bytearray = PyByteArray_Check(word);
    const char *data =
        is_bytearray ? PyByteArray_AS_STRING(word) : PyBytes_AS_STRING(word);
    const Py_ssize_t size =
        is_bytearray ? PyByteArray_GET_SIZE(word) : PyBytes_GET_SIZE(word);
    if (count > size) {
        PyErr_Format(PyExc_ValueError,
                     "word reports a length of %zd but holds only %zd bytes",
                     count, size);
        return false;
    }
    out = {data, count};
    return true;
}

// Stems size bytes at data and decodes the stem as strict UTF-8 into a new
// str, or null with an exception set. libstemmer's result lives in the
// stemmer until its next call, so it is measured and copied at once.
// stemmer is null for an instance that has none (its initialisation never
// ran or failed).
inline PyObject *
stem_to_str(struct sb_stemmer *stemmer, const char *data,
            Py_ssize_t size) noexcept
{
    if (stemmer == nullptr) {
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
        sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol *>(data),
                        static_cast<int>(size));
    if (stem == nullptr) {
        return PyErr_NoMemory();
    }
    const Py_ssize_t length = sb_stemmer_length(stemmer);
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(stem), length,
                                nullptr);
}

// The same stem as UTF-8 bytes: a stem that is not valid UTF-8 fails as it
// does for a str.
inline PyObject *
stem_to_bytes(struct sb_stemmer *stemmer, const char *data,
              Py_ssize_t size) noexcept
{
    Ref text = Ref::from_new(stem_to_str(stemmer, data, size));
    if (!text) {
        return nullptr;
    }
    return PyUnicode_AsUTF8String(text.get());
}

}  // namespace morvane
