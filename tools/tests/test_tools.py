"""The memory checkers' report readers (tools/morvane_dev/reports.py): which
reports involve the module and fail a run, and which are the interpreter's
own and only counted. The samples are reports from real runs, cut short."""

import sys
from collections import Counter
from pathlib import Path

import pytest

# The tooling is imported as the package it is, from tools/.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from morvane_dev import reports  # noqa: E402

ROOT = Path("/work/main")

# AddressSanitizer and UBSan

# CPython 3.15 (built with frame pointers): a stem that the module leaked.
LEAKED_STEM = """
=================================================================
==python==32213==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 44 byte(s) in 1 object(s) allocated from:
    #0 0x7fefcc12435f in malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:67
    #1 0x00000057ab23 in PyObject_Malloc ../Objects/obmalloc.c:1710
    #2 0x00000057ab23 in PyUnicode_New ../Objects/unicodeobject.c:1332
    #3 0x00000057ab23 in unicode_decode_utf8.constprop.0 ../Objects/unicodeobject.c:5341
    #4 0x7fefcadef05d in stem_bytes /work/main/src/stemming_object.cpp:615
    #5 0x7fefcadf7cc3 in cache_miss /work/main/src/stemming_object.cpp:772
    #6 0x0000005debbd in _PyObject_VectorcallTstate ../Include/internal/pycore_call.h:144
    #7 0x7ffd72927d9d  (<unknown module>)

SUMMARY: AddressSanitizer: 44 byte(s) leaked in 1 allocation(s).
"""

# CPython 3.13 (no frame pointers): the interpreter's interned strings, and
# a cache key that the module leaked, whose stack stops short of it.
INTERPRETER_LEAKS = """
=================================================================
==python==25375==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 149195 byte(s) in 2786 object(s) allocated from:
    #0 0x7f28568b89cf in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69
    #1 0x7f2855ba6650 in PyUnicode_New Objects/unicodeobject.c:1329
    #2 0x7f2855ba6650 in PyUnicode_New Objects/unicodeobject.c:1275

Direct leak of 40 byte(s) in 1 object(s) allocated from:
    #0 0x7f28568b89cf in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69
    #1 0x7f2855ae5c0b in _PyBytes_FromSize Objects/bytesobject.c:96
    #2 0x7f2855ae5c0b in PyBytes_FromStringAndSize Objects/bytesobject.c:129

SUMMARY: AddressSanitizer: 149235 byte(s) leaked in 2787 allocation(s).
"""

# CPython 3.15: a stem freed while the cache still held it, then used.
USE_AFTER_FREE = """
=================================================================
==18288==ERROR: AddressSanitizer: heap-use-after-free on address 0x7b9844a33450 at pc 0x7f5844fc8c63 bp 0x7ffd026b9250 sp 0x7ffd026b9248
READ of size 4 at 0x7b9844a33450 thread T0
    #0 0x7f5844fc8c62 in Py_INCREF /usr/include/python3.15/refcount.h:286
    #1 0x7f5844fc8c62 in Py_XINCREF /usr/include/python3.15/refcount.h:523
    #2 0x7f5844fc8c62 in morvane::Ref::from_borrowed(_object*) /work/main/src/ref.hpp:42
    #3 0x7f5844fc8c62 in cache_hit /work/main/src/stemming_object.cpp:723
    #4 0x0000005debbd in _PyObject_VectorcallTstate ../Include/internal/pycore_call.h:144
    #5 0x000000735e50 in _start (/usr/bin/python3.15+0x735e50) (BuildId: d41ac9e28ff414f10df5da23fb051683a7b4adcf)

0x7b9844a33450 is located 0 bytes inside of 44-byte region [0x7b9844a33450,0x7b9844a3347c)
freed by thread T0 here:
    #0 0x7f584652340f in free ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:51
    #1 0x0000005736b2 in _Py_Dealloc ../Objects/object.c:3324
    #2 0x0000005e4daf in Py_DECREF ../Include/refcount.h:427

previously allocated by thread T0 here:
    #0 0x7f584652435f in malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:67
    #1 0x00000057ab23 in PyObject_Malloc ../Objects/obmalloc.c:1710
    #2 0x00000057ab23 in PyUnicode_New ../Objects/unicodeobject.c:1332
    #3 0x7f5844fc105d in stem_bytes /work/main/src/stemming_object.cpp:615

SUMMARY: AddressSanitizer: heap-use-after-free /usr/include/python3.15/refcount.h:286 in Py_INCREF
Shadow bytes around the buggy address:
  0x7b9844a33380: fa fa 00 00 00 00 00 00 fa fa 00 00 00 00 00 fa
=>0x7b9844a33400: fa fa 00 00 00 00 04 fa fa fa[fd]fd fd fd fd fd
==18288==ABORTING
"""

# pytest's output (run with --capture=sys) when UBSan stops a test; the
# interpreter's fault handler follows, naming the module's file again.
UNDEFINED_IN_PYTEST_LOG = """\
============================= test session starts ==============================
collected 1 item

tests/test_stem_word.py /work/main/src/stemming_object.cpp:609:14: runtime error: signed integer overflow: 7 + 2147483645 cannot be represented in type 'int'
    #0 0x7b717588b145 in stem_bytes /work/main/src/stemming_object.cpp:609
    #1 0x7b7175893cf3 in cache_miss /work/main/src/stemming_object.cpp:777
    #2 0x0000005debbd in _PyObject_VectorcallTstate ../Include/internal/pycore_call.h:144

SUMMARY: UndefinedBehaviorSanitizer: undefined-behavior /work/main/src/stemming_object.cpp:609:14 
Fatal Python error: Aborted

Current thread's C stack trace (most recent call first):
  Binary file "/usr/lib/gcc/x86_64-linux-gnu/16/libubsan.so", at __ubsan_handle_add_overflow_abort+0x40 [0x7f717c40e120]
  Binary file "/work/main/.venv/asan-3.15/lib/python3.15/site-packages/Morvane.cpython-315-x86_64-linux-gnu.so", at +0x27146 [0x7b717588b146]
"""

# A compiler that a test ran, under the inherited sanitizer settings.
COMPILER_LEAK = """
=================================================================
==cc1plus==29442==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 240 byte(s) in 6 object(s) allocated from:
    #0 0x7f8fbe4b89cf in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69
    #1 0x1b70de7 in xrealloc (/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus+0x1b70de7)
    #3 0x97b430  (/usr/lib/gcc/x86_64-linux-gnu/12/cc1plus+0x97b430)

SUMMARY: AddressSanitizer: 240 byte(s) leaked in 6 allocation(s).
"""

# Without symbols, frames name only the shared object: the module's, and
# libstemmer's, which only the module calls.
UNSYMBOLISED_LEAKS = """
=================================================================
==python3.13==4121==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 40 byte(s) in 1 object(s) allocated from:
    #0 0x7f28568b89cf in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69
    #1 0x7f2855ae5c0b in _PyBytes_FromSize Objects/bytesobject.c:96
    #2 0x7f8744bcd313  (/work/main/.venv/asan-3.13/lib/python3.13/site-packages/Morvane.cpython-313-x86_64-linux-gnu.so+0x1b313)

Direct leak of 120 byte(s) in 1 object(s) allocated from:
    #0 0x7f28568b89cf in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69
    #1 0x7f2853a01a2e  (/usr/lib/x86_64-linux-gnu/libstemmer.so.0d+0x5a2e)

SUMMARY: AddressSanitizer: 160 byte(s) leaked in 2 allocation(s).
"""

SANITIZER_FAILURE = """\
==python==7731==AddressSanitizer: CHECK failed: asan_thread.cpp:369 "((ptr[0] == kCurrentStackFrameMagic)) != (0)" (0x0, 0x0) (tid=7731)
    #0 0x7f28568c2e1f in CheckUnwind ../../../../src/libsanitizer/asan/asan_rtl.cpp:67
    #1 0x7f2855ba6650 in _PyEval_EvalFrameDefault Python/generated_cases.c.h:813
"""


@pytest.mark.parametrize(
    "name, text, module_kinds, others, other_programs",
    [
        # the module's
        ("asan.python.32213", LEAKED_STEM, ["leak"], {}, {}),
        ("asan.python.18288", USE_AFTER_FREE, ["address error"], {}, {}),
        ("pytest.log", UNDEFINED_IN_PYTEST_LOG, ["undefined behaviour"],
         {}, {}),
        ("asan.python3.13.4121", UNSYMBOLISED_LEAKS, ["leak", "leak"], {},
         {}),
        # the interpreter's
        ("asan.python.25375", INTERPRETER_LEAKS, [],
         {"leak in PyUnicode_New": 1, "leak in _PyBytes_FromSize": 1}, {}),
        ("asan.python.7731", SANITIZER_FAILURE, [],
         {"sanitizer failure in _PyEval_EvalFrameDefault": 1}, {}),
        # other programs, never judged
        ("asan.cc1plus.29442", COMPILER_LEAK, [], {}, {"cc1plus": 1}),
        # not report files
        ("summary.txt", LEAKED_STEM, [], {}, {}),
        ("asan.python", LEAKED_STEM, [], {}, {}),
    ],
    ids=["leaked stem", "use after free", "undefined behaviour",
         "unsymbolised module and libstemmer", "interpreter leaks",
         "sanitizer failure", "compiler", "summary file", "no pid"])
def test_sanitizer_reports_are_sorted(tmp_path, name, text, module_kinds,
                                      others, other_programs):
    (tmp_path / name).write_text(text)
    found = reports.sanitizer_reports(tmp_path, ROOT)
    assert [f.kind for f in found.module] == module_kinds
    assert all(f.file == tmp_path / name for f in found.module)
    assert found.others == others
    assert found.other_programs == other_programs


@pytest.mark.parametrize(
    "text, first, kept, dropped",
    [
        (LEAKED_STEM, "Direct leak of 44 byte(s)", "in stem_bytes",
         "SUMMARY"),
        (USE_AFTER_FREE, "==18288==ERROR: AddressSanitizer: heap-use-after",
         "SUMMARY: AddressSanitizer: heap-use-after-free", "Shadow bytes"),
        (UNDEFINED_IN_PYTEST_LOG, "tests/test_stem_word.py /work/main/src",
         "#1 0x7b7175893cf3 in cache_miss", "Fatal Python error"),
    ],
    ids=["leak: no summary of all leaks", "address error: up to its summary",
         "undefined behaviour: up to the blank line"])
def test_sanitizer_report_text_is_the_report_alone(tmp_path, text, first,
                                                   kept, dropped):
    (tmp_path / "pytest.log").write_text(text)
    (finding,) = reports.sanitizer_reports(tmp_path, ROOT).module
    assert finding.text.startswith(first)
    assert kept in finding.text
    assert dropped not in finding.text


@pytest.mark.parametrize(
    "root, module, others",
    [(ROOT, 1, {}), (Path("/elsewhere"), 0, {"leak in PyUnicode_New": 1})],
    ids=["this tree", "another tree"])
def test_sanitizer_sources_are_those_under_the_root(tmp_path, root, module,
                                                    others):
    """The stem's stack names the module by its source files only."""
    (tmp_path / "asan.python.32213").write_text(LEAKED_STEM)
    found = reports.sanitizer_reports(tmp_path, root)
    assert len(found.module) == module
    assert found.others == others


def test_sanitizer_reports_of_a_run_add_up(tmp_path):
    for name, text in [("asan.python.32213", LEAKED_STEM),
                       ("asan.python.25375", INTERPRETER_LEAKS),
                       ("asan.python.18288", USE_AFTER_FREE),
                       ("asan.cc1plus.29442", COMPILER_LEAK)]:
        (tmp_path / name).write_text(text)
    found = reports.sanitizer_reports(tmp_path, ROOT)
    assert [f.file.name for f in found.module] == [
        "asan.python.18288", "asan.python.32213"]
    assert (found.total, found.leaks) == (4, 3)
    assert found.summary() == (
        "reports involving the module: 1 errors, 1 leaks "
        "(in all: 1 errors, 3 leaks)")


# Valgrind's memcheck

PYTHON = ("/usr/bin/python3.15",
          "/build/reproducible-path/python3.15-3.15.2/build-static/..")
LIBPYTHON = ("/root/.pyenv/versions/3.13.0/lib/libpython3.13.so.1.0",
             "/tmp/python-build.20260509073628.234/Python-3.13.0")
MODULE = ("/work/main/.venv/memcheck-3.15/lib/python3.15/site-packages/"
          "Morvane.cpython-315-x86_64-linux-gnu.so", "/work/main")
PRELOAD = "/usr/libexec/valgrind/vgpreload_memcheck-amd64-linux.so"


def frame(where, fn, subdir="", file="", line="", ip="0x5525EE3"):
    """A frame as memcheck writes it; where is (object, source prefix)."""
    obj, prefix = where
    source = (f"      <dir>{prefix}/{subdir}</dir>\n"
              f"      <file>{file}</file>\n"
              f"      <line>{line}</line>\n") if file else ""
    return (f"    <frame>\n      <ip>{ip}</ip>\n      <obj>{obj}</obj>\n"
            f"      <fn>{fn}</fn>\n{source}    </frame>\n")


def malloc():
    return (f"    <frame>\n      <ip>0x48457D8</ip>\n"
            f"      <obj>{PRELOAD}</obj>\n      <fn>malloc</fn>\n"
            f"      <dir>./coregrind/m_replacemalloc</dir>\n"
            f"      <file>vg_replace_malloc.c</file>\n"
            f"      <line>446</line>\n    </frame>\n")


def stack(*frames):
    return "  <stack>\n" + "".join(frames) + "  </stack>\n"


def error(kind, what, *parts, unique="0x0"):
    """An error; parts are stacks and the auxwhat lines between them."""
    if kind.startswith("Leak_"):
        size = what.split()[0]
        head = (f"  <xwhat>\n    <text>{what}</text>\n"
                f"    <leakedbytes>{size}</leakedbytes>\n"
                f"    <leakedblocks>1</leakedblocks>\n  </xwhat>\n")
    else:
        head = f"  <what>{what}</what>\n"
    body = "".join(p if p.startswith("  <stack>")
                   else f"  <auxwhat>{p}</auxwhat>\n" for p in parts)
    return (f"<error>\n  <unique>{unique}</unique>\n  <tid>1</tid>\n"
            f"  <kind>{kind}</kind>\n{head}{body}</error>\n\n")


HEADER = """<?xml version="1.0"?>

<valgrindoutput>

<protocolversion>4</protocolversion>
<protocoltool>memcheck</protocoltool>

<preamble>
  <line>Memcheck, a memory error detector</line>
  <line>Using Valgrind-3.27.1 and LibVEX; rerun with -h for copyright info</line>
  <line>Command: /work/main/.venv/memcheck-3.15/bin/python -m pytest</line>
</preamble>

<pid>20544</pid>
<ppid>20542</ppid>
<tool>memcheck</tool>

<args>
  <vargv>
    <exe>/usr/bin/valgrind.bin</exe>
    <arg>--tool=memcheck</arg>
  </vargv>
  <argv>
    <exe>/work/main/.venv/memcheck-3.15/bin/python</exe>
    <arg>-m</arg>
    <arg>pytest</arg>
  </argv>
</args>

<status>
  <state>RUNNING</state>
  <time>00:00:00:00.032 </time>
</status>

"""


def counts(tag, pairs):
    inner = "".join(f"  <pair>\n    <count>{n}</count>\n"
                    f"    <{key}>{value}</{key}>\n  </pair>\n"
                    for n, key, value in pairs)
    return f"<{tag}>\n{inner}</{tag}>\n\n"


def valgrind_xml(*errors, suppressed=(), counted=()):
    """A whole file; suppressed: (count, name) of suppressions that
    matched; counted: (count, unique) of the errors."""
    return (HEADER + "".join(errors) +
            "<status>\n  <state>FINISHED</state>\n"
            "  <time>00:00:00:03.203 </time>\n</status>\n\n" +
            counts("errorcounts", [(n, "unique", u) for n, u in counted]) +
            counts("suppcounts", [(n, "name", s) for n, s in suppressed]) +
            "</valgrindoutput>\n")


# A stem that the module leaked.
STEM_LEAK = error(
    "Leak_DefinitelyLost",
    "44 bytes in 1 blocks are definitely lost in loss record 4 of 41",
    stack(malloc(),
          frame(PYTHON, "PyObject_Malloc", "Objects", "obmalloc.c", "1710"),
          frame(PYTHON, "PyUnicode_New", "Objects", "unicodeobject.c",
                "1332"),
          frame(MODULE, "stem_bytes", "src", "stemming_object.cpp", "615"),
          frame(MODULE, "cache_miss", "src", "stemming_object.cpp", "772")))

# CPython 3.13 leaves its interned strings allocated at exit.
INTERNED_LEAK = error(
    "Leak_DefinitelyLost",
    "44 bytes in 1 blocks are definitely lost in loss record 9 of 523",
    stack(malloc(),
          frame(LIBPYTHON, "PyUnicode_New", "Objects", "unicodeobject.c",
                "1329"),
          frame(LIBPYTHON, "unicode_decode_utf8", "Objects",
                "unicodeobject.c", "4910"),
          frame(LIBPYTHON, "PyDict_SetItemString", "Objects",
                "dictobject.c", "4918")),
    unique="0x8")

# The interpreter reads a stem that the module freed too early: the module
# appears only where the block was allocated.
READ_AFTER_FREE = error(
    "InvalidRead", "Invalid read of size 2",
    stack(frame(PYTHON, "PyStackRef_FromPyObjectSteal", "Include/internal",
                "pycore_stackref.h", "512"),
          frame(PYTHON, "_PyEval_EvalFrameDefault.cold", "Python",
                "generated_cases.c.h", "1846")),
    "Address 0x53e5996 is 6 bytes inside a block of size 44 free'd",
    stack(frame(("/usr/libexec/valgrind/vgpreload_memcheck-amd64-linux.so",
                 "./coregrind"), "free", "m_replacemalloc",
                "vg_replace_malloc.c", "990"),
          frame(PYTHON, "_Py_Dealloc", "Objects", "object.c", "3324")),
    "Block was alloc'd at",
    stack(malloc(),
          frame(PYTHON, "PyUnicode_New", "Objects", "unicodeobject.c",
                "1332"),
          frame(MODULE, "cache_miss", "src", "stemming_object.cpp", "772")),
    unique="0x2")

# A value the module never set, tested by the module.
UNINIT_IN_MODULE = error(
    "UninitCondition",
    "Conditional jump or move depends on uninitialised value(s)",
    stack(frame(MODULE, "stem_bytes", "src", "stemming_object.cpp", "609"),
          frame(MODULE, "cache_miss", "src", "stemming_object.cpp", "777"),
          frame(PYTHON, "PyObject_Vectorcall", "Objects", "call.c", "327")))

# The same value, handed by the module to the C library's memcmp.
UNINIT_IN_MEMCMP = error(
    "UninitCondition",
    "Conditional jump or move depends on uninitialised value(s)",
    stack(frame((PRELOAD, "./shared"), "bcmp", "", "vg_replace_strmem.c",
                "1233"),
          frame(MODULE, "key_index_find", "src", "key_index.hpp", "131"),
          frame(MODULE, "stemming_stemWord_impl", "src",
                "stemming_object.cpp", "889")))

# The collector, set off by an allocation of the module, reads an object
# that the interpreter left partly unset: not the module's doing.
UNINIT_IN_COLLECTOR = error(
    "UninitCondition",
    "Conditional jump or move depends on uninitialised value(s)",
    stack(frame(LIBPYTHON, "visit_decref", "Python", "gc.c", "521"),
          frame(LIBPYTHON, "list_traverse", "Objects", "listobject.c",
                "3042"),
          frame(LIBPYTHON, "_PyObject_GC_New", "Python", "gc.c", "2045"),
          frame(MODULE, "cache_miss", "src", "stemming_object.cpp", "779")))

# With --track-origins: used by the interpreter, made by the module.
UNINIT_MADE_BY_MODULE = error(
    "UninitValue", "Use of uninitialised value of size 8",
    stack(frame(PYTHON, "unicode_hash", "Objects", "unicodeobject.c",
                "11730")),
    "Uninitialised value was created by a heap allocation",
    stack(malloc(),
          frame(MODULE, "stem_bytes", "src", "stemming_object.cpp", "609")))


@pytest.mark.parametrize(
    "error, module, others",
    [
        (STEM_LEAK, ["Leak_DefinitelyLost"], {}),
        (INTERNED_LEAK, [], {"Leak_DefinitelyLost in PyUnicode_New": 1}),
        (READ_AFTER_FREE, ["InvalidRead"], {}),
        (UNINIT_IN_MODULE, ["UninitCondition"], {}),
        (UNINIT_IN_MEMCMP, ["UninitCondition"], {}),
        (UNINIT_IN_COLLECTOR, [],
         {"UninitCondition in visit_decref": 1}),
        (UNINIT_MADE_BY_MODULE, ["UninitValue"], {}),
    ],
    ids=["leaked stem", "interned string", "read after the module's free",
         "uninitialised in the module", "uninitialised in memcmp",
         "uninitialised in the collector", "uninitialised origin"])
def test_valgrind_errors_are_sorted(tmp_path, error, module, others):
    path = tmp_path / "valgrind.20544.xml"
    path.write_text(valgrind_xml(error))
    found = reports.valgrind_reports([path], ROOT)
    assert [f.kind for f in found.module] == module
    assert found.others == others
    assert found.cut_short == []


def test_valgrind_text_shows_each_stack_under_its_heading(tmp_path):
    path = tmp_path / "valgrind.20544.xml"
    path.write_text(valgrind_xml(READ_AFTER_FREE))
    (finding,) = reports.valgrind_reports([path], ROOT).module
    assert finding.text.splitlines() == [
        "Invalid read of size 2",
        "    PyStackRef_FromPyObjectSteal (/build/reproducible-path/"
        "python3.15-3.15.2/build-static/../Include/internal/"
        "pycore_stackref.h:512)",
        "    _PyEval_EvalFrameDefault.cold (/build/reproducible-path/"
        "python3.15-3.15.2/build-static/../Python/generated_cases.c.h:1846)",
        "Address 0x53e5996 is 6 bytes inside a block of size 44 free'd",
        "    free (./coregrind/m_replacemalloc/vg_replace_malloc.c:990)",
        "    _Py_Dealloc (/build/reproducible-path/python3.15-3.15.2/"
        "build-static/../Objects/object.c:3324)",
        "Block was alloc'd at",
        "    malloc (./coregrind/m_replacemalloc/vg_replace_malloc.c:446)",
        "    PyUnicode_New (/build/reproducible-path/python3.15-3.15.2/"
        "build-static/../Objects/unicodeobject.c:1332)",
        "    cache_miss (/work/main/src/stemming_object.cpp:772)",
    ]


def test_valgrind_counts_suppressions_not_errors(tmp_path):
    path = tmp_path / "valgrind.20544.xml"
    path.write_text(valgrind_xml(
        UNINIT_IN_MODULE, counted=[(7, "0x0")],
        suppressed=[(3, "cpython-3.11-zero-int-test"),
                    (2, "glibc-wmemcmp-word-reads")]))
    assert reports.valgrind_reports([path], ROOT).suppressed == 5


@pytest.mark.parametrize(
    "cut_after, module",
    [(STEM_LEAK + READ_AFTER_FREE[:200], ["Leak_DefinitelyLost"]),
     ("", [])],
    ids=["within an error", "before any error"])
def test_valgrind_file_cut_short_is_read_up_to_the_cut(tmp_path, cut_after,
                                                       module):
    """A process killed mid-run leaves its XML unfinished."""
    path = tmp_path / "valgrind.20544.xml"
    path.write_text(HEADER + cut_after)
    found = reports.valgrind_reports([path], ROOT)
    assert [f.kind for f in found.module] == module
    assert found.cut_short == [path]


def test_valgrind_skips_a_forked_childs_header(tmp_path):
    child = HEADER.replace("<pid>20544</pid>", "<pid>20547</pid>")
    path = tmp_path / "valgrind.20544.xml"
    path.write_text(valgrind_xml(STEM_LEAK, child + INTERNED_LEAK))
    found = reports.valgrind_reports([path], ROOT)
    assert [f.kind for f in found.module] == ["Leak_DefinitelyLost"]
    assert found.others == {"Leak_DefinitelyLost in PyUnicode_New": 1}
    assert found.cut_short == []


def test_valgrind_reports_of_a_run_add_up(tmp_path):
    paths = [tmp_path / "valgrind.1.xml", tmp_path / "valgrind.2.xml"]
    paths[0].write_text(valgrind_xml(STEM_LEAK, INTERNED_LEAK,
                                     suppressed=[(4, "x")]))
    paths[1].write_text(valgrind_xml(READ_AFTER_FREE, UNINIT_IN_COLLECTOR))
    found = reports.valgrind_reports(paths, ROOT)
    assert [(f.file, f.kind, f.leak) for f in found.module] == [
        (paths[0], "Leak_DefinitelyLost", True),
        (paths[1], "InvalidRead", False)]
    assert found.summary() == (
        "reports involving the module: 1 errors, 1 leaks "
        "(in all: 2 errors, 2 leaks, 4 suppressed)")


# Printing

def test_format_cuts_long_reports_and_counts_the_rest():
    text = "\n".join(f"    #{i} 0x{i:x} in frame_{i}" for i in range(100))
    found = reports.Findings(
        module=[reports.Finding(Path("build/asan/3.15/asan.python.1"),
                                "address error", text)],
        others=Counter({"leak in PyUnicode_New": 2,
                        "leak in traceback_new": 5}),
        other_programs=Counter({"ld": 1, "cc1plus": 3}))
    lines = found.format().splitlines()
    assert lines[0] == ("--- address error, involving the module "
                        "(build/asan/3.15/asan.python.1):")
    assert lines[1:81] == text.splitlines()[:80]
    assert lines[81:] == [
        "    ... 20 more lines in the file",
        "Reports from Python processes that do not involve the module:",
        "      5 x leak in traceback_new",
        "      2 x leak in PyUnicode_New",
        "Reports from other programs the tests ran (not checked): "
        "cc1plus 3, ld 1",
        "reports involving the module: 1 errors, 0 leaks "
        "(in all: 1 errors, 7 leaks)",
    ]
