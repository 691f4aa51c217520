// Ref: the move-only owner of one strong reference, and the small helpers
// that keep version-specific C API calls in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace morvane {

// Owns one strong reference (or none). A raw PyObject * is always borrowed;
// a new reference goes into a Ref on the line that creates it.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }

    Ref &
    operator=(Ref &&other) noexcept
    {
        reset(other.ptr_);
        other.ptr_ = nullptr;
        return *this;
    }

    ~Ref() { Py_XDECREF(ptr_); }

    // Adopts a new reference; null means the call that made it failed.
    static Ref
    from_new(PyObject *p) noexcept
    {
        return Ref(p);
    }

    // Takes a reference of its own to a borrowed object.
    static Ref
    from_borrowed(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *
    get() const noexcept
    {
        return ptr_;
    }

    // Hands the reference on to the caller.
    PyObject *
    release() noexcept
    {
        PyObject *p = ptr_;
        ptr_ = nullptr;
        return p;
    }

    // Stores first, releases afterwards: releasing can run Python code that
    // must not see a dangling pointer here.
    void
    reset(PyObject *p = nullptr) noexcept
    {
        PyObject *old = ptr_;
        ptr_ = p;
        Py_XDECREF(old);
    }

    // Newer clang-formats take `explicit` for a return type.
    // clang-format off
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // clang-format on

private:
    explicit Ref(PyObject *p) noexcept : ptr_(p) {}
    PyObject *ptr_ = nullptr;
};

// The exception being raised, taken out of the thread state (new reference,
// or empty when none is set), and put back again.
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

}  // namespace morvane
