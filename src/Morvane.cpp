// The module Morvane: its definition, the create and exec slots with the
// process-wide records they keep, and the module-level functions. The top
// floor: calls the class, the word cache, the stemmer and the bottom floor.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>

#include "binder.hpp"
#include "constants.hpp"
#include "cpython_compat.hpp"
#include "function_object.hpp"
#include "ref.hpp"
#include "stemmer.hpp"
#include "stemming_object.hpp"
#include "word_cache.hpp"

// The CPython version this build records as its own: the headers' unless
// the build says otherwise (to test the mismatch warning).
#ifndef MORVANE_BUILD_MAJOR
#define MORVANE_BUILD_MAJOR PY_MAJOR_VERSION
#define MORVANE_BUILD_MINOR PY_MINOR_VERSION
#endif

namespace morvane {
namespace {

// What the module creates is kept here for the life of the process. Each
// object pointer owns a strong reference that nothing releases, except that
// a failed exec slot clears `module`.
struct Records {
    int64_t interpreter = -1;  // the one interpreter allowed to import us
    PyObject *module = nullptr;
    PyObject *dict = nullptr;
    PyObject *builtins = nullptr;
    PyObject *algorithms_defaults = nullptr;
};

Records records;

constexpr unsigned long build_version =
    (static_cast<unsigned long>(MORVANE_BUILD_MAJOR) << 24) |
    (static_cast<unsigned long>(MORVANE_BUILD_MINOR) << 16);

// Module functions

constexpr Signature algorithms_sig = {
    "algorithms", {&Constants::aliases}, 1, 0};
constexpr Signature version_sig = {"version", {}, 0, 0, true};

PyObject *
module_algorithms_impl(PyObject *) noexcept
{
    Ref list = Ref::from_new(PyList_New(0));
    if (!list) {
        return nullptr;
    }
    for (const char **name = stemmer_names(); *name != nullptr; ++name) {
        Ref raw = Ref::from_new(PyBytes_FromString(*name));
        if (!raw) {
            return nullptr;
        }
        PyObject *args[] = {raw.get(), constants.ascii};
        Ref text = Ref::from_new(
            PyObject_VectorcallMethod(constants.decode, args, 2, nullptr));
        if (!text || PyList_Append(list.get(), text.get()) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

constexpr const char algorithms_doc[] =
    "Get a list of the names of the available stemming algorithms.\n"
    "    \n"
    "    Note that there are also aliases for these algorithm"
    " names, which are not\n"
    "    included in this list by default.  If the 'aliases'"
    " keyword parameter is\n"
    "    False, this list is guaranteed to contain precisely one"
    " entry for each\n"
    "    available stemming algorithm.  Otherwise, all known"
    " aliases for algorithms\n"
    "    will be included in the list.\n"
    "\n"
    "    Note that the classic Porter stemming algorithm for English is\n"
    "    available by default: although this has been superseded"
    " by an improved\n"
    "    algorithm, the original algorithm may be of interest to information\n"
    "    retrieval researchers wishing to reproduce results of earlier\n"
    "    experiments.  Most users will want to use the"
    " \"english\" algorithm,\n"
    "    instead of the \"porter\" algorithm.\n"
    "\n"
    "    ";

PyObject *
module_algorithms(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames) noexcept
{
    PyObject *bound[1] = {};
    if (!bind(algorithms_sig, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    // Accepted and never examined: every value lists the same names.
    Ref aliases =
        Ref::from_borrowed(bound[0] != nullptr ? bound[0] : Py_False);
    return module_algorithms_impl(aliases.get());
}

constexpr const char version_doc[] =
    "Get the version string of the stemming module.\n"
    "\n"
    "    This version number is for the Morvane module as a"
    " whole (not for an\n"
    "    individual stemming algorithm).\n"
    "\n"
    "    ";

PyObject *
module_version(PyObject *, PyObject *const *args, Py_ssize_t nargs,
               PyObject *kwnames) noexcept
{
    if (!bind(version_sig, args, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return Py_NewRef(constants.module_version);
}

PyMethodDef algorithms_def = {"algorithms", as_method(module_algorithms),
                              METH_FASTCALL | METH_KEYWORDS, algorithms_doc};
PyMethodDef version_def = {"version", as_method(module_version),
                           METH_FASTCALL | METH_KEYWORDS, version_doc};

// Create slot

// Copied from the import spec into the new module, in this order. Before
// the exec slot has made the constants these names are C strings.
struct SpecCopy {
    const char *spec_name;
    const char *module_name;
    bool store_none;
};

constexpr SpecCopy spec_copies[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

PyObject *
module_create(PyObject *spec, PyModuleDef *) noexcept
{
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return nullptr;
    }
    if (records.interpreter == -1) {
        records.interpreter = id;
    }
    else if (records.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return nullptr;
    }
    if (records.module != nullptr) {
        return Py_NewRef(records.module);
    }
    Ref name = Ref::from_new(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::from_new(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());
    for (const SpecCopy &copy : spec_copies) {
        Ref value =
            Ref::from_new(PyObject_GetAttrString(spec, copy.spec_name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !copy.store_none) {
            continue;
        }
        if (PyDict_SetItemString(dict, copy.module_name, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

// Exec slot

int
warn_on_version_mismatch() noexcept
{
    if ((Py_Version & 0xFFFF0000UL) == build_version) {
        return 0;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s "
                  "runtime version %d.%d",
                  MORVANE_BUILD_MAJOR, MORVANE_BUILD_MINOR, "Morvane",
                  "does not match", static_cast<int>(Py_Version >> 24),
                  static_cast<int>((Py_Version >> 16) & 0xFF));
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int
install_functions(PyObject *dict) noexcept
{
    Ref algorithms =
        make_function(&algorithms_def, nullptr, constants.algorithms,
                      constants.algorithms, constants.Morvane,
                      "(aliases=False)", records.algorithms_defaults, dict);
    if (!algorithms ||
        PyDict_SetItem(dict, constants.algorithms, algorithms.get()) < 0) {
        return -1;
    }
    Ref version = make_function(&version_def, nullptr, constants.version,
                                constants.version, constants.Morvane, "()",
                                nullptr, dict);
    if (!version ||
        PyDict_SetItem(dict, constants.version, version.get()) < 0) {
        return -1;
    }
    return 0;
}

// Steps after the module is recorded; a failure leaves what was created in
// the records and lets module_exec forget the module.
int
exec_steps(PyObject *module) noexcept
{
    PyObject *dict = PyModule_GetDict(module);
    if (dict == nullptr) {
        return -1;
    }
    Py_XSETREF(records.dict, Py_NewRef(dict));
    PyObject *builtins = compat::import_add_module_ref("builtins");
    if (builtins == nullptr) {
        return -1;
    }
    Py_XSETREF(records.builtins, builtins);
    // The constants are made below; until then names are C strings.
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return -1;
    }
    if (warn_on_version_mismatch() < 0) {
        return -1;
    }
    if (fill_constants() < 0) {
        return -1;
    }
    PyObject *modules = PyImport_GetModuleDict();
    const int registered = PyDict_Contains(modules, constants.Morvane);
    if (registered < 0) {
        return -1;
    }
    if (registered == 0 &&
        PyDict_SetItem(modules, constants.Morvane, module) < 0) {
        return -1;
    }
    if (records.algorithms_defaults == nullptr) {
        records.algorithms_defaults = PyTuple_Pack(1, Py_False);
        if (records.algorithms_defaults == nullptr) {
            return -1;
        }
    }
    if (PyType_Ready(&FunctionType) < 0) {
        return -1;
    }
    if (word_cache_watch_caches() < 0 || stemming_ready(module) < 0) {
        return -1;
    }
    if (PyDict_SetItem(dict, constants.module_docformat,
                       constants.restructuredtext_en) < 0) {
        return -1;
    }
    if (install_functions(dict) < 0 || stemming_install_methods(dict) < 0) {
        return -1;
    }
    Ref test = Ref::from_new(PyDict_New());
    if (!test || PyDict_SetItem(dict, constants.module_test, test.get()) < 0) {
        return -1;
    }
    return 0;
}

int
module_exec(PyObject *module) noexcept
{
    if (records.module != nullptr) {
        if (records.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'Morvane' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    records.module = Py_NewRef(module);
    if (exec_steps(module) < 0) {
        Py_CLEAR(records.module);
        return -1;
    }
    return 0;
}

// Module definition

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

constexpr const char module_doc[] =
    "Morvane: stemming algorithms from the snowball project.\n\n";

// Designated initializers name only the fields in use; the rest are zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Morvane",
    .m_doc = module_doc,
    .m_size = 0,
    .m_slots = module_slots,
};
#pragma GCC diagnostic pop

}  // namespace
}  // namespace morvane

PyMODINIT_FUNC
PyInit_Morvane(void)
{
    return PyModuleDef_Init(&morvane::module_def);
}
