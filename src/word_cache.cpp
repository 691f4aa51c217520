// The word cache: each instance's dict from encoded words to [stem, stamp]
// entries, its hit and miss paths, the purge that keeps the entries of the
// most recent lookups, and the key index kept in step with the dict. Calls
// the stemmer, the compat header, constants and Ref; the owner only through
// its hooks.
#include "word_cache.hpp"

#include <climits>
#include <cstdint>
#include <utility>

#include "constants.hpp"
#include "cpython_compat.hpp"
#include "ref.hpp"
#include "stemmer.hpp"

namespace morvane {
namespace {

// Exact ints

// counter + 1. The counter is an exact int in every instance, and adding 1
// to one gives a new int of the next value, made here without the number
// protocol's dispatch; anything else takes the protocol.
inline Ref
counter_successor(PyObject *counter) noexcept
{
    long long value = 0;
    if (compat::exact_int_value(counter, value) && value < LLONG_MAX) {
        return Ref::from_new(PyLong_FromLongLong(value + 1));
    }
    return Ref::from_new(PyNumber_Add(counter, constants.one));
}

// Entries and stamps

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
        if (compat::exact_int_value(counter, value) &&
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
        if (native_ && compat::exact_int_value(stamp, value)) {
            return newer_than_minimum(value);
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

    // Whether a stamp of this value is newer, for a threshold that
    // compares natively.
    bool
    newer_than_minimum(long long value) const noexcept
    {
        return value > minimum_;
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
        mincounter_ =
            Ref::from_new(PyNumber_Subtract(counter_.get(), threshold.get()));
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

// Key index upkeep

inline void
key_index_count(KeyIndex &index, bool hit) noexcept
{
    ++(hit ? index.hits : index.misses);
    if (index.hits + index.misses >= 4096) {
        index.hits /= 2;
        index.misses /= 2;
    }
}

// Counts hits lookups that all hit, as that many calls of key_index_count
// would, halving where they would.
inline void
key_index_count_hits(KeyIndex &index, Py_ssize_t hits) noexcept
{
    while (hits > 0) {
        const uint32_t room = 4096 - (index.hits + index.misses);
        const uint32_t step = hits < room ? static_cast<uint32_t>(hits) : room;
        index.hits += step;
        hits -= step;
        if (index.hits + index.misses >= 4096) {
            index.hits /= 2;
            index.misses /= 2;
        }
    }
}

// Empties the table; the counts of recent lookups stay.
inline void
key_index_clear(KeyIndex &index) noexcept
{
    KeyIndex::Slot *slots = index.slots;
    const size_t count = slots == nullptr ? 0 : index.mask + 1;
    index.slots = nullptr;
    index.mask = 0;
    index.used = 0;
    for (size_t i = 0; i < count; ++i) {
        Py_XDECREF(slots[i].key);
    }
    PyMem_Free(slots);
}

// Stores key (a new strong reference) and its entry (borrowed, or null) in
// a table with a free slot, in the slot of an equal key if there is one.
inline void
key_index_place(KeyIndex &index, Py_hash_t hash, PyObject *key,
                PyObject *entry) noexcept
{
    for (size_t i = static_cast<size_t>(hash) & index.mask;;
         i = (i + 1) & index.mask) {
        KeyIndex::Slot &slot = index.slots[i];
        if (slot.key == nullptr) {
            slot = {hash, key, entry};
            ++index.used;
            return;
        }
        if (detail::holds(slot, hash, PyBytes_AS_STRING(key),
                          PyBytes_GET_SIZE(key))) {
            PyObject *old = slot.key;
            slot.key = key;
            slot.entry = entry;
            Py_DECREF(old);
            return;
        }
    }
}

inline bool
key_index_resize(KeyIndex &index, size_t count) noexcept
{
    auto *slots = static_cast<KeyIndex::Slot *>(
        PyMem_Calloc(count, sizeof(KeyIndex::Slot)));
    if (slots == nullptr) {
        return false;
    }
    const KeyIndex old = index;
    index.slots = slots;
    index.mask = count - 1;
    const size_t old_count = old.slots == nullptr ? 0 : old.mask + 1;
    // The keys are distinct already: move them by hash alone, without
    // reaching into the key objects.
    for (size_t i = 0; i < old_count; ++i) {
        const KeyIndex::Slot &slot = old.slots[i];
        if (slot.key == nullptr) {
            continue;
        }
        size_t j = static_cast<size_t>(slot.hash) & index.mask;
        while (slots[j].key != nullptr) {
            j = (j + 1) & index.mask;
        }
        slots[j] = slot;
    }
    PyMem_Free(old.slots);
    return true;
}

// Adds key, an exact bytes object, with the cache's entry under it
// (borrowed), or null. live is how many keys the cache holds: an index that
// has grown well past it holds mostly keys the cache dropped behind its
// back, and starts again rather than grow.
inline void
key_index_add(KeyIndex &index, PyObject *key, Py_ssize_t live,
              PyObject *entry) noexcept
{
    const Py_hash_t hash = PyObject_Hash(key);  // cached, cannot fail
    const size_t count = index.slots == nullptr ? 0 : index.mask + 1;
    // At most two thirds full, so probes stay short.
    if (3 * (index.used + 1) > 2 * count) {
        if (index.used > 2 * static_cast<size_t>(live) + 64) {
            key_index_clear(index);
        }
        const size_t current = index.slots == nullptr ? 0 : index.mask + 1;
        if (!key_index_resize(index, current == 0 ? 64 : 2 * current)) {
            return;
        }
    }
    key_index_place(index, hash, Py_NewRef(key), entry);
}

// An empty index with room for count keys, or as much as memory allows.
inline void
key_index_reserve(KeyIndex &index, size_t count) noexcept
{
    size_t slots = 64;
    while (2 * slots < 3 * count) {
        slots *= 2;
    }
    key_index_resize(index, slots);
}

// Purge

// Keeps the entries stamped after counter - K (K = 8/10 of the capacity) in
// a new dict and swaps it in only once the whole scan has succeeded, so a
// failure leaves the old cache as it was. Indexes the kept keys into fresh
// as it goes.
int
purge_scan(WordCache &words, KeyIndex &fresh) noexcept
{
    const long long keep = 8LL * words.max_cache_size / 10;
    // The comparisons below can run Python code that replaces the fields.
    Ref cache = Ref::from_borrowed(words.cache);
    const Py_ssize_t size = PyDict_Size(cache.get());
    if (size < 0) {
        return -1;
    }
    // At most K - 1 entries survive: size the new dict for them at once.
    const Py_ssize_t survivors =
        keep <= 1 ? 0 : static_cast<Py_ssize_t>(keep - 1);
    Ref newcache = Ref::from_new(
        compat::dict_new_presized(survivors < size ? survivors : size));
    if (!newcache) {
        return -1;
    }
    const bool indexing = key_index_worthwhile(words.index);
    if (indexing) {
        key_index_reserve(
            fresh, static_cast<size_t>(survivors < size ? survivors : size));
    }
    StampThreshold threshold(words.counter, keep);
    if (!threshold.native() && threshold.make_mincounter() < 0) {
        return -1;
    }
    // The entries found here are the new cache's own only if no Python code
    // can run during the scan, which could reach the new dict unwatched:
    // stamps compared natively, entries read as lists.
    fresh.mixed = !threshold.native();
    Py_ssize_t pos = 0;
    PyObject *key_item = nullptr;
    PyObject *entry_value = nullptr;
    while (PyDict_Next(cache.get(), &pos, &key_item, &entry_value)) {
        // An entry as this module stores it (a list stamped with an int,
        // under an exact bytes key) is compared and moved without running
        // Python code, so the cache cannot change under it and it needs no
        // references of its own: a purge walks thousands of them.
        long long stamp_value = 0;
        if (threshold.native() && PyBytes_CheckExact(key_item) &&
            PyList_CheckExact(entry_value) &&
            PyList_GET_SIZE(entry_value) > 1 &&
            compat::exact_int_value(PyList_GET_ITEM(entry_value, 1),
                                    stamp_value)) {
            if (!threshold.newer_than_minimum(stamp_value)) {
                continue;
            }
            if (PyDict_SetItem(newcache.get(), key_item, entry_value) < 0) {
                return -1;
            }
            if (indexing) {
                key_index_add(fresh, key_item, size, entry_value);
            }
            continue;
        }
        Ref key = Ref::from_borrowed(key_item);
        Ref entry = Ref::from_borrowed(entry_value);
        if (!PyList_CheckExact(entry.get())) {
            fresh.mixed = true;
        }
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
            if (!PyBytes_CheckExact(key.get())) {
                fresh.mixed = true;
            }
            else if (indexing) {
                key_index_add(fresh, key.get(), size, entry.get());
            }
        }
        if (PyDict_GET_SIZE(cache.get()) != size) {
            PyErr_SetString(PyExc_RuntimeError,
                            "dictionary changed size during iteration");
            return -1;
        }
    }
    // Python code that the scan ran (a key's __hash__ or __eq__, a stamp's
    // comparison, a finalizer) may have re-initialised the instance or
    // replaced its cache: what the scan kept belongs to a cache that is
    // gone, and the new one stays as it is.
    if (words.cache != cache.get()) {
        return 0;
    }
    word_cache_replace(words, newcache.release(),
                       std::exchange(fresh, KeyIndex{}));
    return 0;
}

// Hit and miss

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
        Ref raised = compat::fetch_raised();
        if (!make()) {
            PyErr_Clear();
        }
        else if (raised && raised.get() != error_.get()) {
            PyException_SetContext(raised.get(), Py_NewRef(error_.get()));
        }
        compat::restore_raised(std::move(raised));
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
    caught = compat::fetch_raised();
    return 0;
}

// Holds key in held, once.
inline void
hold(Ref &held, PyObject *key) noexcept
{
    if (!held) {
        held = Ref::from_borrowed(key);
    }
}

// The hit's swap (result = entry[0]; entry[1] = counter) for an entry that
// other code replaced or changed: it answers through its own protocol,
// which can run Python code. Out of line, so that the usual hit keeps its
// registers. Answers as cache_hit.
[[gnu::cold, gnu::noinline]] int
swap_by_protocol(WordCache &words, PyObject *entry, Ref &result,
                 Ref &caught) noexcept
{
    Ref held_entry = Ref::from_borrowed(entry);
    result = entry_item(held_entry.get(), 0);
    if (!result) {
        return catch_key_error(caught);
    }
    Ref counter = Ref::from_borrowed(words.counter);
    if (PyObject_SetItem(held_entry.get(), constants.one, counter.get()) < 0) {
        return catch_key_error(caught);
    }
    return 1;
}

// The hit, for every road to an entry: result = entry[0]; entry[1] =
// counter; counter += 1. entry is borrowed from the cache, key is the
// word's key, borrowed; before anything here can run Python code, key goes
// into held, so that it outlives whatever that code does to the index it
// may come from and can take the word down the miss path. Answers 1 on
// success, 0 when a KeyError sends the word down the miss path (caught
// holds it), -1 on any other error.
[[gnu::always_inline]] inline int
cache_hit(WordCache &words, PyObject *entry, PyObject *key, Ref &held,
          Ref &result, Ref &caught) noexcept
{
    if (PyList_CheckExact(entry) && PyList_GET_SIZE(entry) > 1) {
        // An entry as this module makes it. Nothing here runs Python code
        // before the old stamp is released, and the entry is not touched
        // after that, so it needs no reference of its own.
        result = Ref::from_borrowed(PyList_GET_ITEM(entry, 0));
        PyObject *old = PyList_GET_ITEM(entry, 1);
        PyList_SET_ITEM(entry, 1, Py_NewRef(words.counter));
        if (old != nullptr &&
            compat::recycle_int_as_successor(old, words.counter)) {
            // The entry's reference moves to the field; the counter it
            // replaces is the entry's stamp now.
            Py_SETREF(words.counter, old);
            return 1;
        }
        if (old != nullptr && !PyLong_CheckExact(old)) {
            // Other code put it there: releasing it can run a finalizer.
            hold(held, key);
        }
        Py_XDECREF(old);
    }
    else {
        hold(held, key);
        const int swapped = swap_by_protocol(words, entry, result, caught);
        if (swapped <= 0) {
            return swapped;
        }
    }
    // Advancing an int runs no Python code: the field can be read as is.
    Ref next = counter_successor(words.counter);
    if (!next) {
        hold(held, key);
        return catch_key_error(caught);
    }
    Py_SETREF(words.counter, next.release());
    return 1;
}

// The miss path: stem, store [stem, counter] under the encoded word,
// advance the counter, purge.
Ref
cache_miss(WordCache &words, PyObject *key, Ref caught) noexcept
{
    const CacheOwner &hooks = *words.hooks;
    PyObject *owner = words.owner;
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
    Ref result = Ref::from_new(
        stem_to_str(hooks.stemmer(owner), bytes.data, bytes.size));
    if (!result) {
        return fail();
    }
    Ref entry = Ref::from_new(PyList_New(2));
    if (!entry) {
        return fail();
    }
    PyList_SET_ITEM(entry.get(), 0, Py_NewRef(result.get()));
    PyList_SET_ITEM(entry.get(), 1, Py_NewRef(words.counter));
    Ref cache = Ref::from_borrowed(words.cache);
    const bool own_key = PyBytes_CheckExact(key);
    if (!own_key) {
        // A key of another type can compare equal to the words of other
        // keys by code of its own, which lookups then run.
        words.index.trusted = false;
    }
    int stored;
    if (PyDict_CheckExact(cache.get())) {
        // Storing an exact bytes key runs no Python code.
        compat::quiet_dict = own_key ? cache.get() : nullptr;
        stored = PyDict_SetItem(cache.get(), key, entry.get());
        compat::quiet_dict = nullptr;
    }
    else {
        stored = PyObject_SetItem(cache.get(), key, entry.get());
    }
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
    if (own_key && cache.get() == words.cache &&
        PyDict_CheckExact(cache.get()) && key_index_worthwhile(words.index)) {
        key_index_add(words.index, key, PyDict_GET_SIZE(cache.get()),
                      entry.get());
    }
    Ref counter = Ref::from_borrowed(words.counter);
    Ref next = counter_successor(counter.get());
    if (!next) {
        return fail();
    }
    Py_SETREF(words.counter, next.release());
    // A purge that has work to do, or one written in Python, can run code
    // that sees the handled exception.
    if (hooks.purge_overridable(owner) || !PyDict_CheckExact(words.cache) ||
        PyDict_GET_SIZE(words.cache) >= words.max_cache_size) {
        if (!missed.handle()) {
            return Ref();
        }
    }
    if (hooks.purge(owner) < 0) {
        return fail();
    }
    return result;
}

// The road through the dict: look key up, then hit or miss. slot and learn
// as for word_cache_stem.
[[gnu::always_inline]] inline Ref
lookup_road(WordCache &words, PyObject *key, KeyIndex::Slot *slot,
            bool learn) noexcept
{
    Ref result;
    Ref caught;
    // The slot's key serves as the word from here on; the lookup below can
    // run Python code, which can drop it from the index.
    Ref word = slot != nullptr ? Ref::from_borrowed(key) : Ref();
    // The lookup can run Python code (a key's hash or comparison) that
    // replaces the field.
    Ref cache = Ref::from_borrowed(words.cache);
    // Borrowed from the cache, or owned by held_entry when the cache is not
    // a dict; the hit takes it before any Python code can run.
    PyObject *entry = nullptr;
    Ref held_entry;
    if (PyDict_CheckExact(cache.get())) {
        entry = PyDict_GetItemWithError(cache.get(), key);
        if (entry == nullptr && PyErr_Occurred() &&
            catch_key_error(caught) < 0) {
            return Ref();
        }
    }
    else {
        held_entry = Ref::from_new(PyObject_GetItem(cache.get(), key));
        if (!held_entry && catch_key_error(caught) < 0) {
            return Ref();
        }
        entry = held_entry.get();
    }
    key_index_count(words.index, entry != nullptr);
    if (entry != nullptr && learn && cache.get() == words.cache &&
        PyDict_CheckExact(cache.get()) && key_index_worthwhile(words.index)) {
        // A word first met while the index was left alone: index it now,
        // or it would never be.
        key_index_add(words.index, key, PyDict_GET_SIZE(cache.get()),
                      key_index_entries_valid(words.index) ? entry : nullptr);
    }
    if (entry != nullptr) {
        const int hit = cache_hit(words, entry, key, word, result, caught);
        if (hit > 0) {
            return result;
        }
        if (hit < 0) {
            return Ref();
        }
    }
    return cache_miss(words, key, std::move(caught));
}

// The same, out of line, where the remembered-entry road comes first: that
// road then keeps few registers.
[[gnu::noinline]] Ref
lookup_road_apart(WordCache &words, PyObject *key, KeyIndex::Slot *slot,
                  bool learn) noexcept
{
    return lookup_road(words, key, slot, learn);
}

}  // namespace

void
word_cache_init(WordCache &words, PyObject *owner,
                const CacheOwner &hooks) noexcept
{
    words.owner = owner;
    words.hooks = &hooks;
    word_cache_replace(words, Py_NewRef(Py_None));
    words.counter = Py_NewRef(Py_None);
}

void
word_cache_replace(WordCache &words, PyObject *cache, KeyIndex fresh) noexcept
{
    KeyIndex old = words.index;
    fresh.hits = old.hits;
    fresh.misses = old.misses;
    fresh.trusted = false;
    if constexpr (compat::watches_dicts) {
        if (words.cache != nullptr && PyDict_CheckExact(words.cache)) {
            compat::unwatch_dict(words.cache);
        }
        if (cache != nullptr && PyDict_CheckExact(cache) &&
            compat::watch_dict(cache)) {
            fresh.trusted = !fresh.mixed;
            fresh.edits = compat::dict_edits;
        }
    }
    words.index = fresh;
    Py_XSETREF(words.cache, cache);
    // Detached before the release above, which may have replaced the cache
    // again: these keys belong to no one else.
    key_index_clear(old);
}

PyObject *
word_cache_purge(WordCache &words) noexcept
{
    const Py_ssize_t size = PyObject_Size(words.cache);
    if (size < 0) {
        return nullptr;
    }
    if (size < static_cast<Py_ssize_t>(words.max_cache_size)) {
        Py_RETURN_NONE;
    }
    KeyIndex fresh{};
    const int scanned = purge_scan(words, fresh);
    key_index_clear(fresh);
    if (scanned < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

int
word_cache_watch_caches() noexcept
{
    return compat::start_counting_dict_edits();
}

// The cached branch: the entry the key index remembers, if it may be used,
// else the road through the dict.
Ref
word_cache_stem(WordCache &words, PyObject *key, KeyIndex::Slot *slot,
                bool learn) noexcept
{
    if constexpr (!compat::watches_dicts) {
        return lookup_road(words, key, slot, learn);
    }
    if (slot != nullptr && key_index_entries_valid(words.index)) {
        // The cache holds only exact bytes keys, so finding the entry runs
        // no Python code and cannot fail; once found, the index remembers
        // it.
        PyObject *entry = slot->entry;
        if (entry == nullptr) {
            entry = PyDict_GetItemWithError(words.cache, key);
            slot->entry = entry;
        }
        if (entry != nullptr) {
            key_index_count(words.index, true);
            // key is borrowed from the slot: the hit holds it before any
            // Python code can drop it from the index.
            Ref held;
            Ref result;
            Ref caught;
            const int hit = cache_hit(words, entry, key, held, result, caught);
            if (hit > 0) {
                return result;
            }
            if (hit < 0) {
                return Ref();
            }
            return cache_miss(words, held.get(), std::move(caught));
        }
    }
    return lookup_road_apart(words, key, slot, learn);
}

Py_ssize_t
word_cache_quick_hits(WordCache &words, PyObject *const *items, Py_ssize_t n,
                      PyObject **out, bool &failed) noexcept
{
    failed = false;
    if constexpr (!compat::watches_dicts) {
        return 0;
    }
    // Nothing below runs Python code or changes a dict until a word leaves
    // the run, so the capacity, the items and the index's trust stay as
    // they are, and hits keep the index worthwhile.
    if (!word_cache_quick_ready(words)) {
        return 0;
    }
    // The hits are counted when the run ends, or before a miss path that
    // reads the counts.
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
        PyObject *word = items[i];
        if (!PyUnicode_CheckExact(word) || !PyUnicode_IS_ASCII(word)) {
            break;
        }
        KeyIndex::Slot *slot =
            key_index_find(words.index, compat::str_hash(word),
                           static_cast<const char *>(PyUnicode_DATA(word)),
                           PyUnicode_GET_LENGTH(word));
        if (slot == nullptr || slot->entry == nullptr) {
            break;
        }
        // An entry whose stamp is not an int (other code put it there) can
        // run a finalizer when the hit releases it: the ordinary road.
        PyObject *entry = slot->entry;
        if (!PyList_CheckExact(entry) || PyList_GET_SIZE(entry) < 2 ||
            !PyLong_CheckExact(PyList_GET_ITEM(entry, 1))) {
            break;
        }
        Ref held;
        Ref result;
        Ref caught;
        const int hit =
            cache_hit(words, entry, slot->key, held, result, caught);
        if (hit > 0) {
            out[i] = result.release();
            continue;
        }
        key_index_count_hits(words.index, i + 1);
        if (hit == 0) {
            result = cache_miss(words, held.get(), std::move(caught));
        }
        if (hit < 0 || !result) {
            failed = true;
            return i;
        }
        // The miss path can run Python code: the caller reads the items
        // again.
        out[i] = result.release();
        return i + 1;
    }
    key_index_count_hits(words.index, i);
    return i;
}

}  // namespace morvane
