// The class Morvane.Morvane: its type object and the life of an instance,
// the native-int conversion, the purge method and the capacity property,
// and the two stemming methods. Calls the word cache, the stemmer and the
// bottom floor (Ref, binder, constants, function objects, compat).
#include "stemming_object.hpp"

#include <climits>
#include <cstdint>
#include <iterator>

#include "binder.hpp"
#include "constants.hpp"
#include "cpython_compat.hpp"
#include "function_object.hpp"
#include "ref.hpp"
#include "stemmer.hpp"
#include "word_cache.hpp"

namespace morvane {
namespace {

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

// What the word cache asks of an instance

struct sb_stemmer *
owner_stemmer(PyObject *op) noexcept
{
    return as_stemming(op)->cobj;
}

bool
owner_purge_overridable(PyObject *op) noexcept
{
    return !is_exact(op);
}

// Calls the instance's purge method as the setter and stemWord do: by name
// for a subclass, which may override it; result dropped.
int
call_purgeCache(PyObject *op) noexcept
{
    Ref result =
        is_exact(op)
            ? Ref::from_new(word_cache_purge(as_stemming(op)->word_cache))
            : call_method(op, constants.Morvane_purgeCache);
    return result ? 0 : -1;
}

constexpr CacheOwner cache_owner = {
    owner_stemmer,
    owner_purge_overridable,
    call_purgeCache,
};

// Native-int conversion

// Converts x to a C int as the capacity needs it. Returns -1 with an
// exception set on failure; -1 is also a valid result, so callers test
// PyErr_Occurred().
int
as_native_int(PyObject *x) noexcept
{
    Ref converted;
    if (!PyLong_Check(x)) {
        PyNumberMethods *number = Py_TYPE(x)->tp_as_number;
        if (number == nullptr || number->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return -1;
        }
        converted = Ref::from_new(number->nb_int(x));
        if (!converted) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_TypeError, "an integer is required");
            }
            return -1;
        }
        PyObject *result = converted.get();
        if (!PyLong_CheckExact(result)) {
            if (!PyLong_Check(result)) {
                PyErr_Format(PyExc_TypeError,
                             "__int__ returned non-int (type %.200s)",
                             Py_TYPE(result)->tp_name);
                return -1;
            }
            if (PyErr_WarnFormat(
                    PyExc_DeprecationWarning, 1,
                    "__int__ returned non-int (type %.200s).  The ability "
                    "to return an instance of a strict subclass of int is "
                    "deprecated, and may be removed in a future version of "
                    "Python.",
                    Py_TYPE(result)->tp_name) < 0) {
                return -1;
            }
        }
        x = result;
    }
    const long value = PyLong_AsLong(x);
    if (value == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError,
                        "value too large to convert to int");
        return -1;
    }
    return static_cast<int>(value);
}

// Signatures

constexpr Signature init_sig = {
    "__init__", {&Constants::algorithm, &Constants::maxCacheSize}, 2, 1};
constexpr Signature purgeCache_sig = {"_Morvane__purgeCache", {}, 0, 0};
constexpr Signature stemWord_sig = {"stemWord", {&Constants::word}, 1, 1};
constexpr Signature stemWords_sig = {"stemWords", {&Constants::words}, 1, 1};
constexpr Signature reduce_sig = {"_Morvane__reduce", {}, 0, 0};
constexpr Signature setstate_sig = {
    "_Morvane__setstate", {&Constants::state}, 1, 1};

// Creation, initialisation, destruction

PyObject *
stemming_new(PyTypeObject *type, PyObject *, PyObject *) noexcept
{
    PyObject *op;
    if (PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
        // object.__new__ raises the abstract-class error for us.
        op = PyBaseObject_Type.tp_new(type, constants.empty_tuple, nullptr);
    }
    else {
        op = type->tp_alloc(type, 0);
    }
    if (op == nullptr) {
        return nullptr;
    }
    word_cache_init(as_stemming(op)->word_cache, op, cache_owner);
    return op;
}

// The docstring of __init__, behind the signature that inspect reads; the
// interpreter shows only what follows the "--" line as __doc__. Readiness
// gives it to the slot wrapper.
constexpr const char stemming_init_signed_doc[] =
    "__init__($self, /, algorithm, maxCacheSize=10000)\n--\n\n"
    "Initialise a stemmer.\n\n        See the class documentation for "
    "details.\n\n        ";

int
stemming_init(PyObject *op, PyObject *args, PyObject *kwargs) noexcept
{
    PyObject *bound[2] = {};
    if (!bind(init_sig, args, kwargs, bound)) {
        return -1;
    }
    // Held across the calls below, which run Python code.
    Ref algorithm = Ref::from_borrowed(bound[0]);
    Ref capacity_arg = Ref::from_borrowed(bound[1]);

    int capacity = 10000;
    if (capacity_arg) {
        capacity = as_native_int(capacity_arg.get());
        if (capacity == -1 && PyErr_Occurred()) {
            return -1;
        }
    }
    PyObject *encode_args[] = {algorithm.get(), constants.ascii};
    Ref encoded = Ref::from_new(
        PyObject_VectorcallMethod(constants.encode, encode_args, 2, nullptr));
    if (!encoded) {
        return -1;
    }
    // The name ends at its first NUL: libstemmer reads a C string.
    const char *name;
    if (PyByteArray_Check(encoded.get())) {
        name = PyByteArray_AS_STRING(encoded.get());
    }
    else {
        char *buffer = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &buffer, &size) < 0) {
            return -1;
        }
        name = buffer;
    }
    struct sb_stemmer *stemmer = nullptr;
    const StemmerOpen opened = stemmer_open(name, stemmer);

    StemmingObject *self = as_stemming(op);
    stemmer_close(self->cobj);
    self->cobj = stemmer;
    if (opened == StemmerOpen::no_memory) {
        // libstemmer lists the name, so it is known: saying it was not
        // found would send the caller looking for the wrong fault.
        PyErr_NoMemory();
        return -1;
    }
    if (opened == StemmerOpen::unknown) {
        Ref message = Ref::from_new(PyNumber_Remainder(
            constants.algorithm_not_found, algorithm.get()));
        if (!message) {
            return -1;
        }
        // Built by hand so that the message is the one argument, whatever
        // its type.
        Ref error =
            Ref::from_new(PyObject_CallOneArg(PyExc_KeyError, message.get()));
        if (!error) {
            return -1;
        }
        PyErr_SetObject(PyExc_KeyError, error.get());
        return -1;
    }
    WordCache &words = self->word_cache;
    words.max_cache_size = capacity;
    Py_SETREF(words.counter, Py_NewRef(constants.zero));
    Ref cache = Ref::from_new(PyDict_New());
    if (!cache) {
        return -1;
    }
    word_cache_replace(words, cache.release());
    return 0;
}

void
stemming_dealloc(PyObject *op) noexcept
{
    StemmingObject *self = as_stemming(op);
    PyObject_GC_UnTrack(op);
    {
        // Whatever exception is pending when the object goes must survive
        // its destruction.
        compat::PendingError pending;
        compat::adjust_refcount_in_dealloc(op, 1);
        stemmer_close(self->cobj);
        compat::adjust_refcount_in_dealloc(op, -1);
    }
    self->cobj = nullptr;
    word_cache_replace(self->word_cache, nullptr);
    Py_CLEAR(self->word_cache.counter);
    Py_TYPE(op)->tp_free(op);
}

// Collector hooks

int
stemming_traverse(PyObject *op, visitproc visit, void *arg) noexcept
{
    WordCache &words = as_stemming(op)->word_cache;
    Py_VISIT(words.cache);
    Py_VISIT(words.counter);
    return 0;
}

int
stemming_clear(PyObject *op) noexcept
{
    WordCache &words = as_stemming(op)->word_cache;
    word_cache_replace(words, Py_NewRef(Py_None));
    Py_XSETREF(words.counter, Py_NewRef(Py_None));
    return 0;
}

// Refusal to pickle

PyObject *
stemming_reduce(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                PyObject *kwnames) noexcept
{
    if (!bind(reduce_sig, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    PyErr_SetObject(PyExc_TypeError, constants.cannot_pickle);
    return nullptr;
}

PyObject *
stemming_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) noexcept
{
    PyObject *bound[1] = {};
    if (!bind(setstate_sig, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    PyErr_SetObject(PyExc_TypeError, constants.cannot_pickle);
    return nullptr;
}

// The purge method

PyObject *
stemming_purgeCache(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames) noexcept
{
    if (!bind(purgeCache_sig, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return word_cache_purge(as_stemming(op)->word_cache);
}

// The capacity property

constexpr const char maxCacheSize_doc[] =
    "Maximum number of entries to allow in the cache.\n"
    "\n"
    "        This may be set to zero to disable the cache entirely.\n"
    "\n"
    "        The maximum cache size may be set at any point - setting the\n"
    "        maximum size will purge entries from the cache if"
    " the new maximum\n"
    "        size is smaller than the current size.\n"
    "\n"
    "        ";

PyObject *
stemming_get_maxCacheSize(PyObject *op, void *) noexcept
{
    return PyLong_FromLong(as_stemming(op)->word_cache.max_cache_size);
}

int
stemming_set_maxCacheSize(PyObject *op, PyObject *value, void *) noexcept
{
    if (value == nullptr) {
        PyErr_SetObject(PyExc_NotImplementedError, constants.del);
        return -1;
    }
    const int capacity = as_native_int(value);
    if (capacity == -1 && PyErr_Occurred()) {
        return -1;
    }
    WordCache &words = as_stemming(op)->word_cache;
    words.max_cache_size = capacity;
    if (capacity == 0) {
        Ref cache = Ref::from_new(PyDict_New());
        if (!cache) {
            return -1;
        }
        word_cache_replace(words, cache.release());
        Py_SETREF(words.counter, Py_NewRef(constants.zero));
        return 0;
    }
    return call_purgeCache(op);
}

// Stemming one word

// The stem from the cache as the caller gets it: the str itself for a str
// word, its UTF-8 bytes for any other.
PyObject *
finish(Ref result, bool was_unicode) noexcept
{
    if (!result || was_unicode) {
        return result.release();
    }
    if (PyUnicode_CheckExact(result.get())) {
        return PyUnicode_AsUTF8String(result.get());
    }
    PyObject *args[] = {result.get(), constants.utf_8};
    return PyObject_VectorcallMethod(constants.encode, args, 2, nullptr);
}

PyObject *
stemming_stemWord_impl(PyObject *op, PyObject *word) noexcept
{
    StemmingObject *self = as_stemming(op);
    WordCache &words = self->word_cache;
    const bool was_unicode = PyUnicode_Check(word);
    Ref encoded;
    if (PyUnicode_CheckExact(word) && PyUnicode_IS_ASCII(word)) {
        // ASCII text is its own UTF-8.
        const char *data = static_cast<const char *>(PyUnicode_DATA(word));
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
        if (words.max_cache_size <= 0) {
            return stem_to_str(self->cobj, data, size);
        }
        const bool indexing = key_index_worthwhile(words.index);
        if (indexing) {
            // A word seen before is looked up with the cache's own key, an
            // exact bytes equal to what encoding it would give, or answered
            // from the entry the index remembers for it.
            KeyIndex::Slot *slot = key_index_find(
                words.index, compat::str_hash(word), data, size);
            if (slot != nullptr) {
                return word_cache_stem(words, slot->key, slot).release();
            }
        }
        encoded = Ref::from_new(PyBytes_FromStringAndSize(data, size));
        if (!encoded) {
            return nullptr;
        }
        return word_cache_stem(words, encoded.get(), nullptr, indexing)
            .release();
    }
    else if (PyUnicode_CheckExact(word)) {
        encoded = Ref::from_new(PyUnicode_AsUTF8String(word));
    }
    else if (was_unicode) {
        PyObject *args[] = {word, constants.utf_8};
        encoded = Ref::from_new(
            PyObject_VectorcallMethod(constants.encode, args, 2, nullptr));
    }
    else {
        encoded = Ref::from_borrowed(word);
    }
    if (!encoded) {
        return nullptr;
    }
    if (words.max_cache_size > 0) {
        return finish(word_cache_stem(words, encoded.get()), was_unicode);
    }
    WordBytes bytes;
    if (!word_bytes(encoded.get(), bytes)) {
        return nullptr;
    }
    return was_unicode ? stem_to_str(self->cobj, bytes.data, bytes.size)
                       : stem_to_bytes(self->cobj, bytes.data, bytes.size);
}

constexpr const char stemWord_doc[] =
    "Stem a word.\n"
    "\n"
    "        This takes a single argument, ``word``, which"
    " should either be a UTF-8\n"
    "        encoded string, or a unicode object.\n"
    "\n"
    "        The result is the stemmed form of the word.  If the"
    " word supplied\n"
    "        was a unicode object, the result will be a unicode"
    " object: if the\n"
    "        word supplied was a string, the result will be a UTF-8 encoded\n"
    "        string.\n"
    "\n"
    "        ";

PyObject *
stemming_stemWord(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) noexcept
{
    PyObject *bound[1] = {};
    if (!bind(stemWord_sig, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return stemming_stemWord_impl(op, bound[0]);
}

// Stemming many words

PyObject *
stemming_stemWords_impl(PyObject *op, PyObject *words_arg) noexcept
{
    Ref words = Ref::from_borrowed(words_arg);
    const bool is_list = PyList_CheckExact(words.get());
    const bool is_tuple = !is_list && PyTuple_CheckExact(words.get());
    // An exact list or tuple tells its length at no cost: the result is
    // made that long at once and filled in place, and only words beyond
    // that (added by an overriding stemWord) are appended. Until then its
    // tail holds nulls, which nothing can see.
    const Py_ssize_t expected = is_list    ? PyList_GET_SIZE(words.get())
                                : is_tuple ? PyTuple_GET_SIZE(words.get())
                                           : 0;
    Ref result = Ref::from_new(PyList_New(expected));
    if (!result) {
        return nullptr;
    }
    // Nothing else can reach the result until it is returned, so the
    // collector need not walk it again and again while it grows.
    PyObject_GC_UnTrack(result.get());
    Py_ssize_t count = 0;
    auto done = [&result, &count, expected]() noexcept {
        if (count < expected) {
            // The list shrank under an overriding stemWord.
            compat::truncate_unfilled_list(result.get(), count);
        }
        PyObject_GC_Track(result.get());
        return result.release();
    };
    const bool direct = is_exact(op);
    // Each word is held while it is stemmed: an overriding stemWord may
    // change the sequence being walked.
    auto stem_one = [&](PyObject *word) noexcept {
        Ref stem = direct ? Ref::from_new(stemming_stemWord_impl(op, word))
                          : call_method(op, constants.stemWord, word);
        if (!stem) {
            return false;
        }
        if (count < expected) {
            PyList_SET_ITEM(result.get(), count++, stem.release());
            return true;
        }
        if (PyList_Append(result.get(), stem.get()) < 0) {
            return false;
        }
        ++count;
        return true;
    };
    // Runs of words that hit the cache's remembered entries are stemmed in
    // one go, without a call per word; the rest one by one. stemWord's own
    // code only: an override sees every word. A call that starts with the
    // cache off stems one by one throughout (only Python code run by a
    // miss could switch it on), sparing each word the test.
    const bool quick =
        direct && as_stemming(op)->word_cache.max_cache_size > 0;
    auto quick_hits = [&](Py_ssize_t i, Py_ssize_t size) noexcept {
        if (!quick || count != i || i >= expected ||
            !word_cache_quick_ready(as_stemming(op)->word_cache)) {
            return true;
        }
        const Py_ssize_t limit = size < expected ? size : expected;
        bool failed = false;
        count += word_cache_quick_hits(
            as_stemming(op)->word_cache,
            compat::sequence_items(words.get()) + i, limit - i,
            compat::list_items(result.get()) + i, failed);
        return !failed;
    };
    if (is_list) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words.get()); ++i) {
            if (!quick_hits(i, PyList_GET_SIZE(words.get()))) {
                return nullptr;
            }
            if (count > i) {
                // Python code that a miss ran may have shortened the list.
                i = count - 1;
                continue;
            }
            Ref word = Ref::from_borrowed(PyList_GET_ITEM(words.get(), i));
            if (!stem_one(word.get())) {
                return nullptr;
            }
        }
        return done();
    }
    if (is_tuple) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(words.get()); ++i) {
            if (!quick_hits(i, PyTuple_GET_SIZE(words.get()))) {
                return nullptr;
            }
            if (count > i) {
                i = count - 1;
                continue;
            }
            if (!stem_one(PyTuple_GET_ITEM(words.get(), i))) {
                return nullptr;
            }
        }
        return done();
    }
    Ref iterator = Ref::from_new(PyObject_GetIter(words.get()));
    if (!iterator) {
        return nullptr;
    }
    for (;;) {
        Ref word = Ref::from_new(PyIter_Next(iterator.get()));
        if (!word) {
            if (PyErr_Occurred()) {
                return nullptr;
            }
            return done();
        }
        if (!stem_one(word.get())) {
            return nullptr;
        }
    }
}

constexpr const char stemWords_doc[] =
    "Stem a list of words.\n"
    "\n"
    "        This takes a single argument, ``words``, which must"
    " be a sequence,\n"
    "        iterator, generator or similar.\n"
    "\n"
    "        The entries in ``words`` should either be UTF-8"
    " encoded strings, or a\n"
    "        unicode objects.\n"
    "\n"
    "        The result is a list of the stemmed forms of the words.  If the\n"
    "        word supplied was a unicode object, the stemmed form will be a\n"
    "        unicode object: if the word supplied was a string,"
    " the stemmed form\n"
    "        will be a UTF-8 encoded string.\n"
    "\n"
    "        ";

PyObject *
stemming_stemWords(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept
{
    PyObject *bound[1] = {};
    if (!bind(stemWords_sig, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return stemming_stemWords_impl(op, bound[0]);
}

// Method table

// One row per method of the class, in the order of its dict: the method's
// definition and its name, then what the exec slot makes of it. A method
// installed as a function object has the qualified name and the text
// signature it carries; a pickling refusal has the name that readiness
// moves it to. Static for the life of the process: function objects and
// method descriptors point into it.
struct ClassMethod {
    PyMethodDef def;
    ConstantMember name;      // def.ml_name, as a constant
    ConstantMember qualname;  // null for a pickling refusal
    const char *signature;    // null for a pickling refusal
    ConstantMember moved_to;  // null for an installed method
};

constexpr int method_flags = METH_FASTCALL | METH_KEYWORDS;

// Designated initializers name only the fields in use; the rest are null.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
ClassMethod class_methods[] = {
    {
        .def = {"_Morvane__purgeCache", as_method(stemming_purgeCache),
                method_flags, nullptr},
        .name = &Constants::Morvane_purgeCache,
        .qualname = &Constants::qualname_purgeCache,
        .signature = "($self, /)",
    },
    {
        .def = {"stemWord", as_method(stemming_stemWord), method_flags,
                stemWord_doc},
        .name = &Constants::stemWord,
        .qualname = &Constants::qualname_stemWord,
        .signature = "($self, /, word)",
    },
    {
        .def = {"stemWords", as_method(stemming_stemWords), method_flags,
                stemWords_doc},
        .name = &Constants::stemWords,
        .qualname = &Constants::qualname_stemWords,
        .signature = "($self, /, words)",
    },
    // No docstrings, only the signatures that inspect reads.
    {
        .def = {"_Morvane__reduce", as_method(stemming_reduce), method_flags,
                "_Morvane__reduce($self, /)\n--\n\n"},
        .name = &Constants::Morvane_reduce,
        .moved_to = &Constants::reduce,
    },
    {
        .def = {"_Morvane__setstate", as_method(stemming_setstate),
                method_flags, "_Morvane__setstate($self, /, state)\n--\n\n"},
        .name = &Constants::Morvane_setstate,
        .moved_to = &Constants::setstate,
    },
};
#pragma GCC diagnostic pop

// The class's tp_methods: the definitions above, copied in before the class
// is first readied, and the all-zero sentinel.
PyMethodDef stemming_methods[std::size(class_methods) + 1] = {};

// Type object

PyGetSetDef stemming_getset[] = {
    {"maxCacheSize", stemming_get_maxCacheSize, stemming_set_maxCacheSize,
     maxCacheSize_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class docstring behind the constructor's signature, which inspect
// reads; __doc__ shows only what follows the "--" line.
constexpr const char stemming_doc[] =
    "Morvane(algorithm, maxCacheSize=10000)\n--\n\n"
    "An instance of a stemming algorithm.\n"
    "\n"
    "    The algorithm has internal state, so must not be called"
    " concurrently.\n"
    "    ie, only a single thread should access the instance at"
    " any given time.\n"
    "\n"
    "    When creating a `Morvane` object, there is one required"
    " argument: the\n"
    "    name of the algorithm to use in the new stemmer.  A"
    " list of the valid\n"
    "    algorithm names may be obtained by calling the"
    " `algorithms()` function\n"
    "    in this module.  In addition, the appropriate stemming"
    " algorithm for a\n"
    "    given language may be obtained by using the 2 or 3 letter ISO 639\n"
    "    language codes.\n"
    "\n"
    "    A second optional argument to the constructor for"
    " `Morvane` is the size\n"
    "    of cache to use.  The cache implemented in this module"
    " is not terribly\n"
    "    efficient, but benchmarks show that it approximately doubles\n"
    "    performance for typical text processing operations,"
    " without too much\n"
    "    memory overhead.  The cache may be disabled by passing a size of 0.\n"
    "    The default size (10000 words) is probably appropriate in most\n"
    "    situations.  In pathological cases (for example, when no word is\n"
    "    presented to the stemming algorithm more than once, so the cache is\n"
    "    useless), the cache can severely damage performance.\n"
    "\n"
    "    The \"benchmark.py\" script supplied with the Tarnwick"
    " distribution can\n"
    "    be used to test the performance of the stemming"
    " algorithms with various\n"
    "    cache sizes.\n"
    "\n"
    "    ";

// The __init__ slot wrapper's record, copied so that its docstring can be
// set without writing into CPython's shared table. Kept for the life of
// the process.
struct wrapperbase init_wrapper = {};

}  // namespace

// The class and its readiness

// Designated initializers name only the slots in use; the rest are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject StemmingType = {
    // The macro brings its own comma, which clang-format cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Morvane.Morvane",
    // clang-format on
    .tp_basicsize = sizeof(StemmingObject),
    .tp_dealloc = stemming_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = stemming_doc,
    .tp_traverse = stemming_traverse,
    .tp_clear = stemming_clear,
    .tp_methods = stemming_methods,
    .tp_getset = stemming_getset,
    .tp_init = stemming_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = stemming_new,
    .tp_free = PyObject_GC_Del,
};
#pragma GCC diagnostic pop

int
stemming_ready(PyObject *module) noexcept
{
    PyObject *type = reinterpret_cast<PyObject *>(&StemmingType);
    if (!PyType_HasFeature(&StemmingType, Py_TPFLAGS_READY)) {
        PyMethodDef *def = stemming_methods;
        for (const ClassMethod &method : class_methods) {
            *def++ = method.def;
        }
    }
    if (PyType_Ready(&StemmingType) < 0) {
        return -1;
    }
    Ref init = Ref::from_new(PyObject_GetAttr(type, constants.init));
    if (!init) {
        return -1;
    }
    compat::set_slot_wrapper_doc(init.get(), init_wrapper,
                                 stemming_init_signed_doc);
    if (PyObject_SetAttr(module, constants.Morvane, type) < 0) {
        return -1;
    }
    PyObject *type_dict = StemmingType.tp_dict;
    for (const ClassMethod &method : class_methods) {
        if (method.moved_to == nullptr) {
            continue;
        }
        PyObject *hook = constants.*method.name;
        Ref moved =
            Ref::from_borrowed(PyDict_GetItemWithError(type_dict, hook));
        if (!moved) {
            if (PyErr_Occurred()) {
                return -1;
            }
            continue;  // moved by an earlier, failed initialisation
        }
        if (PyDict_SetItem(type_dict, constants.*method.moved_to,
                           moved.get()) < 0 ||
            PyDict_DelItem(type_dict, hook) < 0) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_RuntimeError,
                             "Unable to initialize pickling for %.200s",
                             StemmingType.tp_name);
            }
            return -1;
        }
    }
    PyType_Modified(&StemmingType);
    return 0;
}

int
stemming_install_methods(PyObject *globals) noexcept
{
    for (ClassMethod &method : class_methods) {
        if (method.qualname == nullptr) {
            continue;
        }
        PyObject *name = constants.*method.name;
        Ref function = make_function(
            &method.def, &StemmingType, name, constants.*method.qualname,
            constants.Morvane, method.signature, nullptr, globals);
        if (!function ||
            PyDict_SetItem(StemmingType.tp_dict, name, function.get()) < 0) {
            return -1;
        }
        PyType_Modified(&StemmingType);
    }
    return 0;
}

}  // namespace morvane
