"""The leak run (pytest --refleaks, tests/refleaks.py) must fail what leaks:
a reference too many that only a debug build can see, a block per run, and
no test that merely warms a cache."""

import ctypes
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import refleaks

# Leaking on purpose, and pytest in pytest: nothing here can be repeated.
# Under the memory checkers (PYTHONMALLOC=malloc) the interpreter counts no
# blocks, and the leaks made on purpose would be reported as the module's.
pytestmark = [
    pytest.mark.no_leak_run("tests the leak run by leaking"),
    pytest.mark.skipif(os.environ.get("PYTHONMALLOC") == "malloc",
                       reason="the heap belongs to a memory checker here"),
]

TESTS_DIR = Path(__file__).resolve().parent
WARMUPS, RUNS = 3, 4

needs_refcounts = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"),
    reason="only a debug build of CPython counts references "
           "(sys.gettotalrefcount)",
)


class Kept:
    """One memory block an instance (no __dict__, whatever the version)."""

    __slots__ = ()


def one_reference(target):
    """A run that leaks one reference to target and allocates nothing."""

    def run():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(target))
        return True

    return run


@needs_refcounts
def test_one_reference_per_run_is_a_leak():
    """What a release build hides: the object exists anyway, only its count
    is wrong."""
    growth = refleaks.hunt(one_reference(Kept()), WARMUPS, RUNS)
    assert refleaks.leaked(growth) == {"references": [1] * RUNS}


def test_one_block_per_run_is_a_leak():
    kept = []

    def run():
        kept.append(Kept())
        return True

    leaks = refleaks.leaked(refleaks.hunt(run, WARMUPS, RUNS))
    assert leaks["memory blocks"] == [1] * RUNS
    if hasattr(sys, "gettotalrefcount"):
        # the list's reference and the instance's to its class
        assert leaks["references"] == [2] * RUNS


def test_growth_in_only_some_runs_is_not_a_leak():
    """regrtest's rule: a cache filled in one measured run is noise."""
    kept = []
    calls = []

    def run():
        calls.append(None)
        if len(calls) == WARMUPS + 1:
            kept.extend(Kept() for _ in range(10))
        return True

    growth = refleaks.hunt(run, WARMUPS, RUNS)
    assert growth["memory blocks"][0] >= 10
    assert refleaks.leaked(growth) == {}


def test_a_failed_run_ends_the_hunt():
    calls = []

    def run():
        calls.append(None)
        return len(calls) < 2

    assert refleaks.hunt(run, WARMUPS, RUNS) is None
    assert len(calls) == 2


@pytest.mark.parametrize("value", ["3", "a:b", "0:4", "5:0", "1:2:3"])
def test_bad_run_counts_are_refused(value):
    with pytest.raises(pytest.UsageError):
        refleaks.parse_runs(value)


@pytest.mark.parametrize(
    "value, expected", [("5:4", (5, 4)), (":", (5, 4)), ("2:3", (2, 3))])
def test_run_counts(value, expected):
    assert refleaks.parse_runs(value) == expected


SAMPLE = '''
import ctypes
import pytest

import Morvane

KEPT = []
STEMMER = Morvane.Morvane("english")
STEMMER.stemWord("running")


@pytest.fixture
def stemmer():
    return Morvane.Morvane("english")


def test_clean(stemmer, tmp_path):
    assert stemmer.stemWord("running") == "run"


def test_extra_reference_on_a_cache_hit():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(STEMMER.stemWord("running")))


def test_block_per_run():
    KEPT.append(object())


def test_fails_when_repeated():
    KEPT.append(None)
    assert KEPT.count(None) == 1


@pytest.mark.no_leak_run("runs once only")
def test_marked():
    pass
'''


def test_leak_run_fails_the_leaking_tests(tmp_path):
    """The whole run, in a child pytest: a reference too many on a cache hit
    fails its test where references are counted."""
    (tmp_path / "test_sample.py").write_text(SAMPLE)
    report = tmp_path / "report.xml"
    child = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "refleaks", "-p",
         "no:cacheprovider", f"--refleaks={WARMUPS}:{RUNS}", "-W", "error",
         f"--junitxml={report}", "test_sample.py"],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
        env={**os.environ, "PYTHONPATH": str(TESTS_DIR)},
    )
    outcomes = {}
    messages = {}
    for case in ET.parse(report).getroot().iter("testcase"):
        children = [c for c in case if c.tag in ("failure", "error",
                                                  "skipped")]
        outcomes[case.get("name")] = children[0].tag if children else "passed"
        messages[case.get("name")] = " ".join(
            (c.get("message") or "") + (c.text or "") for c in children)
    debug = hasattr(sys, "gettotalrefcount")
    assert outcomes == {
        "test_clean": "passed",
        # a release build hides it
        "test_extra_reference_on_a_cache_hit": "failure" if debug
        else "passed",
        "test_block_per_run": "failure",
        "test_fails_when_repeated": "failure",
        "test_marked": "skipped",
    }, child.stdout + child.stderr
    if debug:
        assert (f"leaked {[1] * RUNS} references, sum={RUNS}"
                in messages["test_extra_reference_on_a_cache_hit"])
    assert "memory blocks" in messages["test_block_per_run"]
    assert ("not under the leak run: runs once only"
            in messages["test_marked"])
