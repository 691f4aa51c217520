"""The memory checkers see the module's leaks. Variants of the module built
to leak one reference on every cache miss (to the stem, to the cache key,
or to the cache entry) run a few stemWord calls under AddressSanitizer and
under valgrind's memcheck, set up as the test command sets them up; the
reports, sorted by tools/morvane_dev/reports.py, must hold exactly one leak
involving the module, and those of the normal build none. A leaked cache
entry is the one leak that neither checker can see (see ENTRY_UNSEEN)."""

import functools
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

import pytest

# The tooling is imported as the package it is, from tools/.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from morvane_dev import reports, runs

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.checkers

# The first call misses the cache and the others hit it: one reference
# leaked.
SCRIPT = """\
import gc

import Morvane

print(Morvane.__file__)
stemmer = Morvane.Morvane("english")
for _ in range(3):
    assert stemmer.stemWord("running") == "run"
del stemmer
gc.collect()
"""


class Unseen(AssertionError):
    """The checker reported no leak involving the module."""


# A leaked list is still linked into the collector's lists, which the
# interpreter keeps to its end: neither checker counts it as lost. The
# allocation counts of tests/test_leaks.py catch it instead.
ENTRY_UNSEEN = pytest.mark.xfail(
    raises=Unseen, strict=True, reason="a leaked container stays reachable "
    "through the collector's lists")

LEAKS = ["stem", "key", pytest.param("entry", marks=ENTRY_UNSEEN)]


def run(argv, **kwargs):
    if "input" not in kwargs:
        kwargs["stdin"] = subprocess.DEVNULL
    return subprocess.run([str(a) for a in argv], capture_output=True,
                          text=True, timeout=900, **kwargs)


@functools.cache
def missing_toolchain():
    """Why the variants cannot be built here, or None."""
    for tool in ("g++", "cmake"):
        if not shutil.which(tool):
            return f"no {tool}"
    include = sysconfig.get_path("include")
    if not Path(include, "Python.h").exists():
        return f"no Python.h in {include}"
    probe = run(["g++", "-fsyntax-only", "-x", "c++", "-"],
                input="#include <libstemmer.h>\n")
    if probe.returncode != 0:
        return "no libstemmer.h"
    return None


@functools.cache
def sanitizer_runtimes():
    found = []
    for name in ("libasan.so", "libubsan.so"):
        path = run(["g++", f"-print-file-name={name}"]).stdout.strip()
        if not path.startswith("/") or not Path(path).exists():
            return []
        found.append(path)
    return found


def frame_pointers():
    """Whether the interpreter keeps frame pointers, which
    AddressSanitizer's fast unwinding follows out of the interpreter's
    allocator to the code that called it."""
    flags = " ".join(sysconfig.get_config_var(name) or ""
                     for name in ("CFLAGS", "PY_CFLAGS", "BASECFLAGS"))
    return "-fno-omit-frame-pointer" in flags


@functools.cache
def build(checker, leak):
    """The module built for checker ("asan" or "memcheck"), leaking as
    leak says ("" for the normal build); the directory that holds it.

    CMake directly rather than pip: a variant then rebuilds in seconds,
    only when the sources changed, in a directory kept per interpreter."""
    problem = missing_toolchain()
    if problem:
        pytest.skip(f"cannot build the module: {problem}")
    with open(ROOT / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    interpreter = hashlib.sha256(
        f"{sys.executable} {sys.version}".encode()).hexdigest()[:10]
    directory = ROOT / "build" / "checkers" / interpreter / \
        f"{checker}-{leak or 'normal'}"
    settings = {
        "asan": ["-DMORVANE_SANITIZE=ON"],
        "memcheck": ["-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
    }[checker]
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    steps = [
        ["cmake", "-S", ROOT, "-B", directory, *generator,
         f"-DSKBUILD_PROJECT_NAME={project['name']}",
         f"-DSKBUILD_PROJECT_VERSION={project['version']}",
         f"-DPython_EXECUTABLE={sys.executable}",
         f"-DMORVANE_DELIBERATE_LEAK={leak}", *settings],
        ["cmake", "--build", directory, "--parallel", "2"],
    ]
    for step in steps:
        done = run(step)
        assert done.returncode == 0, done.stdout + done.stderr
    return directory


def assert_one_module_leak(found, kind):
    if not found.module:
        raise Unseen(found.format())
    assert [f.kind for f in found.module] == [kind], found.format()


def run_script(tmp_path, module_dir, env, prefix=()):
    script = tmp_path / "stem.py"
    script.write_text(SCRIPT)
    done = run([*prefix, sys.executable, script], cwd=tmp_path,
               env={**os.environ, **env, "PYTHONPATH": str(module_dir)})
    # The variant itself ran, not the module installed in the venv.
    assert done.stdout.startswith(str(module_dir)), done.stdout
    return done


def sanitizer_findings(tmp_path, leak, full_stacks):
    runtimes = sanitizer_runtimes()
    if not runtimes:
        pytest.skip("g++ has no AddressSanitizer or UBSan runtime")
    module_dir = build("asan", leak)
    directory = tmp_path / "reports"
    directory.mkdir()
    env = runs.sanitizer_env(directory, runtimes)
    if full_stacks:
        env["ASAN_OPTIONS"] += ":fast_unwind_on_malloc=0"
    done = run_script(tmp_path, module_dir, env)
    # UBSan's reports go to stderr, which the reader takes as pytest.log.
    (directory / "pytest.log").write_text(done.stderr)
    assert done.returncode == 0, done.stderr
    return reports.sanitizer_reports(directory, ROOT)


def valgrind_findings(tmp_path, leak):
    if not shutil.which("valgrind"):
        pytest.skip("no valgrind")
    module_dir = build("memcheck", leak)
    directory = tmp_path / "reports"
    directory.mkdir()
    done = run_script(tmp_path, module_dir, {"PYTHONMALLOC": "malloc"},
                      prefix=runs.valgrind_prefix(directory))
    assert done.returncode in (0, runs.VALGRIND_EXIT), done.stderr
    return reports.valgrind_reports(
        sorted(directory.glob("valgrind.*.xml")), ROOT)


# Fast unwinding is what the test command uses; without frame pointers in
# the interpreter its stacks stop in the interpreter's allocator and never
# reach the module, and only whole stacks (fast_unwind_on_malloc=0, slow)
# show where a leak was made.
UNWINDING = [
    pytest.param(False, id="fast unwinding"),
    pytest.param(True, id="whole stacks"),
]


def needs_reach(full_stacks):
    if not full_stacks and not frame_pointers():
        pytest.skip("the interpreter has no frame pointers: AddressSanitizer"
                    "'s fast unwinding cannot reach the module from its "
                    "allocator (memcheck sees these leaks)")


@pytest.mark.parametrize("full_stacks", UNWINDING)
def test_sanitizers_find_nothing_in_the_normal_build(tmp_path, full_stacks):
    found = sanitizer_findings(tmp_path, "", full_stacks)
    assert found.module == [], found.format()


@pytest.mark.parametrize("full_stacks", UNWINDING)
@pytest.mark.parametrize("leak", LEAKS)
def test_sanitizers_report_a_deliberate_leak(tmp_path, leak, full_stacks):
    needs_reach(full_stacks)
    found = sanitizer_findings(tmp_path, leak, full_stacks)
    assert_one_module_leak(found, "leak")


def test_memcheck_finds_nothing_in_the_normal_build(tmp_path):
    found = valgrind_findings(tmp_path, "")
    assert found.module == [], found.format()


@pytest.mark.parametrize("leak", LEAKS)
def test_memcheck_reports_a_deliberate_leak(tmp_path, leak):
    found = valgrind_findings(tmp_path, leak)
    assert_one_module_leak(found, "Leak_DefinitelyLost")
