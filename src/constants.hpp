// The module's constants: every string and small object that calls use at
// run time, created once by the exec slot and kept for the life of the
// process. Bottom floor: calls only CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cassert>

#ifndef MORVANE_VERSION
#error "MORVANE_VERSION must be defined by the build"
#endif

namespace morvane {

// Each member owns its object for the life of the process; nothing releases
// them, not even at interpreter shutdown.
struct Constants {
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    PyObject *empty_str;

    // Codecs and method names called by name
    PyObject *utf_8;
    PyObject *ascii;
    PyObject *encode;
    PyObject *decode;
    PyObject *module_version;

    // Callable and parameter names
    PyObject *algorithms;
    PyObject *version;
    PyObject *stemWord;
    PyObject *stemWords;
    PyObject *Morvane_purgeCache;
    PyObject *qualname_purgeCache;
    PyObject *qualname_stemWord;
    PyObject *qualname_stemWords;
    PyObject *aliases;
    PyObject *algorithm;
    PyObject *maxCacheSize;
    PyObject *word;
    PyObject *words;
    PyObject *state;

    // Module and class attributes
    PyObject *Morvane;
    PyObject *builtins;
    PyObject *init;
    PyObject *reduce;
    PyObject *setstate;
    PyObject *Morvane_reduce;
    PyObject *Morvane_setstate;
    PyObject *module_builtins;
    PyObject *module_docformat;
    PyObject *module_test;
    PyObject *restructuredtext_en;

    // Import spec attributes and the module attributes they become
    PyObject *name;
    PyObject *loader;
    PyObject *origin;
    PyObject *parent;
    PyObject *submodule_search_locations;
    PyObject *module_loader;
    PyObject *module_file;
    PyObject *module_package;
    PyObject *module_path;

    // Messages raised as objects
    PyObject *algorithm_not_found;
    PyObject *del;
    PyObject *cannot_pickle;

    PyObject *zero;
    PyObject *one;
};

inline Constants constants = {};

// Names one member of the table, as &Constants::encode does.
using ConstantMember = PyObject *Constants::*;

struct ConstantText {
    ConstantMember member;
    const char *text;
};

inline constexpr std::array constant_texts = {
    ConstantText{&Constants::utf_8, "utf-8"},
    ConstantText{&Constants::ascii, "ascii"},
    ConstantText{&Constants::encode, "encode"},
    ConstantText{&Constants::decode, "decode"},
    ConstantText{&Constants::module_version, MORVANE_VERSION},
    ConstantText{&Constants::algorithms, "algorithms"},
    ConstantText{&Constants::version, "version"},
    ConstantText{&Constants::stemWord, "stemWord"},
    ConstantText{&Constants::stemWords, "stemWords"},
    ConstantText{&Constants::Morvane_purgeCache, "_Morvane__purgeCache"},
    ConstantText{&Constants::qualname_purgeCache, "Morvane.__purgeCache"},
    ConstantText{&Constants::qualname_stemWord, "Morvane.stemWord"},
    ConstantText{&Constants::qualname_stemWords, "Morvane.stemWords"},
    ConstantText{&Constants::aliases, "aliases"},
    ConstantText{&Constants::algorithm, "algorithm"},
    ConstantText{&Constants::maxCacheSize, "maxCacheSize"},
    ConstantText{&Constants::word, "word"},
    ConstantText{&Constants::words, "words"},
    ConstantText{&Constants::state, "state"},
    ConstantText{&Constants::Morvane, "Morvane"},
    ConstantText{&Constants::builtins, "builtins"},
    ConstantText{&Constants::init, "__init__"},
    ConstantText{&Constants::reduce, "__reduce__"},
    ConstantText{&Constants::setstate, "__setstate__"},
    ConstantText{&Constants::Morvane_reduce, "_Morvane__reduce"},
    ConstantText{&Constants::Morvane_setstate, "_Morvane__setstate"},
    ConstantText{&Constants::module_builtins, "__builtins__"},
    ConstantText{&Constants::module_docformat, "__docformat__"},
    ConstantText{&Constants::module_test, "__test__"},
    ConstantText{&Constants::restructuredtext_en, "restructuredtext en"},
    ConstantText{&Constants::name, "name"},
    ConstantText{&Constants::loader, "loader"},
    ConstantText{&Constants::origin, "origin"},
    ConstantText{&Constants::parent, "parent"},
    ConstantText{&Constants::submodule_search_locations,
                 "submodule_search_locations"},
    ConstantText{&Constants::module_loader, "__loader__"},
    ConstantText{&Constants::module_file, "__file__"},
    ConstantText{&Constants::module_package, "__package__"},
    ConstantText{&Constants::module_path, "__path__"},
    ConstantText{&Constants::algorithm_not_found,
                 "Stemming algorithm '%s' not found"},
    ConstantText{&Constants::del, "__del__"},
    ConstantText{&Constants::cannot_pickle,
                 "self.cobj cannot be converted to a Python object for "
                 "pickling"},
};

inline bool
constants_complete() noexcept
{
    for (const ConstantText &entry : constant_texts) {
        if (constants.*entry.member == nullptr) {
            return false;
        }
    }
    return constants.empty_tuple != nullptr &&
           constants.empty_bytes != nullptr &&
           constants.empty_str != nullptr && constants.zero != nullptr &&
           constants.one != nullptr;
}

// Creates every constant once. After a failed import the exec slot runs
// again; what an earlier run created is kept, and only what is missing is
// made.
inline int
fill_constants() noexcept
{
    if (constants_complete()) {
        return 0;
    }
    if (constants.empty_tuple == nullptr &&
        (constants.empty_tuple = PyTuple_New(0)) == nullptr) {
        return -1;
    }
    if (constants.empty_bytes == nullptr &&
        (constants.empty_bytes = PyBytes_FromStringAndSize("", 0)) ==
            nullptr) {
        return -1;
    }
    if (constants.empty_str == nullptr &&
        (constants.empty_str = PyUnicode_FromStringAndSize("", 0)) ==
            nullptr) {
        return -1;
    }
    for (const ConstantText &entry : constant_texts) {
        PyObject *&slot = constants.*entry.member;
        if (slot != nullptr) {
            continue;
        }
        PyObject *text = PyUnicode_InternFromString(entry.text);
        if (text == nullptr) {
            return -1;
        }
        // Hash now, so that no later dict lookup or comparison has to.
        if (PyObject_Hash(text) == -1) {
            Py_DECREF(text);
            return -1;
        }
        slot = text;
    }
    if (constants.zero == nullptr &&
        (constants.zero = PyLong_FromLong(0)) == nullptr) {
        return -1;
    }
    if (constants.one == nullptr &&
        (constants.one = PyLong_FromLong(1)) == nullptr) {
        return -1;
    }
    assert(constants_complete());
    return 0;
}

}  // namespace morvane
