// What the cache's data model costs by itself: stemWords over a list of
// ASCII str words with nothing but the C API calls that the model needs,
// and none of the module's own code (no key index, no dict watcher, no
// overridable purge, no argument checks, no error paths worth the name).
//
// A word is looked up under its UTF-8 bytes in a dict; a miss stems it,
// decodes the stem, stores [stem, counter] under the key and makes counter
// + 1; a hit takes the stem, stamps the entry with the counter and makes
// counter + 1; once the dict holds the capacity, a purge copies the entries
// stamped after counter - 8/10 of the capacity into a new dict, presized as
// the module's is, and drops the old one. Stamps and the counter are
// compared as C integers, the purge is not looked up by name, and a failure
// simply stops the call with the exception set.
//
// Built by miss_floor.py as a shared library against the running
// interpreter's headers and called through ctypes.PyDLL, which keeps the
// interpreter's lock; it is not linked with libpython, whose symbols the
// interpreter that loads it provides.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <libstemmer.h>

namespace {

// The purge's new dict, presized where the module presizes it.
PyObject *
new_presized(Py_ssize_t size)
{
#if PY_VERSION_HEX >= 0x030C0000
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// Keeps the entries stamped after counter - keep, in a new dict.
PyObject *
purge(PyObject *cache, long long counter, long long keep)
{
    const Py_ssize_t size = PyDict_GET_SIZE(cache);
    const Py_ssize_t survivors = keep <= 1 ? 0 : keep - 1;
    PyObject *fresh = new_presized(survivors < size ? survivors : size);
    if (fresh == nullptr) {
        return nullptr;
    }
    const long long minimum = counter - keep;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *entry = nullptr;
    while (PyDict_Next(cache, &pos, &key, &entry)) {
        if (PyLong_AsLongLong(PyList_GET_ITEM(entry, 1)) > minimum &&
            PyDict_SetItem(fresh, key, entry) < 0) {
            Py_DECREF(fresh);
            return nullptr;
        }
    }
    return fresh;
}

}  // namespace

extern "C" {

// The stems of words (a list of ASCII str), with a fresh cache of the given
// capacity: 0 stems without a cache, a negative capacity never purges.
// A new list, or null with an exception set.
PyObject *
floor_stem_words(PyObject *words, int capacity)
{
    static sb_stemmer *stemmer = sb_stemmer_new("english", "UTF_8");
    if (stemmer == nullptr) {
        return PyErr_NoMemory();
    }
    const Py_ssize_t count = PyList_GET_SIZE(words);
    PyObject *result = PyList_New(count);
    PyObject *cache = PyDict_New();
    long long counter = 0;
    PyObject *counter_object = PyLong_FromLongLong(0);
    if (result == nullptr || cache == nullptr || counter_object == nullptr) {
        goto fail;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *word = PyList_GET_ITEM(words, i);
        const char *data = static_cast<const char *>(PyUnicode_DATA(word));
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
        PyObject *stem = nullptr;
        if (capacity == 0) {
            const sb_symbol *out = sb_stemmer_stem(
                stemmer, reinterpret_cast<const sb_symbol *>(data),
                static_cast<int>(size));
            stem = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(out),
                                        sb_stemmer_length(stemmer), "strict");
            if (stem == nullptr) {
                goto fail;
            }
            PyList_SET_ITEM(result, i, stem);
            continue;
        }
        PyObject *key = PyBytes_FromStringAndSize(data, size);
        if (key == nullptr) {
            goto fail;
        }
        PyObject *entry = PyDict_GetItemWithError(cache, key);
        const bool missed = entry == nullptr;
        if (missed && PyErr_Occurred()) {
            Py_DECREF(key);
            goto fail;
        }
        if (!missed) {
            stem = Py_NewRef(PyList_GET_ITEM(entry, 0));
            PyObject *old = PyList_GET_ITEM(entry, 1);
            PyList_SET_ITEM(entry, 1, Py_NewRef(counter_object));
            Py_DECREF(old);
        }
        else {
            const sb_symbol *out = sb_stemmer_stem(
                stemmer, reinterpret_cast<const sb_symbol *>(data),
                static_cast<int>(size));
            stem = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(out),
                                        sb_stemmer_length(stemmer), "strict");
            entry = stem == nullptr ? nullptr : PyList_New(2);
            if (entry == nullptr ||
                (PyList_SET_ITEM(entry, 0, Py_NewRef(stem)),
                 PyList_SET_ITEM(entry, 1, Py_NewRef(counter_object)),
                 PyDict_SetItem(cache, key, entry) < 0)) {
                Py_XDECREF(entry);
                Py_XDECREF(stem);
                Py_DECREF(key);
                goto fail;
            }
            Py_DECREF(entry);
        }
        Py_DECREF(key);
        PyList_SET_ITEM(result, i, stem);
        Py_SETREF(counter_object, PyLong_FromLongLong(++counter));
        if (counter_object == nullptr) {
            goto fail;
        }
        if (!missed || capacity < 0 || PyDict_GET_SIZE(cache) < capacity) {
            continue;
        }
        PyObject *fresh = purge(cache, counter, 8LL * capacity / 10);
        if (fresh == nullptr) {
            goto fail;
        }
        Py_SETREF(cache, fresh);
    }
    Py_DECREF(cache);
    Py_DECREF(counter_object);
    return result;
fail:
    Py_XDECREF(result);
    Py_XDECREF(cache);
    Py_XDECREF(counter_object);
    return nullptr;
}

}  // extern "C"
