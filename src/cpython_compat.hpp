// CPython's private and unstable details, and every test of its version:
// the bottom floor, calling only CPython. Each entry names the releases it
// was checked on and what a release after them gets instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Before 3.12 the member types live in a header of their own.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

#include <cstdint>

#include "ref.hpp"

namespace morvane::compat {

// Releases and builds

// Whether this is a release whose internals the tricks below were checked
// on (up to 3.15). A later one takes the public road everywhere, until
// someone checks it there and moves this mark. Free-threaded builds
// (Py_GIL_DISABLED) leave out what is right only while one thread at a
// time runs Python code.
#define MORVANE_CHECKED_RELEASE (PY_VERSION_HEX < 0x03100000)

// Deprecated calls and their replacements

// The exception being raised, taken out of the thread state (new
// reference, or empty when none is set), and put back again. 3.12 replaced
// the three-part PyErr_Fetch/PyErr_Restore with one exception object;
// 3.11 takes the old calls.
inline Ref
fetch_raised() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::from_new(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return Ref();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::from_new(value);
#endif
}

inline void
restore_raised(Ref exc) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject *value = exc.release();
    if (value == nullptr) {
        return;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Holds the pending exception aside, untouched, while code that must not
// see it (or clobber it) runs; restores it on destruction.
class PendingError {
public:
    PendingError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;

    ~PendingError()
    {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, value_, traceback_);
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc_;
#else
    PyObject *type_;
    PyObject *value_;
    PyObject *traceback_;
#endif
};

// A new reference to the module called name, added to sys.modules if
// missing, or null with an exception set. 3.13 deprecated the borrowing
// PyImport_AddModule for PyImport_AddModuleRef.
inline PyObject *
import_add_module_ref(const char *name) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    return Py_XNewRef(PyImport_AddModule(name));
#endif
}

// Member types for PyMemberDef: 3.12 made them public under Py_ names.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_object_ex = Py_T_OBJECT_EX;
inline constexpr int member_readonly = Py_READONLY;
#else
inline constexpr int member_object_ex = T_OBJECT_EX;
inline constexpr int member_readonly = READONLY;
#endif

// Objects changed in place

// Makes op's reference count one higher or lower. Only for a destructor
// that must hand its own object to foreign code without resurrecting it
// (Py_INCREF would, and Py_DECREF back to 0 would destroy it twice).
inline void
adjust_refcount_in_dealloc(PyObject *op, Py_ssize_t by) noexcept
{
    Py_SET_REFCNT(op, Py_REFCNT(op) + by);
}

// Shortens a list that nothing else can reach yet to its first count
// items, all of them set: the slots beyond were never filled.
inline void
truncate_unfilled_list(PyObject *list, Py_ssize_t count) noexcept
{
    Py_SET_SIZE(list, count);
}

// The hash of an exact str, read from the object where it is cached
// already: a str seen before has computed it, and reading it spares a call.
// PyASCIIObject's hash is the non-limited API's from 3.11 to 3.14; 3.15
// reads it through PyUnstable_Unicode_GET_CACHED_HASH; free-threaded builds
// call.
inline Py_hash_t
str_hash(PyObject *str) noexcept
{
#if PY_VERSION_HEX >= 0x030F0000 && !defined(Py_GIL_DISABLED)
    const Py_hash_t hash = PyUnstable_Unicode_GET_CACHED_HASH(str);
#elif MORVANE_CHECKED_RELEASE && !defined(Py_GIL_DISABLED)
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(str)->hash;
#else
    const Py_hash_t hash = -1;
#endif
    return hash != -1 ? hash : PyObject_Hash(str);
}

// The item array of an exact list or tuple, as PyList_GET_ITEM and
// PyTuple_GET_ITEM read it: valid until the sequence next changes, which
// only code that can reach it does.
inline PyObject *const *
sequence_items(PyObject *sequence) noexcept
{
    return PyList_CheckExact(sequence)
               ? reinterpret_cast<PyListObject *>(sequence)->ob_item
               : reinterpret_cast<PyTupleObject *>(sequence)->ob_item;
}

// The item array of a list, to be filled in place.
inline PyObject **
list_items(PyObject *list) noexcept
{
    return reinterpret_cast<PyListObject *>(list)->ob_item;
}

// Gives the slot wrapper descriptor descr (__init__ of a static type) the
// docstring doc, through copy, a record the caller keeps for the life of
// the process: the wrapper's own record is CPython's shared slot table,
// which must not be written. PyWrapperDescrObject and its d_base are the
// non-limited API's, unchanged from 3.11 to 3.15; there is no public way
// to set a slot wrapper's docstring, so later releases use the same, and a
// change to the struct stops the build rather than the module.
inline void
set_slot_wrapper_doc(PyObject *descr, wrapperbase &copy,
                     const char *doc) noexcept
{
    if (!Py_IS_TYPE(descr, &PyWrapperDescr_Type)) {
        return;
    }
    auto *wrapper = reinterpret_cast<PyWrapperDescrObject *>(descr);
    if (wrapper->d_base != &copy) {
        copy = *wrapper->d_base;
        copy.doc = doc;
        wrapper->d_base = &copy;
    }
}

// A new empty dict with room for size items without growing, for the
// purge's new cache. The private _PyDict_NewPresized pays there on 3.15:
// with PyDict_New a purge of a default cache costs a quarter more
// instructions (callgrind: 103 instead of 81 million for the 25 purges of
// 60,000 new words), some 370 per miss. On 3.11 the two cost the same, so
// it takes the public call; 3.12 to 3.14 share 3.15's dicts. Later releases
// take PyDict_New.
inline PyObject *
dict_new_presized(Py_ssize_t size) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && MORVANE_CHECKED_RELEASE
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// Exact ints

// The value of an exact int that fits a long long, without a call where
// the interpreter allows it. False, with no exception set, for anything
// else. The compact-int API is unstable (3.12 to 3.15 checked); 3.11 and
// later releases take the public conversion.
inline bool
exact_int_value(PyObject *op, long long &value) noexcept
{
    if (!PyLong_CheckExact(op)) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030C0000 && MORVANE_CHECKED_RELEASE
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

// Turns old, an int that nothing but its one holder references, into
// counter + 1, in place: to everything else, the same as releasing it and
// making the successor (which the allocator would as likely place at the
// same address), at a fraction of the cost. Only for one-digit positive
// ints well past the small ones that the interpreter shares, and only
// under the GIL, where a reference count of 1 stays 1. The layout of an
// int is CPython's own: 3.11 keeps the digit count in ob_size, 3.12 to 3.15
// in lv_tag; later releases make a new int. It pays on every release
// checked: a cache hit on running prose (benchmarks/hit_profile.py) costs
// 232 instructions instead of 335 on 3.14 and 231 instead of 333 on 3.15,
// whose own free list of ints does not make up for it.
inline bool
recycle_int_as_successor(PyObject *old, PyObject *counter) noexcept
{
#if defined(Py_GIL_DISABLED) || !MORVANE_CHECKED_RELEASE
    (void)old;
    (void)counter;
    return false;
#else
    if (Py_REFCNT(old) != 1 || !PyLong_CheckExact(old) ||
        !PyLong_CheckExact(counter)) {
        return false;
    }
    auto *stamp = reinterpret_cast<PyLongObject *>(old);
    auto *current = reinterpret_cast<PyLongObject *>(counter);
#if PY_VERSION_HEX >= 0x030C0000
    // One digit, positive, no flags.
    constexpr uintptr_t one_digit = uintptr_t{1} << _PyLong_NON_SIZE_BITS;
    if (stamp->long_value.lv_tag != one_digit ||
        current->long_value.lv_tag != one_digit) {
        return false;
    }
    digit *value = stamp->long_value.ob_digit;
    const digit next = current->long_value.ob_digit[0] + 1;
#else
    if (Py_SIZE(old) != 1 || Py_SIZE(counter) != 1) {
        return false;
    }
    digit *value = stamp->ob_digit;
    const digit next = current->ob_digit[0] + 1;
#endif
    if (next <= 1024 || next > PyLong_MASK) {
        return false;
    }
    *value = next;
    return true;
#endif
}

// Dict watchers

// Whether dicts can be watched: from 3.12, and only under the GIL, since
// the count of edits below is one plain global.
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
inline constexpr bool watches_dicts = true;
#else
inline constexpr bool watches_dicts = false;
#endif

// How many times a watched dict changed, additions to quiet_dict aside.
inline uint64_t dict_edits = 0;

// The dict whose additions are not counted while it is set: the caller
// sets it around a store of its own that it keeps track of itself.
inline PyObject *quiet_dict = nullptr;

#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
// The watcher's id, or -1 where there is none: before the first import,
// and where every id was taken.
inline int dict_watcher_id = -1;

// Runs no Python code and never fails.
inline int
count_dict_edit(PyDict_WatchEvent event, PyObject *dict, PyObject *,
                PyObject *) noexcept
{
    // A dict goes only once its holders have let go of it, and they unwatch
    // it before that anyway.
    if (event == PyDict_EVENT_DEALLOCATED ||
        (event == PyDict_EVENT_ADDED && dict == quiet_dict)) {
        return 0;
    }
    ++dict_edits;
    return 0;
}
#endif

// Registers the watcher that counts edits, once per process. 0, also where
// no watcher can be had (watch_dict then says so), or -1 with an exception
// set.
inline int
start_counting_dict_edits() noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (dict_watcher_id < 0) {
        dict_watcher_id = PyDict_AddWatcher(count_dict_edit);
        if (dict_watcher_id < 0) {
            // Every id is taken: nothing is watched.
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                return -1;
            }
            PyErr_Clear();
        }
    }
#endif
    return 0;
}

// Starts counting the edits of dict (an exact dict); whether it now is.
// Fails only once the interpreter has dropped its watchers, late in its
// finalisation: whatever exception was pending stays, and its goes.
inline bool
watch_dict(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (dict_watcher_id < 0) {
        return false;
    }
    PendingError pending;
    return PyDict_Watch(dict_watcher_id, dict) == 0;
#else
    (void)dict;
    return false;
#endif
}

inline void
unwatch_dict(PyObject *dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
    if (dict_watcher_id >= 0) {
        PendingError pending;
        PyDict_Unwatch(dict_watcher_id, dict);
    }
#else
    (void)dict;
#endif
}

}  // namespace morvane::compat
