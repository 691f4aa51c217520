// The stemming object: what Morvane.cpp needs of the class to ready it and
// install its methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "key_index.hpp"

struct sb_stemmer;

namespace morvane {

struct StemmingObject {
    PyObject_HEAD
    // Owned by this instance alone: deleted on destruction and when a
    // repeated __init__ replaces it. Null until the first successful
    // __init__, and after a repeated one failed on an unknown name.
    struct sb_stemmer *cobj;
    // Strong references; None until __init__ runs and after the collector
    // clears the object, null only during destruction.
    PyObject *cache;
    PyObject *counter;
    int max_cache_size;
    // Keys of cache, by content, to spare a hit the encoded copy of its
    // word. Owned by this instance; emptied whenever cache is replaced.
    KeyIndex index;
};

extern PyTypeObject StemmingType;

// The class's method table, in this order: the purge method, stemWord,
// stemWords, then the two pickling refusals under their private hook names.
extern PyMethodDef stemming_methods[];

// The docstring of __init__, behind the signature that inspect reads; the
// interpreter shows only what follows the "--" line as __doc__.
inline constexpr const char stemming_init_signed_doc[] =
    "__init__($self, /, algorithm, maxCacheSize=10000)\n--\n\n"
    "Initialise a stemmer.\n\n        See the class documentation for "
    "details.\n\n        ";

}  // namespace morvane
