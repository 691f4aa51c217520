// The class Morvane.Morvane: its type object and the life of an instance,
// the native-int conversion, the word cache with its purge and capacity,
// and the two stemming methods.
#include "stemming_object.hpp"

#include <libstemmer.h>

#include <climits>
#include <cstdint>

#include "binder.hpp"
#include "constants.hpp"
#include "ref.hpp"

namespace morvane {
namespace {

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

// Calls op.<name>(*args) through attribute lookup, as Python code would.
Ref
call_method(PyObject *op, PyObject *name, PyObject *arg = nullptr) noexcept
{
    // Slot 0 is scratch space the callee may use to prepend a bound self.
    PyObject *args[3] = {nullptr, op, arg};
    const size_t nargs = arg == nullptr ? 1 : 2;
    return Ref::from_new(PyObject_VectorcallMethod(
        name, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

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
    StemmingObject *self = as_stemming(op);
    self->cache = Py_NewRef(Py_None);
    self->counter = Py_NewRef(Py_None);
    return op;
}

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
    struct sb_stemmer *stemmer = sb_stemmer_new(name, "UTF_8");

    StemmingObject *self = as_stemming(op);
    sb_stemmer_delete(self->cobj);
    self->cobj = stemmer;
    if (stemmer == nullptr) {
        Ref message = Ref::from_new(
            PyNumber_Remainder(constants.algorithm_not_found, algorithm.get()));
        if (!message) {
            return -1;
        }
        // Built by hand so that the message is the one argument, whatever
        // its type.
        Ref error = Ref::from_new(
            PyObject_CallOneArg(PyExc_KeyError, message.get()));
        if (!error) {
            return -1;
        }
        PyErr_SetObject(PyExc_KeyError, error.get());
        return -1;
    }
    self->max_cache_size = capacity;
    Py_SETREF(self->counter, Py_NewRef(constants.zero));
    PyObject *cache = PyDict_New();
    if (cache == nullptr) {
        return -1;
    }
    key_index_clear(self->index);
    Py_SETREF(self->cache, cache);
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
        PendingError pending;
        Py_SET_REFCNT(op, Py_REFCNT(op) + 1);
        sb_stemmer_delete(self->cobj);
        Py_SET_REFCNT(op, Py_REFCNT(op) - 1);
    }
    self->cobj = nullptr;
    key_index_clear(self->index);
    Py_CLEAR(self->cache);
    Py_CLEAR(self->counter);
    Py_TYPE(op)->tp_free(op);
}

// Collector hooks

int
stemming_traverse(PyObject *op, visitproc visit, void *arg) noexcept
{
    StemmingObject *self = as_stemming(op);
    Py_VISIT(self->cache);
    Py_VISIT(self->counter);
    return 0;
}

int
stemming_clear(PyObject *op) noexcept
{
    StemmingObject *self = as_stemming(op);
    key_index_clear(self->index);
    Py_XSETREF(self->cache, Py_NewRef(Py_None));
    Py_XSETREF(self->counter, Py_NewRef(Py_None));
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

// Word cache

// The value of an exact int that fits a long long, read inline where the
// interpreter allows it. False, with no exception set, for anything else.
inline bool
exact_int_value(PyObject *op, long long &value) noexcept
{
    if (!PyLong_CheckExact(op)) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030C0000
    auto *number = reinterpret_cast<PyLongObject *>(op);
    if (PyUnstable_Long_IsCompact(number)) {
        value = PyUnstable_Long_CompactValue(number);
        return true;
    }
#endif
    int overflow = 0;
    value = PyLong_AsLongLongAndOverflow(op, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        // Not expected of an int; the caller takes the general road.
        PyErr_Clear();
        return false;
    }
    return overflow == 0;
}

// counter + 1. The counter is an exact int in every instance, and adding 1
// to one gives a new int of the next value, made here without the number
// protocol's dispatch; anything else takes the protocol.
inline Ref
counter_successor(PyObject *counter) noexcept
{
    long long value = 0;
    if (exact_int_value(counter, value) && value < LLONG_MAX) {
        return Ref::from_new(PyLong_FromLongLong(value + 1));
    }
    return Ref::from_new(PyNumber_Add(counter, constants.one));
}

// Element index (0 or 1) of a cache entry, as entry[index] would give it.
// Entries are two-element lists unless other code replaced them.
Ref
entry_item(PyObject *entry, Py_ssize_t index) noexcept
{
    if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) > index) {
        return Ref::from_borrowed(PyList_GET_ITEM(entry, index));
    }
    return Ref::from_new(
        PyObject_GetItem(entry, index == 0 ? constants.zero : constants.one));
}

// Whether an entry's stamp is newer than counter - K. Stamps and counter are
// plain ints in every cache this module builds, and those compare as C
// integers; anything else put there by other code compares as Python
// objects would.
class StampThreshold {
public:
    StampThreshold(PyObject *counter, long long keep) noexcept
        : counter_(Ref::from_borrowed(counter)), keep_(keep)
    {
        long long value = 0;
        if (exact_int_value(counter, value) &&
            value >= LLONG_MIN + 0x7fffffffLL &&
            value <= LLONG_MAX - 0x7fffffffLL) {
            minimum_ = value - keep;
            native_ = true;
        }
    }

    // 1 if newer, 0 if not, -1 with an exception set.
    int
    newer(PyObject *stamp) noexcept
    {
        long long value = 0;
        if (native_ && exact_int_value(stamp, value)) {
            return value > minimum_;
        }
        if (!mincounter_ && make_mincounter() < 0) {
            return -1;
        }
        Ref result = Ref::from_new(
            PyObject_RichCompare(stamp, mincounter_.get(), Py_GT));
        if (!result) {
            return -1;
        }
        return PyObject_IsTrue(result.get());
    }

    // counter - K as a Python int, made before the scan when it cannot be
    // compared natively, as the purge always computes it.
    int
    make_mincounter() noexcept
    {
        Ref threshold = Ref::from_new(PyLong_FromLongLong(keep_));
        if (!threshold) {
            return -1;
        }
        mincounter_ = Ref::from_new(
            PyNumber_Subtract(counter_.get(), threshold.get()));
        return mincounter_ ? 0 : -1;
    }

    bool
    native() const noexcept
    {
        return native_;
    }

private:
    Ref counter_;
    long long keep_;
    long long minimum_ = 0;
    bool native_ = false;
    Ref mincounter_;
};

// Keeps the entries stamped after counter - K (K = 8/10 of the capacity) in
// a new dict and swaps it in only once the whole scan has succeeded, so a
// failure leaves the old cache as it was. Indexes the kept keys into fresh
// as it goes.
int
purge_scan(StemmingObject *self, KeyIndex &fresh) noexcept
{
    const long long keep = 8LL * self->max_cache_size / 10;
    // The comparisons below can run Python code that replaces the fields.
    Ref cache = Ref::from_borrowed(self->cache);
    const Py_ssize_t size = PyDict_Size(cache.get());
    if (size < 0) {
        return -1;
    }
    // At most K - 1 entries survive: size the new dict for them at once.
    const Py_ssize_t survivors =
        keep <= 1 ? 0 : static_cast<Py_ssize_t>(keep - 1);
    Ref newcache = Ref::from_new(
        _PyDict_NewPresized(survivors < size ? survivors : size));
    if (!newcache) {
        return -1;
    }
    const bool indexing = key_index_worthwhile(self->index);
    if (indexing) {
        key_index_reserve(fresh, static_cast<size_t>(
                                     survivors < size ? survivors : size));
    }
    StampThreshold threshold(self->counter, keep);
    if (!threshold.native() && threshold.make_mincounter() < 0) {
        return -1;
    }
    Py_ssize_t pos = 0;
    PyObject *key_item = nullptr;
    PyObject *entry_value = nullptr;
    while (PyDict_Next(cache.get(), &pos, &key_item, &entry_value)) {
        Ref key = Ref::from_borrowed(key_item);
        Ref entry = Ref::from_borrowed(entry_value);
        Ref stamp = entry_item(entry.get(), 1);
        if (!stamp) {
            return -1;
        }
        const int newer = threshold.newer(stamp.get());
        if (newer < 0) {
            return -1;
        }
        if (newer) {
            if (PyDict_SetItem(newcache.get(), key.get(), entry.get()) < 0) {
                return -1;
            }
            if (indexing && PyBytes_CheckExact(key.get())) {
                key_index_add(fresh, key.get(), size);
            }
        }
        if (PyDict_GET_SIZE(cache.get()) != size) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary changed size during iteration");
            return -1;
        }
    }
    KeyIndex old = self->index;
    fresh.hits = old.hits;
    fresh.misses = old.misses;
    self->index = fresh;
    fresh = KeyIndex{};
    Py_SETREF(self->cache, newcache.release());
    key_index_clear(old);
    return 0;
}

PyObject *
stemming_purgeCache_impl(StemmingObject *self) noexcept
{
    const Py_ssize_t size = PyObject_Size(self->cache);
    if (size < 0) {
        return nullptr;
    }
    if (size < static_cast<Py_ssize_t>(self->max_cache_size)) {
        Py_RETURN_NONE;
    }
    KeyIndex fresh{};
    const int scanned = purge_scan(self, fresh);
    key_index_clear(fresh);
    if (scanned < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *
stemming_purgeCache(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames) noexcept
{
    if (!bind(purgeCache_sig, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return stemming_purgeCache_impl(as_stemming(op));
}

// Calls the instance's purge method as the setter and stemWord do: by name,
// result dropped.
int
call_purgeCache(PyObject *op) noexcept
{
    Ref result = is_exact(op)
                     ? Ref::from_new(stemming_purgeCache_impl(as_stemming(op)))
                     : call_method(op, constants.Morvane_purgeCache);
    return result ? 0 : -1;
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
    return PyLong_FromLong(as_stemming(op)->max_cache_size);
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
    StemmingObject *self = as_stemming(op);
    self->max_cache_size = capacity;
    if (capacity == 0) {
        PyObject *cache = PyDict_New();
        if (cache == nullptr) {
            return -1;
        }
        key_index_clear(self->index);
        Py_SETREF(self->cache, cache);
        Py_SETREF(self->counter, Py_NewRef(constants.zero));
        return 0;
    }
    return call_purgeCache(op);
}

// Stemming one word

// The bytes libstemmer reads for an encoded word. The pointer stays valid
// only until Python code next runs.
struct WordBytes {
    const char *data;
    Py_ssize_t size;
};

// Takes the buffer and byte count of an encoded word. For a subclass of
// bytes or bytearray, len() can run Python code that changes the object, so
// the count is taken first, the buffer after it, and a count larger than
// the buffer is refused rather than read past its end.
bool
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
    const char *data = is_bytearray ? PyByteArray_AS_STRING(word)
                                    : PyBytes_AS_STRING(word);
    const Py_ssize_t size = is_bytearray ? PyByteArray_GET_SIZE(word)
                                         : PyBytes_GET_SIZE(word);
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
// str. libstemmer's result lives in the stemmer until its next call, so it
// is measured and copied at once.
PyObject *
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

// The KeyError of a cache miss. The lookup that misses need not raise it:
// it is made only when something could see it, namely Python code run
// during the miss (which sees it as the exception being handled) or a
// failure of the miss (which carries it as its context). Restores the
// caller's handled exception when it goes.
class MissedKey {
public:
    MissedKey(PyObject *key, Ref caught) noexcept
        : key_(key), error_(std::move(caught))
    {
    }
    MissedKey(const MissedKey &) = delete;
    MissedKey &operator=(const MissedKey &) = delete;

    ~MissedKey()
    {
        if (handling_) {
            PyErr_SetHandledException(caller_.get());
        }
    }

    // Makes the KeyError the exception being handled until destruction.
    bool
    handle() noexcept
    {
        if (handling_) {
            return true;
        }
        if (!make()) {
            return false;
        }
        caller_ = Ref::from_new(PyErr_GetHandledException());
        PyErr_SetHandledException(error_.get());
        handling_ = true;
        return true;
    }

    // Gives the pending exception the KeyError as its context, as raising
    // it while the KeyError was handled would have done.
    void
    chain_pending() noexcept
    {
        if (handling_) {
            return;
        }
        Ref raised = fetch_raised();
        if (!make()) {
            PyErr_Clear();
        }
        else if (raised && raised.get() != error_.get()) {
            PyException_SetContext(raised.get(), Py_NewRef(error_.get()));
        }
        restore_raised(std::move(raised));
    }

private:
    bool
    make() noexcept
    {
        if (error_) {
            return true;
        }
        error_ = Ref::from_new(PyObject_CallOneArg(PyExc_KeyError, key_));
        if (!error_) {
            return false;
        }
        // Raised for real, it would carry the caller's handled exception.
        Ref handled = Ref::from_new(PyErr_GetHandledException());
        if (handled) {
            PyException_SetContext(error_.get(), handled.release());
        }
        return true;
    }

    PyObject *key_;
    Ref error_;
    Ref caller_;
    bool handling_ = false;
};

// A KeyError from a cached lookup starts the miss path: takes it into
// caught and answers 0; any other error answers -1.
int
catch_key_error(Ref &caught) noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
        return -1;
    }
    caught = fetch_raised();
    return 0;
}

// The hit path: result = entry[0]; entry[1] = counter; counter += 1.
// Answers 1 on success, 0 when a KeyError sends the word down the miss
// path, -1 on any other error. entry is borrowed from the cache.
inline int
cache_hit(StemmingObject *self, PyObject *entry, Ref &result,
          Ref &caught) noexcept
{
    if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) > 1) {
        // An entry as this module makes it. Nothing here runs Python code
        // before the old stamp is released, and the entry is not touched
        // after that, so it needs no reference of its own.
        PyObject **items = PySequence_Fast_ITEMS(entry);
        result = Ref::from_borrowed(items[0]);
        PyObject *old = items[1];
        items[1] = Py_NewRef(self->counter);
        Py_XDECREF(old);
    }
    else {
        // Anything else other code put there answers through its own
        // protocol, which can run Python code.
        Ref held = Ref::from_borrowed(entry);
        result = entry_item(held.get(), 0);
        if (!result) {
            return catch_key_error(caught);
        }
        Ref counter = Ref::from_borrowed(self->counter);
        if (PyObject_SetItem(held.get(), constants.one, counter.get()) < 0) {
            return catch_key_error(caught);
        }
    }
    // Advancing an int runs no Python code: the field can be read as is.
    Ref next = counter_successor(self->counter);
    if (!next) {
        return catch_key_error(caught);
    }
    Py_SETREF(self->counter, next.release());
    return 1;
}

// The miss path: stem, store [stem, counter] under the encoded word,
// advance the counter, purge.
Ref
cache_miss(PyObject *op, PyObject *key, Ref caught) noexcept
{
    StemmingObject *self = as_stemming(op);
    // Python code can run during the miss through a key of another type
    // than bytes (its len, hash and comparisons); let it see the KeyError,
    // as it must see one that a lookup really raised.
    const bool eager = !PyBytes_CheckExact(key) || caught;
    MissedKey missed(key, std::move(caught));
    if (eager && !missed.handle()) {
        return Ref();
    }
    auto fail = [&missed]() noexcept {
        missed.chain_pending();
        return Ref();
    };
    WordBytes bytes;
    if (!word_bytes(key, bytes)) {
        return fail();
    }
    Ref result = Ref::from_new(stem_bytes(self, bytes.data, bytes.size));
    if (!result) {
        return fail();
    }
    Ref entry = Ref::from_new(PyList_New(2));
    if (!entry) {
        return fail();
    }
    PyList_SET_ITEM(entry.get(), 0, Py_NewRef(result.get()));
    PyList_SET_ITEM(entry.get(), 1, Py_NewRef(self->counter));
    Ref cache = Ref::from_borrowed(self->cache);
    const int stored = PyDict_CheckExact(cache.get())
                           ? PyDict_SetItem(cache.get(), key, entry.get())
                           : PyObject_SetItem(cache.get(), key, entry.get());
    if (stored < 0) {
        return fail();
    }
    // Builds made for the memory checkers' self-test leak one reference
    // here, to show that the checkers see it; no other build defines these.
#if defined(MORVANE_DELIBERATE_LEAK_STEM)
    Py_INCREF(result.get());
#elif defined(MORVANE_DELIBERATE_LEAK_KEY)
    Py_INCREF(key);
#elif defined(MORVANE_DELIBERATE_LEAK_ENTRY)
    Py_INCREF(entry.get());
#endif
    if (PyBytes_CheckExact(key) && PyDict_CheckExact(cache.get()) &&
        key_index_worthwhile(self->index)) {
        key_index_add(self->index, key, PyDict_GET_SIZE(cache.get()));
    }
    Ref counter = Ref::from_borrowed(self->counter);
    Ref next = counter_successor(counter.get());
    if (!next) {
        return fail();
    }
    Py_SETREF(self->counter, next.release());
    // A purge that has work to do, or one written in Python, can run code
    // that sees the handled exception.
    if (!is_exact(op) || !PyDict_CheckExact(self->cache) ||
        PyDict_GET_SIZE(self->cache) >= self->max_cache_size) {
        if (!missed.handle()) {
            return Ref();
        }
    }
    if (call_purgeCache(op) < 0) {
        return fail();
    }
    return result;
}

// The cached branch: look the encoded word up, hit or miss.
Ref
stem_cached(PyObject *op, PyObject *key) noexcept
{
    StemmingObject *self = as_stemming(op);
    // The lookup can run Python code (a key's hash or comparison) that
    // replaces the field.
    Ref cache = Ref::from_borrowed(self->cache);
    // Borrowed from the cache, or owned by held when the cache is not a
    // dict; cache_hit takes it before any Python code can run.
    PyObject *entry = nullptr;
    Ref held;
    Ref caught;
    if (PyDict_CheckExact(cache.get())) {
        entry = PyDict_GetItemWithError(cache.get(), key);
        if (entry == nullptr && PyErr_Occurred() &&
            catch_key_error(caught) < 0) {
            return Ref();
        }
    }
    else {
        held = Ref::from_new(PyObject_GetItem(cache.get(), key));
        if (!held && catch_key_error(caught) < 0) {
            return Ref();
        }
        entry = held.get();
    }
    key_index_count(self->index, entry != nullptr);
    if (entry != nullptr) {
        Ref result;
        const int hit = cache_hit(self, entry, result, caught);
        if (hit > 0) {
            return result;
        }
        if (hit < 0) {
            return Ref();
        }
    }
    return cache_miss(op, key, std::move(caught));
}

// The stem as the caller gets it: the str itself for a str word, its UTF-8
// bytes for any other.
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
    const bool was_unicode = PyUnicode_Check(word);
    Ref encoded;
    if (PyUnicode_CheckExact(word) && PyUnicode_IS_ASCII(word)) {
        // ASCII text is its own UTF-8.
        const char *data = static_cast<const char *>(PyUnicode_DATA(word));
        const Py_ssize_t size = PyUnicode_GET_LENGTH(word);
        if (self->max_cache_size <= 0) {
            return stem_bytes(self, data, size);
        }
        if (key_index_worthwhile(self->index)) {
            // A word seen before is looked up with the cache's own key, an
            // exact bytes equal to what encoding it would give.
            PyObject *key = key_index_find(self->index, PyObject_Hash(word),
                                           data, size);
            if (key != nullptr) {
                Ref held = Ref::from_borrowed(key);
                return stem_cached(op, held.get()).release();
            }
        }
        encoded = Ref::from_new(PyBytes_FromStringAndSize(data, size));
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
    if (self->max_cache_size > 0) {
        return finish(stem_cached(op, encoded.get()), was_unicode);
    }
    WordBytes bytes;
    if (!word_bytes(encoded.get(), bytes)) {
        return nullptr;
    }
    return finish(Ref::from_new(stem_bytes(self, bytes.data, bytes.size)),
                  was_unicode);
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
    Ref result = Ref::from_new(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    // Nothing else can reach the result until it is returned, so the
    // collector need not walk it again and again while it grows.
    PyObject_GC_UnTrack(result.get());
    auto done = [&result]() noexcept {
        PyObject_GC_Track(result.get());
        return result.release();
    };
    Ref words = Ref::from_borrowed(words_arg);
    const bool direct = is_exact(op);
    // Each word is held while it is stemmed: an overriding stemWord may
    // change the sequence being walked.
    auto stem_one = [&](PyObject *word) noexcept {
        Ref stem = direct
                       ? Ref::from_new(stemming_stemWord_impl(op, word))
                       : call_method(op, constants.stemWord, word);
        return stem && PyList_Append(result.get(), stem.get()) == 0;
    };
    if (PyList_CheckExact(words.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(words.get()); ++i) {
            Ref word = Ref::from_borrowed(PyList_GET_ITEM(words.get(), i));
            if (!stem_one(word.get())) {
                return nullptr;
            }
        }
        return done();
    }
    if (PyTuple_CheckExact(words.get())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(words.get()); ++i) {
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

}  // namespace

constexpr int method_flags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef stemming_methods[] = {
    {"_Morvane__purgeCache", as_method(stemming_purgeCache), method_flags,
     nullptr},
    {"stemWord", as_method(stemming_stemWord), method_flags, stemWord_doc},
    {"stemWords", as_method(stemming_stemWords), method_flags,
     stemWords_doc},
    // No docstrings, only the signatures that inspect reads.
    {"_Morvane__reduce", as_method(stemming_reduce), method_flags,
     "_Morvane__reduce($self, /)\n--\n\n"},
    {"_Morvane__setstate", as_method(stemming_setstate), method_flags,
     "_Morvane__setstate($self, /, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Designated initializers name only the slots in use; the rest are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject StemmingType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Morvane.Morvane",
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

}  // namespace morvane
