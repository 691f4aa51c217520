"""The test command's plan and its reading of pytest's reports
(tools/morvane_dev)."""

import sys
from pathlib import Path

import pytest

# The tooling is imported as the package it is, from tools/.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from morvane_dev import runs, testcmd  # noqa: E402
from morvane_dev.interpreters import Interpreter  # noqa: E402

KEYS = ["3.15d", "3.11", "3.14", "3.12", "3.15", "3.13"]


def interpreters(keys=KEYS):
    return [Interpreter(k, k + ".0", "/base", f"/bin/python{k}") for k in keys]


def kinds(jobs):
    found = {}
    for job in jobs:
        found.setdefault(job.kind, []).append(job.interpreter.key)
    return {kind: sorted(keys) for kind, keys in found.items()}


@pytest.mark.parametrize("full, expected", [
    (False, {"plain": sorted(KEYS), "asan": ["3.15"], "docs": ["3.15"]}),
    (True, {"plain": sorted(KEYS),
            "asan": ["3.11", "3.12", "3.13", "3.14", "3.15"],
            "memcheck": ["3.11", "3.15"],
            "leaks": ["3.15d"], "checkers": ["3.15"], "docs": ["3.15"]}),
], ids=["quick", "full"])
def test_each_tier_runs_what_it_promises(full, expected):
    chosen = sorted(interpreters(), key=Interpreter.sort_key)
    assert kinds(testcmd.plan(chosen, full, [])) == expected


def test_host_builds_take_the_private_libstemmer_but_one():
    chosen = sorted(interpreters(), key=Interpreter.sort_key)
    setting = "cmake.define.MORVANE_LIBSTEMMER_ROOT=/prefix"
    jobs = testcmd.plan(chosen, True, [], [setting])
    (system,) = [job for job in jobs if job.kind == "system"]
    assert system.interpreter.key == "3.15" and system.settings == []
    assert all(job.settings == [setting] for job in jobs if job is not system)
    quick = testcmd.plan(chosen, False, [], [setting])
    assert "system" not in {job.kind for job in quick}


def test_docs_are_built_once_on_the_host_unless_pytest_picks_tests():
    """Sphinx and its theme come as wheels for the host's CPythons; the
    sid root's (here 3.14 and up) are left to the test suite."""
    sid = object()
    chosen = [Interpreter(k, k + ".0", "/base", f"/bin/python{k}",
                          sid if k >= "3.14" else None)
              for k in ["3.11", "3.12", "3.13", "3.14", "3.15", "3.15d"]]
    for full in (False, True):
        docs = [job for job in testcmd.plan(chosen, full, [])
                if job.kind == "docs"]
        assert [(job.interpreter.key, job.label) for job in docs] == \
            [("3.13", "3.13 docs")]
        assert "docs" not in {job.kind for job in
                              testcmd.plan(chosen, full, ["-k", "cache"])}
    only_sid = [i for i in chosen if i.sid]
    assert "docs" not in {job.kind for job in
                          testcmd.plan(only_sid, False, [])}


def test_longest_runs_start_first():
    chosen = sorted(interpreters(), key=Interpreter.sort_key)
    weights = [job.weight for job in testcmd.plan(chosen, True, [])]
    assert weights == sorted(weights, reverse=True)


def test_pytest_arguments_reach_every_run_after_the_tiers_own():
    chosen = sorted(interpreters(), key=Interpreter.sort_key)
    for job in testcmd.plan(chosen, True, ["-k", "cache", "-m", "slow"]):
        assert job.pytest_args[-4:] == ["-k", "cache", "-m", "slow"] or \
            job.kind == "checkers"
        if job.kind in ("plain", "asan", "memcheck"):
            # The deliberate leaks are built only by the self-test.
            assert job.pytest_args[:2] == ["-m", "not checkers"]


@pytest.mark.parametrize("full", [False, True], ids=["quick", "full"])
def test_tooling_tests_run_once_a_tier_beside_the_newest_release(full):
    chosen = sorted(interpreters(), key=Interpreter.sort_key)
    jobs = testcmd.plan(chosen, full, [])
    tooling = [(job.kind, job.interpreter.key) for job in jobs
               if testcmd.TOOLING in job.pytest_args]
    assert tooling == [("plain", "3.15")]
    assert all("tests" in job.pytest_args for job in jobs
               if testcmd.TOOLING in job.pytest_args)
    # Arguments after -- choose the tests themselves.
    assert not any(testcmd.TOOLING in job.pytest_args
                   for job in testcmd.plan(chosen, full, ["-k", "cache"]))


def test_only_the_full_gate_runs_the_long_tests_long():
    chosen = sorted(interpreters(), key=Interpreter.sort_key)
    assert all(job.env == {} for job in testcmd.plan(chosen, False, []))
    long = {job.kind for job in testcmd.plan(chosen, True, [])
            if job.env == testcmd.LONG}
    assert long == {"plain", "asan"}


def test_versions_sort_by_number_with_the_debug_build_last():
    chosen = sorted(interpreters(["3.15d", "3.9", "3.15", "3.10"]),
                    key=Interpreter.sort_key)
    assert [i.key for i in chosen] == ["3.9", "3.10", "3.15", "3.15d"]


@pytest.mark.parametrize("xml, counts", [
    ('<testsuites><testsuite tests="10" failures="1" errors="2" '
     'skipped="3"/></testsuites>', (4, 3, 3)),
    ('<testsuite tests="5" failures="0" errors="0" skipped="0"/>',
     (5, 0, 0)),
    ('<testsuites><testsuite tests="2" failures="1"/>'
     '<testsuite tests="3" skipped="1"/></testsuites>', (3, 1, 1)),
], ids=["errors-fail", "bare-suite", "several-suites"])
def test_junit_counts(tmp_path, xml, counts):
    report = tmp_path / "junit.xml"
    report.write_text(xml)
    assert runs.junit_counts(report) == counts


def test_outcome_line_ends_with_the_reason_a_run_failed():
    outcome = runs.Outcome("3.15 memcheck", passed=7)
    outcome.fail("reports involve the module")
    assert not outcome.ok
    assert outcome.line().startswith(
        "3.15 memcheck: 7 passed, 1 failed; FAILED: reports involve")
