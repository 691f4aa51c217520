// The word cache: one struct per instance (cache dict, counter, capacity,
// key index) and its hit, miss and purge scan. Calls the stemmer, the
// compat header and Ref; reaches its owner only through the hooks it is
// given, never through the class.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cpython_compat.hpp"
#include "ref.hpp"
#include "stemmer.hpp"

namespace morvane {

// The key index: an open-addressing table of the cache's exact bytes keys,
// by content, so that a repeated str word is looked up with the key object
// itself instead of a freshly encoded copy, which a hit would otherwise
// allocate, hash and compare. It only ever suggests a key: the cache dict
// stays the one truth, and a lookup with a suggested key is a lookup with
// an equal exact bytes object, as the encoded word would be. Keys may
// outlive their place in the cache (other code can delete them from it), so
// the index holds strong references; releasing an exact bytes object runs
// no Python code, so every operation on it is safe whatever state the
// instance is in. Allocation failures leave the index smaller, never an
// exception set. Zero-filled memory is an empty index: instances come from
// tp_alloc, which runs no constructors.
//
// Where CPython can watch dicts (see the compat header) each slot also
// remembers the cache's entry for
// its key, so that a hit skips the dict lookup too. The entries are used
// only while a lookup would find the same one and run no Python code on the
// way: while the cache holds nothing but exact bytes keys that this module
// stored, and no other code has changed it. A dict watcher counts every
// other change, and the entries count while that count stands where it
// stood when the cache was installed (key_index_entries_valid). Elsewhere
// (3.11, free-threaded builds) the index remembers no entries.
// Words cached while the index was left alone (see key_index_worthwhile)
// enter it on their next hit, with the encoded copy of the word as key.
//
// What it saved when it came, measured with and without it: a hit on
// running prose (benchmarks/hit_profile.py, callgrind) cost 372
// instructions instead of 720 on CPython 3.11 (built without PGO) and 231
// instead of 708 on 3.15 (Debian's release build); stemWords on the
// benchmarks' running text took 72 ns a word instead of 79 on 3.11 and 56
// instead of 85 on 3.15 (CPU time, medians of 25 interleaved rounds, each
// on a fresh stemmer). stemWords' run over remembered entries
// (word_cache_quick_hits) has since brought a hit to 101 instructions on
// 3.14 and 3.15. Each miss pays a probe and an insertion for it, and where
// dicts are watched the watcher's call when the miss stores its entry.
struct KeyIndex {
    struct Slot {
        Py_hash_t hash;
        PyObject *key;  // strong reference to an exact bytes, or null
        // The cache's entry under key, borrowed from the cache, or null
        // while unknown; read only while key_index_entries_valid holds.
        PyObject *entry;
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
    // Whether the slots' entries may be used: the cache is watched, holds
    // only exact bytes keys this module stored, and no other code had
    // changed any watched cache when compat::dict_edits was last read into
    // edits.
    // Set only by word_cache_replace; cleared for good, until the next
    // replacement, by a store of another kind of key.
    bool trusted;
    // Set by the purge when it keeps a key of another kind than exact
    // bytes, or when Python code could run during its scan.
    bool mixed;
    uint64_t edits;
};

// Whether the entries that index remembers are the cache's own. Caches are
// dicts that Python code can reach (through the collector); an entry the
// index remembers stays the cache's entry for its key only as long as
// nothing else changed the dict, which the compat header's dict_edits
// counts: every change to a watched cache but the miss path's own stores.
// Any such change, to any instance's cache, makes every instance's
// remembered entries unusable until its cache is next replaced: it never
// happens in ordinary use.
inline bool
key_index_entries_valid(const KeyIndex &index) noexcept
{
    return compat::watches_dicts && index.trusted &&
           index.edits == compat::dict_edits;
}

// Whether lookups should consult and extend the index.
inline bool
key_index_worthwhile(const KeyIndex &index) noexcept
{
    // The first lookups of an instance are misses whatever comes next; the
    // slack lets their words, usually the most frequent, into the index.
    return index.misses <= 4 * index.hits + 64;
}

namespace detail {

// Whether size bytes at a and b agree. Words are short: a call to memcmp
// costs more than the comparison. Loads of 8, 4 or 2 bytes, the last one
// overlapping the one before it, cover every size without reading past
// either end or looping byte by byte.
inline bool
same_bytes(const char *a, const char *b, Py_ssize_t size) noexcept
{
    auto same = [a, b](Py_ssize_t at, auto width) noexcept {
        decltype(width) x;
        decltype(width) y;
        std::memcpy(&x, a + at, sizeof x);
        std::memcpy(&y, b + at, sizeof y);
        return x == y;
    };
    if (size >= 8) {
        for (Py_ssize_t i = 0; i + 8 < size; i += 8) {
            if (!same(i, uint64_t{})) {
                return false;
            }
        }
        return same(size - 8, uint64_t{});
    }
    if (size >= 4) {
        return same(0, uint32_t{}) && same(size - 4, uint32_t{});
    }
    if (size >= 2) {
        return same(0, uint16_t{}) && same(size - 2, uint16_t{});
    }
    return size == 0 || a[0] == b[0];
}

// Whether a filled slot holds the key with this hash and content.
inline bool
holds(const KeyIndex::Slot &slot, Py_hash_t hash, const char *data,
      Py_ssize_t size) noexcept
{
    return slot.hash == hash && PyBytes_GET_SIZE(slot.key) == size &&
           same_bytes(PyBytes_AS_STRING(slot.key), data, size);
}

}  // namespace detail

// The slot of the key with the given hash and content, or null. The hash of
// an ASCII str is the hash of its UTF-8 bytes, so a str word finds the key
// its encoding would equal by the hash it already caches. The slot stays
// valid until the index next changes.
inline KeyIndex::Slot *
key_index_find(KeyIndex &index, Py_hash_t hash, const char *data,
               Py_ssize_t size) noexcept
{
    if (index.slots == nullptr) {
        return nullptr;
    }
    for (size_t i = static_cast<size_t>(hash) & index.mask;;
         i = (i + 1) & index.mask) {
        KeyIndex::Slot &slot = index.slots[i];
        if (slot.key == nullptr) {
            return nullptr;
        }
        if (detail::holds(slot, hash, data, size)) {
            return &slot;
        }
    }
}

struct CacheOwner;

// One instance's word cache, embedded in the instance (zero-filled memory
// from tp_alloc, no constructors run; word_cache_init fills it): the dict
// from encoded words to [stem, stamp] entries, the use counter that stamps
// them, the capacity, the key index, and how to reach the owner.
struct WordCache {
    // Strong references; None until the owner is initialised and after the
    // collector clears it, null only during destruction. cache changes only
    // through word_cache_replace.
    PyObject *cache;
    PyObject *counter;
    int max_cache_size;
    // Keys of cache, by content, to spare a hit the encoded copy of its
    // word. Replaced with cache, in the same step.
    KeyIndex index;
    // The object this struct is embedded in, borrowed (it lives exactly as
    // long), and its class's hooks, static.
    PyObject *owner;
    const CacheOwner *hooks;
};

// What the cache needs of the object that holds it, given by that object's
// class: the cache calls its owner through these alone, with the owner
// held by whoever called the cache.
struct CacheOwner {
    // The owner's stemmer as it is at the moment: Python code that a miss
    // runs can re-initialise the owner and so replace it.
    struct sb_stemmer *(*stemmer)(PyObject *owner) noexcept;
    // Whether the owner's purge method can be Python code (an override).
    bool (*purge_overridable)(PyObject *owner) noexcept;
    // Calls the owner's purge method as Python code would, by name, with
    // the result dropped: 0, or -1 with an exception set.
    int (*purge)(PyObject *owner) noexcept;
};

// Readies a zero-filled struct inside owner: the owner's hooks, and None in
// cache, then in counter.
void word_cache_init(WordCache &words, PyObject *owner,
                     const CacheOwner &hooks) noexcept;

// The one way the cache field changes: stores cache (a new reference; null
// only during destruction) and makes fresh the key index, keeping the
// counts of recent lookups. fresh must hold keys of cache only; the purge
// passes the keys it kept, everyone else an empty index. Releasing the old
// cache can run Python code, which finds the cache consistent.
void word_cache_replace(WordCache &words, PyObject *cache,
                        KeyIndex fresh = {}) noexcept;

// The stem of the encoded word key through the cache: a hit answers from
// the entry, a miss stems, stores and has the owner purge. slot, when
// given, is key's slot in the key index, key borrowed from it; learn asks
// to index key, an exact bytes the index lacks, should the word hit.
Ref word_cache_stem(WordCache &words, PyObject *key,
                    KeyIndex::Slot *slot = nullptr,
                    bool learn = false) noexcept;

// Whether word_cache_quick_hits could take a word at all just now: a test
// that callers make inline, so that words it could not take (the cache off,
// a run of new words) pay no call for it.
inline bool
word_cache_quick_ready(const WordCache &words) noexcept
{
    return compat::watches_dicts && words.max_cache_size > 0 &&
           key_index_worthwhile(words.index) &&
           key_index_entries_valid(words.index);
}

// Stems a run of words from the start of items (n of them), for as long as
// each is an exact ASCII str whose entry the key index remembers and whose
// hit can run no Python code, storing the stems (new references) into out;
// answers how many it stemmed. Every such word takes exactly the road that
// word_cache_stem would give it, without the calls around it: a long text
// is mostly such words. Sets failed, with an exception set, when the last
// word it took failed; it then answers the count before that word.
Py_ssize_t word_cache_quick_hits(WordCache &words, PyObject *const *items,
                                 Py_ssize_t n, PyObject **out,
                                 bool &failed) noexcept;

// Starts the count of edits that keeps the key index's entries honest, once
// per process; where dicts cannot be watched, the index remembers no
// entries. 0, or -1 with an exception set.
int word_cache_watch_caches() noexcept;

// The purge: once the cache holds the capacity or more, keeps only the
// entries of the most recent lookups. None, or null with an exception set.
PyObject *word_cache_purge(WordCache &words) noexcept;

}  // namespace morvane
