// The key index: finds, from a word's bytes, the bytes object under which
// the cache may hold that word, so a repeated word is looked up with the key
// object itself instead of a freshly encoded copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace morvane {

namespace detail {

// Whether size bytes at a and b agree. Words are short: a plain loop beats
// a call to memcmp.
inline bool
same_bytes(const char *a, const char *b, Py_ssize_t size) noexcept
{
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace detail

// An open-addressing table of exact bytes objects, by content. It only ever
// suggests a key: the cache dict stays the one truth, and a lookup with a
// suggested key is a lookup with an equal exact bytes object, as the
// encoded word would be. Keys may outlive their place in the cache (other
// code can delete them from it), so the index holds strong references;
// releasing an exact bytes object runs no Python code, so every operation
// here is safe whatever state the instance is in. Allocation failures leave
// the index smaller, never an exception set. Zero-filled memory is an empty
// index: instances come from tp_alloc, which runs no constructors.
struct KeyIndex {
    struct Slot {
        Py_hash_t hash;
        PyObject *key;  // strong reference to an exact bytes, or null
    };
    Slot *slots;
    size_t mask;  // slot count - 1; 0 while slots is null
    size_t used;
    // Recent cached lookups, halved now and then. Keeping the index costs
    // every miss a probe and an insertion, which pays only while a fair
    // share of lookups hit; a run of new words (a vocabulary list, say)
    // leaves it alone until hits come back.
    uint32_t hits;
    uint32_t misses;
};

namespace detail {

// Whether a filled slot holds the key with this hash and content.
inline bool
holds(const KeyIndex::Slot &slot, Py_hash_t hash, const char *data,
      Py_ssize_t size) noexcept
{
    return slot.hash == hash && PyBytes_GET_SIZE(slot.key) == size &&
           same_bytes(PyBytes_AS_STRING(slot.key), data, size);
}

}  // namespace detail

inline void
key_index_count(KeyIndex &index, bool hit) noexcept
{
    ++(hit ? index.hits : index.misses);
    if (index.hits + index.misses >= 4096) {
        index.hits /= 2;
        index.misses /= 2;
    }
}

// Whether lookups should consult and extend the index.
inline bool
key_index_worthwhile(const KeyIndex &index) noexcept
{
    // The first lookups of an instance are misses whatever comes next; the
    // slack lets their words, usually the most frequent, into the index.
    return index.misses <= 4 * index.hits + 64;
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

// The key with the given hash and content, borrowed, or null. The hash of an
// ASCII str is the hash of its UTF-8 bytes, so a str word finds the key its
// encoding would equal by the hash it already caches.
inline PyObject *
key_index_find(const KeyIndex &index, Py_hash_t hash, const char *data,
               Py_ssize_t size) noexcept
{
    if (index.slots == nullptr) {
        return nullptr;
    }
    for (size_t i = static_cast<size_t>(hash) & index.mask;;
         i = (i + 1) & index.mask) {
        const KeyIndex::Slot &slot = index.slots[i];
        if (slot.key == nullptr) {
            return nullptr;
        }
        if (detail::holds(slot, hash, data, size)) {
            return slot.key;
        }
    }
}

namespace detail {

// Stores key (a new strong reference) in a table with a free slot, in the
// slot of an equal key if there is one.
inline void
key_index_place(KeyIndex &index, Py_hash_t hash, PyObject *key) noexcept
{
    for (size_t i = static_cast<size_t>(hash) & index.mask;;
         i = (i + 1) & index.mask) {
        KeyIndex::Slot &slot = index.slots[i];
        if (slot.key == nullptr) {
            slot = {hash, key};
            ++index.used;
            return;
        }
        if (holds(slot, hash, PyBytes_AS_STRING(key),
                  PyBytes_GET_SIZE(key))) {
            PyObject *old = slot.key;
            slot.key = key;
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

}  // namespace detail

// Adds key, an exact bytes object. live is how many keys the cache holds: an
// index that has grown well past it holds mostly keys the cache dropped
// behind its back, and starts again rather than grow.
inline void
key_index_add(KeyIndex &index, PyObject *key, Py_ssize_t live) noexcept
{
    const Py_hash_t hash = PyObject_Hash(key);  // cached, cannot fail
    const size_t count = index.slots == nullptr ? 0 : index.mask + 1;
    // At most two thirds full, so probes stay short.
    if (3 * (index.used + 1) > 2 * count) {
        if (index.used > 2 * static_cast<size_t>(live) + 64) {
            key_index_clear(index);
        }
        const size_t current = index.slots == nullptr ? 0 : index.mask + 1;
        if (!detail::key_index_resize(index,
                                      current == 0 ? 64 : 2 * current)) {
            return;
        }
    }
    detail::key_index_place(index, hash, Py_NewRef(key));
}

// An empty index with room for count keys, or as much as memory allows.
inline void
key_index_reserve(KeyIndex &index, size_t count) noexcept
{
    size_t slots = 64;
    while (2 * slots < 3 * count) {
        slots *= 2;
    }
    detail::key_index_resize(index, slots);
}

}  // namespace morvane
