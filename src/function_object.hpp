// The callable type behind the module's functions and the class's methods:
// a vectorcall object that carries a function's attributes and binds like a
// Python function when it is found on a class. Bottom floor: calls
// CPython, Ref and the compat header.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "cpython_compat.hpp"
#include "ref.hpp"

namespace morvane {

struct FunctionObject {
    PyObject_HEAD
    PyMethodDef *def;  // static; never freed
    // The class a method belongs to (static, never freed), or null for a
    // module-level function. A method takes its first positional argument
    // as the instance and refuses anything that is not one.
    PyTypeObject *owner;
    // The attributes below own a strong reference each.
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *text_signature;  // for inspect and help(): str, or None
    PyObject *defaults;
    PyObject *globals;
    vectorcallfunc vectorcall;
};

// What METH_FASTCALL | METH_KEYWORDS functions are (the public name for it
// only exists from 3.13 on).
using FastMethod = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t,
                                 PyObject *);

inline FunctionObject *
as_function(PyObject *op) noexcept
{
    return reinterpret_cast<FunctionObject *>(op);
}

inline PyObject *
function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames) noexcept
{
    FunctionObject *self = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto method = reinterpret_cast<FastMethod>(
        reinterpret_cast<void (*)()>(self->def->ml_meth));
    if (self->owner == nullptr) {
        return method(nullptr, args, nargs, kwnames);
    }
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", self->def->ml_name,
                     "needs an argument");
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], self->owner)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%.200s' for '%.100s' objects doesn't apply "
                     "to a '%.100s' object",
                     self->def->ml_name, self->owner->tp_name,
                     Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    return method(args[0], args + 1, nargs - 1, kwnames);
}

inline void
function_dealloc(PyObject *op) noexcept
{
    FunctionObject *self = as_function(op);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->text_signature);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->globals);
    Py_TYPE(op)->tp_free(op);
}

inline PyObject *
function_repr(PyObject *op) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>",
                                as_function(op)->qualname, op);
}

// Found through an instance, a function becomes a bound method; found
// through the class (or with no instance), it stays itself.
inline PyObject *
function_descr_get(PyObject *op, PyObject *obj, PyObject *) noexcept
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(op);
    }
    return PyMethod_New(op, obj);
}

inline PyMemberDef function_members[] = {
    {"__name__", compat::member_object_ex, offsetof(FunctionObject, name),
     compat::member_readonly, nullptr},
    {"__qualname__", compat::member_object_ex,
     offsetof(FunctionObject, qualname), compat::member_readonly, nullptr},
    {"__module__", compat::member_object_ex, offsetof(FunctionObject, module),
     compat::member_readonly, nullptr},
    {"__doc__", compat::member_object_ex, offsetof(FunctionObject, doc),
     compat::member_readonly, nullptr},
    {"__text_signature__", compat::member_object_ex,
     offsetof(FunctionObject, text_signature), compat::member_readonly,
     nullptr},
    {"__defaults__", compat::member_object_ex,
     offsetof(FunctionObject, defaults), compat::member_readonly, nullptr},
    {"__globals__", compat::member_object_ex,
     offsetof(FunctionObject, globals), compat::member_readonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Designated initializers name only the slots in use; the rest are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
inline PyTypeObject FunctionType = {
    // The macro brings its own comma, which clang-format cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Morvane.function",
    // clang-format on
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_doc = "A function or method of the Morvane module.",
    .tp_members = function_members,
    .tp_descr_get = function_descr_get,
};
#pragma GCC diagnostic pop

// A new str from text, or a new reference to None when text is null.
inline Ref
text_or_none(const char *text) noexcept
{
    return text == nullptr ? Ref::from_borrowed(Py_None)
                           : Ref::from_new(PyUnicode_FromString(text));
}

// A new function object for def; owner is the class of a method, or null.
// doc comes from def->ml_doc (None when it has none); signature is the
// text inspect reads, as in "($self, /, word)"; defaults may be null for
// None.
inline Ref
make_function(PyMethodDef *def, PyTypeObject *owner, PyObject *name,
              PyObject *qualname, PyObject *module, const char *signature,
              PyObject *defaults, PyObject *globals) noexcept
{
    Ref doc = text_or_none(def->ml_doc);
    Ref text_signature = text_or_none(signature);
    if (!doc || !text_signature) {
        return Ref();
    }
    Ref op = Ref::from_new(PyObject_New(PyObject, &FunctionType));
    if (!op) {
        return Ref();
    }
    FunctionObject *self = as_function(op.get());
    self->def = def;
    self->owner = owner;
    self->name = Py_NewRef(name);
    self->qualname = Py_NewRef(qualname);
    self->module = Py_NewRef(module);
    self->doc = doc.release();
    self->text_signature = text_signature.release();
    self->defaults = Py_NewRef(defaults == nullptr ? Py_None : defaults);
    self->globals = Py_NewRef(globals);
    self->vectorcall = function_vectorcall;
    return op;
}

}  // namespace morvane
