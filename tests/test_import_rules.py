"""What happens while the module is imported: one interpreter per process,
one initialisation per process, the module object made from unusual specs,
and the warning for a build made against another CPython version.

Every test runs in a fresh child interpreter, since these rules are about
the first import in a process."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path
from typing import NamedTuple

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[1]

INTERPRETER_CHANGE = (
    "ImportError: Interpreter change detected - this module can only be "
    "loaded into one interpreter per process."
)
REINITIALISATION = (
    "RuntimeError: Module 'Morvane' has already been imported. "
    "Re-initialisation is not supported."
)

# Shared by every child: report(label, func) prints the value func returns
# or the exception it raises, one line each, so the parent can compare the
# whole output at once.
PRELUDE = """
import sys

def outcome(func):
    try:
        value = func()
    except BaseException as exc:
        return f"{type(exc).__name__}: {exc}"
    return value

def report(label, func):
    print(f"{label}: {outcome(func)}", flush=True)
"""

# The module's definition and slots, reached over the C API so that a spec
# of any shape can be handed to them and modules can be made before any is
# executed. The shared object is located without importing it.
C_API = """
import ctypes
import importlib.util

ORIGIN = importlib.util.find_spec("Morvane").origin

class ModuleDefSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]

# PyModuleDef_Base opens with a PyObject header, whose size is the build's
# own (twice as large where the GIL is disabled): object.__basicsize__ is
# that size, whatever fields it holds.
class ModuleDef(ctypes.Structure):
    _fields_ = [
        ("ob_base", ctypes.c_char * object.__basicsize__),
        ("m_init", ctypes.c_void_p), ("m_index", ctypes.c_ssize_t),
        ("m_copy", ctypes.c_void_p),
        ("m_name", ctypes.c_char_p), ("m_doc", ctypes.c_char_p),
        ("m_size", ctypes.c_ssize_t), ("m_methods", ctypes.c_void_p),
        ("m_slots", ctypes.POINTER(ModuleDefSlot)),
        ("m_traverse", ctypes.c_void_p), ("m_clear", ctypes.c_void_p),
        ("m_free", ctypes.c_void_p),
    ]

extension = ctypes.PyDLL(ORIGIN)
extension.PyInit_Morvane.argtypes = []
extension.PyInit_Morvane.restype = ctypes.c_void_p
DEF = extension.PyInit_Morvane()
MODULE_DEF = ModuleDef.from_address(DEF)

api = ctypes.pythonapi
api.PyModule_FromDefAndSpec2.argtypes = [
    ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
api.PyModule_FromDefAndSpec2.restype = ctypes.py_object
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
api.PyModule_ExecDef.restype = ctypes.c_int

def slots():
    found = []
    while MODULE_DEF.m_slots[len(found)].slot != 0:
        found.append(MODULE_DEF.m_slots[len(found)])
    return found

def create_slot(spec):
    # The definition's own create slot, called directly: CPython's
    # PyModule_FromDefAndSpec2 reads spec.name itself before calling it.
    # PY_MOD_CREATE comes from the slot_ids fixture's part.
    (create,) = [s.value for s in slots() if s.slot == PY_MOD_CREATE]
    call = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object,
                             ctypes.c_void_p)(create)
    return call(spec, DEF)

def from_spec(spec):
    return api.PyModule_FromDefAndSpec2(DEF, spec, sys.api_version)

def execute(module):
    return api.PyModule_ExecDef(module, DEF)

class Spec:
    def __init__(self, **attributes):
        vars(self).update(attributes)
"""


class ModuleSlotIds(NamedTuple):
    create: int
    exec: int

    def code(self):
        """The part that names them for C_API's create_slot."""
        return f"PY_MOD_CREATE = {self.create}\nPY_MOD_EXEC = {self.exec}\n"


SLOT_IDS_PROGRAM = """\
#include <Python.h>
#include <stdio.h>

int
main(void)
{
    printf("%d %d\\n", (int)Py_mod_create, (int)Py_mod_exec);
    return 0;
}
"""


def c_compiler():
    """A C compiler: the one this CPython was built with, else any."""
    configured = (sysconfig.get_config_var("CC") or "").split()[:1]
    for name in [*configured, "cc", "gcc", "clang", "c++", "g++"]:
        found = shutil.which(name)
        if found is not None:
            return found
    return None


@pytest.fixture(scope="session")
def slot_ids(tmp_path_factory):
    """The ids of the create and exec slots in this CPython's headers.

    They are not fixed: 3.15's headers renumbered them (84 and 85, where
    older ones say 1 and 2), so a small program built against the running
    interpreter's own headers prints them."""
    compiler = c_compiler()
    if compiler is None:
        pytest.skip("reading the slot ids from the headers needs a C "
                    "compiler")
    directory = tmp_path_factory.mktemp("slot-ids")
    source = directory / "slot_ids.c"
    source.write_text(SLOT_IDS_PROGRAM)
    program = directory / "slot_ids"
    includes = dict.fromkeys(sysconfig.get_path(name)
                             for name in ("include", "platinclude"))
    proc = subprocess.run(
        [compiler, *(f"-I{path}" for path in includes), str(source),
         "-o", str(program)],
        capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = subprocess.run([str(program)], capture_output=True, text=True,
                          check=True)
    create, exec_ = map(int, proc.stdout.split())
    return ModuleSlotIds(create, exec_)


# Runs code in a second interpreter that shares the main one's GIL (the
# legacy configuration), with whatever this CPython offers for that.
SECOND_INTERPRETER = """
def second_interpreter(code):
    try:
        from _testcapi import run_in_subinterp
    except ImportError:
        pass
    else:
        run_in_subinterp(code)
        return
    try:
        import _interpreters
    except ImportError:
        pass
    else:
        interp = _interpreters.create("legacy")
        try:
            _interpreters.exec(interp, code)
        finally:
            _interpreters.destroy(interp)
        return
    try:
        import _xxsubinterpreters
    except ImportError:
        print("SKIP: this CPython offers no way to start a second "
              "interpreter", flush=True)
        raise SystemExit(0)
    interp = _xxsubinterpreters.create(isolated=False)
    try:
        _xxsubinterpreters.run_string(interp, code)
    finally:
        _xxsubinterpreters.destroy(interp)

# What the second interpreter runs: import the module (from the same
# directories as the main one) and write the outcome to the shared stdout.
IMPORT_THERE = f'''
import os, sys
sys.path[:] = {sys.path!r}
try:
    import Morvane
except BaseException as exc:
    line = f"second interpreter: {{type(exc).__name__}}: {{exc}}"
else:
    line = "second interpreter: imported " + Morvane.__file__
os.write(1, (line + "\\\\n").encode())
'''
"""


def run_child(code, *options, path_first=None, parts=()):
    """Run code in a fresh interpreter and return its output lines; the
    child must exit cleanly and write nothing to stderr."""
    setup = PRELUDE
    if path_first is not None:
        setup += f"sys.path.insert(0, {str(path_first)!r})\n"
    setup += "".join(parts)
    proc = subprocess.run(
        [sys.executable, *options, "-c", setup + textwrap.dedent(code)],
        capture_output=True, text=True, cwd=SOURCE_DIR / "tests",
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    lines = proc.stdout.splitlines()
    if lines and lines[0].startswith("SKIP: "):
        pytest.skip(lines[0][len("SKIP: "):])
    return lines


# Importing again

# What the exec slot puts in the module's namespace: running it again would
# replace these objects.
EXEC_NAMES = ["__builtins__", "Morvane", "__docformat__", "algorithms",
              "version", "__test__"]


def test_import_after_removal_from_sys_modules_gives_same_module():
    lines = run_child("""
        import Morvane as first
        before = [getattr(first, name) for name in EXEC_NAMES]
        del sys.modules["Morvane"]
        import Morvane as second
        print(second is first)
        print(sys.modules["Morvane"] is first)
        print(all(getattr(second, name) is value
                  for name, value in zip(EXEC_NAMES, before)))
    """, parts=[f"EXEC_NAMES = {EXEC_NAMES!r}\n"])
    assert lines == ["True", "True", "True"]


def test_reload_gives_same_module_and_changes_nothing():
    lines = run_child("""
        import importlib
        import Morvane
        before = [getattr(Morvane, name) for name in EXEC_NAMES]
        report("reload", lambda: importlib.reload(Morvane) is Morvane)
        print(all(getattr(Morvane, name) is value
                  for name, value in zip(EXEC_NAMES, before)))
    """, parts=[f"EXEC_NAMES = {EXEC_NAMES!r}\n"])
    assert lines == ["reload: True", "True"]


# One interpreter per process


def test_second_interpreter_is_refused():
    lines = run_child("""
        import Morvane
        second_interpreter(IMPORT_THERE)
        report("main still works", Morvane.version)
    """, parts=[SECOND_INTERPRETER])
    assert lines == [f"second interpreter: {INTERPRETER_CHANGE}",
                     "main still works: 3.1.0"]


def test_second_interpreter_is_refused_every_time():
    lines = run_child("""
        import Morvane
        second_interpreter(IMPORT_THERE)
        second_interpreter(IMPORT_THERE)
    """, parts=[SECOND_INTERPRETER])
    assert lines == [f"second interpreter: {INTERPRETER_CHANGE}"] * 2


def test_first_interpreter_to_import_wins():
    """The rule is about the first interpreter, not the main one."""
    lines = run_child("""
        second_interpreter(IMPORT_THERE)
        report("main", lambda: __import__("Morvane"))
        print("Morvane" in sys.modules)
    """, parts=[SECOND_INTERPRETER])
    assert lines[0].startswith("second interpreter: imported ")
    assert lines[1:] == [f"main: {INTERPRETER_CHANGE}", "False"]


# One initialisation per process


def test_module_definition(slot_ids):
    """Create then exec, nothing else: no slot claims support for several
    interpreters or for running without the GIL."""
    lines = run_child("""
        print(MODULE_DEF.m_name.decode())
        print(repr(MODULE_DEF.m_doc.decode()))
        print(MODULE_DEF.m_size)
        print([s.slot for s in slots()])
        print(MODULE_DEF.m_traverse, MODULE_DEF.m_clear, MODULE_DEF.m_free)
        print(MODULE_DEF.m_methods is None or ctypes.c_void_p.from_address(
            MODULE_DEF.m_methods).value is None)
    """, parts=[C_API])
    assert lines == [
        "Morvane",
        repr("Morvane: stemming algorithms from the snowball project.\n\n"),
        "0",
        str([slot_ids.create, slot_ids.exec]),
        "None None None",
        "True",
    ]


def test_second_module_made_before_first_is_executed_is_refused():
    lines = run_child("""
        first = from_spec(Spec(name="Morvane"))
        second = from_spec(Spec(name="Morvane"))
        print(first is not second)
        report("exec first", lambda: execute(first))
        report("exec second", lambda: execute(second))
        report("second untouched", lambda: sorted(vars(second)))
        import Morvane
        print(Morvane is first)
    """, parts=[C_API])
    assert lines == [
        "True",
        "exec first: 0",
        f"exec second: {REINITIALISATION}",
        "second untouched: ['__doc__', '__loader__', '__name__', "
        "'__package__', '__spec__']",
        "True",
    ]


def test_exec_again_on_the_recorded_module_changes_nothing():
    lines = run_child("""
        module = from_spec(Spec(name="Morvane"))
        report("exec", lambda: execute(module))
        namespace = dict(vars(module))
        report("exec again", lambda: execute(module))
        print(dict(vars(module)) == namespace and all(
            vars(module)[key] is value for key, value in namespace.items()))
    """, parts=[C_API])
    assert lines == ["exec: 0", "exec again: 0", "True"]


def test_create_after_exec_returns_recorded_module_without_reading_spec(
        slot_ids):
    lines = run_child("""
        import Morvane
        report("no name", lambda: create_slot(Spec()) is Morvane)
        report("other name",
               lambda: from_spec(Spec(name="Other")) is Morvane)
    """, parts=[C_API, slot_ids.code()])
    assert lines == ["no name: True", "other name: True"]


# Module objects from unusual specs


def test_spec_attributes_copied_into_module(slot_ids):
    lines = run_child("""
        loader, path = object(), ["somewhere"]
        module = create_slot(Spec(
            name="Morvane", loader=loader, origin="/some/where.so",
            parent="package", submodule_search_locations=path))
        print(module.__name__)
        print(module.__loader__ is loader, module.__path__ is path)
        print(module.__file__, module.__package__)
    """, parts=[C_API, slot_ids.code()])
    assert lines == ["Morvane", "True True", "/some/where.so package"]


@pytest.mark.parametrize(
    "spec, present",
    [
        ("Spec(name='Morvane')",
         {"__loader__": None, "__package__": None}),
        ("Spec(name='Morvane', loader=None, origin='o', parent='p')",
         {"__loader__": None, "__file__": "o", "__package__": "p"}),
        ("Spec(name='Morvane', origin=None)",
         {"__loader__": None, "__file__": None, "__package__": None}),
        ("Spec(name='Morvane', parent=None, loader='L')",
         {"__loader__": "L", "__package__": None}),
        ("Spec(name='Morvane', submodule_search_locations=None)",
         {"__loader__": None, "__package__": None}),
    ],
    ids=["only-name", "loader-None", "origin-None", "parent-None",
         "search-locations-None"],
)
def test_spec_with_missing_or_none_attributes(spec, present, slot_ids):
    """A missing attribute is skipped; None is stored, except that no
    __path__ is made from None."""
    lines = run_child(f"""
        for make in (create_slot, from_spec):
            module = make({spec})
            names = ("__loader__", "__file__", "__package__", "__path__")
            print({{name: vars(module)[name] for name in names
                   if name in vars(module)}})
        module = from_spec({spec})
        report("exec", lambda: execute(module))
        report("works", module.version)
    """, parts=[C_API, slot_ids.code()])
    assert lines == [repr(present), repr(present), "exec: 0", "works: 3.1.0"]


def test_spec_without_name_fails_with_its_attribute_error(slot_ids):
    lines = run_child("""
        report("create slot", lambda: create_slot(Spec(origin="o")))
        report("import machinery", lambda: from_spec(Spec(origin="o")))
        import Morvane
        print(Morvane.version())
    """, parts=[C_API, slot_ids.code()])
    assert lines == [
        "create slot: AttributeError: 'Spec' object has no attribute 'name'",
        "import machinery: AttributeError: "
        "'Spec' object has no attribute 'name'",
        "3.1.0",
    ]


@pytest.mark.parametrize(
    "attribute", ["loader", "origin", "parent", "submodule_search_locations"],
)
def test_spec_attribute_failing_otherwise_fails_the_creation(attribute,
                                                          slot_ids):
    """Only AttributeError means "absent"; any other error propagates."""
    lines = run_child(f"""
        class Failing:
            name = "Morvane"
            def __getattr__(self, attribute):
                if attribute == {attribute!r}:
                    raise ValueError("broken " + attribute)
                raise AttributeError(attribute)

        report("create slot", lambda: create_slot(Failing()))
        class Missing(Failing):
            def __getattr__(self, attribute):
                raise AttributeError(attribute)
        report("all missing", lambda: sorted(vars(create_slot(Missing()))))
    """, parts=[C_API, slot_ids.code()])
    assert lines == [
        f"create slot: ValueError: broken {attribute}",
        "all missing: ['__doc__', '__loader__', '__name__', '__package__', "
        "'__spec__']",
    ]


# Registration in sys.modules


def test_module_loaded_under_another_name_is_registered_as_Morvane():
    lines = run_child("""
        import importlib.util
        origin = importlib.util.find_spec("Morvane").origin
        spec = importlib.util.spec_from_file_location("alias.Morvane", origin)
        module = importlib.util.module_from_spec(spec)
        print("Morvane" in sys.modules)
        spec.loader.exec_module(module)
        print(module.__name__)
        print(sys.modules["Morvane"] is module, "alias.Morvane" in sys.modules)
        import Morvane
        print(Morvane is module)
    """)
    assert lines == ["False", "alias.Morvane", "True False", "True"]


def test_module_with_any_spec_name_is_registered_as_Morvane():
    lines = run_child("""
        module = from_spec(Spec(name="Other"))
        report("exec", lambda: execute(module))
        print(module.__name__, sys.modules["Morvane"] is module,
              "Other" in sys.modules)
    """, parts=[C_API])
    assert lines == ["exec: 0", "Other True False"]


@pytest.mark.parametrize("occupant", ["object()", "None"],
                         ids=["object", "None"])
def test_existing_sys_modules_entry_is_left_alone(occupant):
    lines = run_child(f"""
        import importlib.util
        origin = importlib.util.find_spec("Morvane").origin
        occupant = sys.modules["Morvane"] = {occupant}
        spec = importlib.util.spec_from_file_location("alias.Morvane", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(sys.modules["Morvane"] is occupant, module.version())
    """)
    assert lines == ["True 3.1.0"]


# Built against another CPython version

RUNTIME = f"{sys.version_info.major}.{sys.version_info.minor}"


def mismatch_warning(recorded):
    return (f"compile time Python version {recorded} of module 'Morvane' "
            f"does not match runtime version {RUNTIME}")


def cmake_generator():
    """CMake's generator options: its default (Unix Makefiles) where make
    is found, otherwise Ninja, from PATH or the ninja package on PyPI; None
    when there is neither."""
    if shutil.which("make") is not None:
        return []
    ninja = shutil.which("ninja")
    if ninja is None:
        try:
            import ninja as ninja_package
        except ImportError:
            return None
        ninja = os.path.join(getattr(ninja_package, "BIN_DIR", ""), "ninja")
        if not os.access(ninja, os.X_OK):
            return None
    return ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]


@pytest.fixture(scope="session")
def build_recording(tmp_path_factory):
    """Builds (once per session and version) a variant of the module that
    records the given CPython major.minor instead of its headers' own."""
    cmake = shutil.which("cmake")
    compiler = shutil.which("c++") or shutil.which("g++")
    if cmake is None or compiler is None:
        pytest.skip("building a version-mismatch variant needs cmake and a "
                    "C++ compiler")
    generator = cmake_generator()
    if generator is None:
        pytest.skip("building a version-mismatch variant needs make or "
                    "ninja (on PATH, or the ninja package from PyPI)")
    builds = {}
    root = tmp_path_factory.mktemp("mismatch")

    def build(recorded):
        if recorded not in builds:
            directory = root / recorded
            for command in (
                [cmake, "-S", str(SOURCE_DIR), "-B", str(directory),
                 *generator, f"-DMORVANE_BUILD_PY_VERSION={recorded}",
                 "-DSKBUILD_PROJECT_NAME=Tarnwick",
                 "-DSKBUILD_PROJECT_VERSION=3.1.0",
                 f"-DPython_EXECUTABLE={sys.executable}"],
                [cmake, "--build", str(directory), "--parallel", "2"],
            ):
                proc = subprocess.run(command, capture_output=True, text=True)
                assert proc.returncode == 0, proc.stdout + proc.stderr
            builds[recorded] = directory
        return builds[recorded]

    return build


NEWER = "3.15" if RUNTIME != "3.15" else "3.16"


@pytest.fixture
def newer_build(build_recording):
    return build_recording(NEWER)


IMPORT_RECORDING_WARNINGS = """
    import warnings
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        import Morvane
    print(Morvane.__file__.startswith(sys.path[0]))
    for warning in caught:
        print(warning.category.__name__, warning.message)
    report("works", lambda: Morvane.Morvane("english").stemWord("running"))
"""


def test_version_mismatch_warns_and_imports(newer_build):
    lines = run_child(IMPORT_RECORDING_WARNINGS, path_first=newer_build)
    assert lines == ["True", f"RuntimeWarning {mismatch_warning(NEWER)}",
                     "works: run"]


def test_older_build_version_warns_too(build_recording):
    older = f"3.{sys.version_info.minor - 1}"
    lines = run_child(IMPORT_RECORDING_WARNINGS,
                      path_first=build_recording(older))
    assert lines == ["True", f"RuntimeWarning {mismatch_warning(older)}",
                     "works: run"]


def test_version_mismatch_as_error_fails_and_records_nothing(newer_build):
    lines = run_child("""
        report("first import", lambda: __import__("Morvane"))
        print("Morvane" in sys.modules)
        report("second import", lambda: __import__("Morvane"))
        print("Morvane" in sys.modules)
        import warnings
        warnings.simplefilter("ignore")
        report("without the error", lambda: __import__("Morvane").version())
    """, "-W", "error", path_first=newer_build)
    failure = f"RuntimeWarning: {mismatch_warning(NEWER)}"
    assert lines == [f"first import: {failure}", "False",
                     f"second import: {failure}", "False",
                     "without the error: 3.1.0"]


def test_failed_exec_still_claims_the_interpreter(newer_build):
    """A failed first import keeps its interpreter recorded: a second
    interpreter is refused all the same."""
    lines = run_child("""
        report("main", lambda: __import__("Morvane"))
        second_interpreter(IMPORT_THERE)
    """, "-W", "error", path_first=newer_build, parts=[SECOND_INTERPRETER])
    assert lines == [f"main: RuntimeWarning: {mismatch_warning(NEWER)}",
                     f"second interpreter: {INTERPRETER_CHANGE}"]
