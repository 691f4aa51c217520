// Ref: the move-only owner of one strong reference. The bottom floor:
// calls only CPython.
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

}  // namespace morvane
