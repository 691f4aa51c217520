"""The leak run: pytest --refleaks[=WARMUPS:RUNS], in the manner of
CPython's regrtest -R.

Each selected test runs its whole protocol (set-up, call, tear-down)
WARMUPS + RUNS times (5:4 by default, as regrtest), then once more for its
report. After each run the caches that fill slowly are cleared and the
collector runs; then the interpreter's total reference count (debug builds
only), its allocated memory blocks and the process's open file descriptors
are read. A test leaks when one of them grew in every measured run, the
rule regrtest uses to tell a leak from noise; the test then fails with the
growth per run. Tests marked no_leak_run are skipped, with the mark's
reason. Without --refleaks this plugin changes nothing.
"""

import collections.abc
import copyreg
import functools
import gc
import linecache
import os
import sys
import warnings

import pytest
from _pytest.runner import runtestprotocol

DEFAULT_RUNS = "5:4"
KINDS = ("references", "memory blocks", "file descriptors")


def pytest_addoption(parser):
    parser.addoption(
        "--refleaks", nargs="?", const=DEFAULT_RUNS, default=None,
        metavar="WARMUPS:RUNS",
        help="run each test WARMUPS + RUNS times (default "
             f"{DEFAULT_RUNS}) and fail it when references (debug builds), "
             "memory blocks or file descriptors grow in every measured run")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "no_leak_run(reason): skip this test under --refleaks, for the "
        "reason given (it cannot be repeated in one process, say)")
    value = config.getoption("refleaks")
    if value is not None:
        config.pluginmanager.register(LeakRun(*parse_runs(value)),
                                      "refleaks-run")


def parse_runs(value):
    parts = value.split(":")
    try:
        if len(parts) != 2:
            raise ValueError
        warmups = int(parts[0]) if parts[0] else 5
        runs = int(parts[1]) if parts[1] else 4
    except ValueError:
        raise pytest.UsageError(
            f"--refleaks wants WARMUPS:RUNS, e.g. 5:4, not {value!r}"
        ) from None
    if warmups < 1 or runs < 1:
        raise pytest.UsageError(
            "--refleaks needs at least one warm-up and one measured run")
    return warmups, runs


# Measuring


def fd_count():
    """Open file descriptors, or 0 where the system does not list them."""
    for path in ("/proc/self/fd", "/dev/fd"):
        try:
            # listdir opens one itself
            return len(os.listdir(path)) - 1
        except OSError:
            pass
    return 0


def interned_for_good():
    """(blocks, references) held by strings interned for good, which stay
    until the interpreter ends though nothing leaked them (pathlib interns
    the parts of every new path, say): regrtest does not count them. 3.13
    and later count only the immortal ones; in 3.12 every interned string
    is immortal, and each one also adds two to the reference total; in
    3.11 they die with their last reference."""
    size = getattr(sys, "getunicodeinternedsize", None)
    if size is None:
        return 0, 0
    try:
        return size(_only_immortal=True), 0
    except TypeError:
        count = size()
        return count, 2 * count


class Cleanup:
    """Puts back what a test run may leave in caches that fill slowly: the
    warnings filters and registries, the import, copyreg, line, regex and
    ABC caches, and the interpreter's type and specialisation caches."""

    def __init__(self):
        self.filters = warnings.filters[:]
        self.dispatch = copyreg.dispatch_table.copy()
        self.importers = sys.path_importer_cache.copy()
        self.lines = linecache.cache.copy()

    def __call__(self):
        warnings.filters[:] = self.filters
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.dispatch)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.importers)
        linecache.cache.clear()
        linecache.cache.update(self.lines)
        for module in list(sys.modules.values()):
            if hasattr(module, "__warningregistry__"):
                del module.__warningregistry__
        for name in collections.abc.__all__:
            abc = getattr(collections.abc, name)
            if isinstance(abc, type) and hasattr(abc, "_abc_caches_clear"):
                for cls in [abc, *abc.__subclasses__()]:
                    cls._abc_caches_clear()
        if "re" in sys.modules:
            sys.modules["re"].purge()
        if "typing" in sys.modules:
            for clear in getattr(sys.modules["typing"], "_cleanups", ()):
                clear()
        if "ctypes" in sys.modules:
            reset = getattr(sys.modules["ctypes"], "_reset_cache", None)
            if reset is not None:
                reset()
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:
                stream.flush()
        clear_internal = getattr(sys, "_clear_internal_caches", None)
        if clear_internal is not None:
            clear_internal()
        else:
            sys._clear_type_cache()
        for _ in range(3):
            gc.collect()


def hunt(run, warmups, runs):
    """Call run() warmups + runs times and measure the growth of each
    kind after every call. run returns whether it went well; the first
    call that did not ends the hunt, which then returns None. Otherwise
    the growth in the measured runs, {kind: [delta per run]}."""
    count = warmups + runs
    # Nothing the measuring does may allocate between two readings: the
    # tables are made beforehand and the deltas are taken from a pool of
    # ints made beforehand too, as regrtest does.
    pool = {value: value for value in range(-1000, 1000)}
    gettotalrefcount = getattr(sys, "gettotalrefcount", lambda: 0)
    deltas = {kind: [0] * count for kind in KINDS}
    rc_deltas, block_deltas, fd_deltas = (deltas[kind] for kind in KINDS)
    indices = list(range(count))
    cleanup = Cleanup()
    cleanup()
    interned_blocks, interned_refs = interned_for_good()
    blocks_before = sys.getallocatedblocks() - interned_blocks
    rc_before = gettotalrefcount() - interned_refs
    fds_before = fd_count()
    for i in indices:
        if not run():
            return None
        cleanup()
        interned_blocks, interned_refs = interned_for_good()
        blocks_after = sys.getallocatedblocks() - interned_blocks
        rc_after = gettotalrefcount() - interned_refs
        fds_after = fd_count()
        rc_deltas[i] = pool.setdefault(rc_after - rc_before,
                                       rc_after - rc_before)
        block_deltas[i] = pool.setdefault(blocks_after - blocks_before,
                                          blocks_after - blocks_before)
        fd_deltas[i] = pool.setdefault(fds_after - fds_before,
                                       fds_after - fds_before)
        rc_before, blocks_before = rc_after, blocks_after
        fds_before = fds_after
    if not hasattr(sys, "gettotalrefcount"):
        del deltas["references"]
    return {kind: values[warmups:] for kind, values in deltas.items()}


def leaked(growth):
    """The kinds that grew in every measured run: regrtest's rule, which
    lets [3, 0, 0] or [8, -8, 1] pass as noise and fails [5, 5, 6] or
    [10, 1, 1]."""
    return {kind: values for kind, values in growth.items()
            if all(delta >= 1 for delta in values)}


def describe(leaks):
    return "; ".join(f"leaked {values} {kind}, sum={sum(values)}"
                     for kind, values in leaks.items())


# The pytest side


def prune_stale_finalizers(item):
    """Drop what pytest's wider fixtures keep of the item's finished ones.

    A function-scoped fixture that uses a wider one (tmp_path uses the
    session's tmp_path_factory) leaves a finalizer with the wider fixture,
    which holds its request until the wider one ends: one per run, which
    would show as a leak of every such test. Once the function's fixture is
    finished (its cached_result is None), that finalizer does nothing.
    """
    info = getattr(item, "_fixtureinfo", None)
    if info is None:
        return
    for fixturedefs in info.name2fixturedefs.values():
        for fixturedef in fixturedefs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if finalizers:
                finalizers[:] = [f for f in finalizers if not is_stale(f)]


def is_stale(finalizer):
    if not isinstance(finalizer, functools.partial):
        return False
    owner = getattr(finalizer.func, "__self__", None)
    return (getattr(finalizer.func, "__name__", None) == "finish"
            and owner is not None
            and getattr(owner, "cached_result", ()) is None)


class LeakRun:
    def __init__(self, warmups, runs):
        self.warmups = warmups
        self.runs = runs

    def pytest_report_header(self, config):
        kinds = list(KINDS)
        if not hasattr(sys, "gettotalrefcount"):
            kinds.remove("references")
            kinds.append("(references need a debug build)")
        return (f"leak run: {self.warmups} warm-up and {self.runs} measured "
                f"runs per test; watching {', '.join(kinds)}")

    def pytest_collection_modifyitems(self, items):
        for item in items:
            marker = item.get_closest_marker("no_leak_run")
            if marker is not None:
                reason = (marker.args[0] if marker.args
                          else marker.kwargs.get("reason", "no reason given"))
                item.add_marker(pytest.mark.skip(
                    reason=f"not under the leak run: {reason}"))

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        failure = []

        def run():
            # What a run leaves on the item for its report would pile up.
            item.user_properties.clear()
            item._report_sections.clear()
            # Tear down as if the next test were a sibling: fixtures wider
            # than the function's stay up for the next run.
            reports = runtestprotocol(item, nextitem=item.parent, log=False)
            prune_stale_finalizers(item)
            if all(report.passed for report in reports):
                return True
            failure.extend(report for report in reports if report.failed)
            return False

        growth = hunt(run, self.warmups, self.runs)
        leaks = leaked(growth) if growth is not None else {}
        # The run that is reported, which also tears down what the next
        # test does not share. A failure in the repeated runs is reported
        # even if this run passes; a skip shows as itself.
        item.user_properties.clear()
        item._report_sections.clear()
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid,
                                           location=item.location)
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        for report in reports:
            if report.when == "call" and report.passed:
                if failure:
                    (first, *_) = failure
                    report.outcome = "failed"
                    report.longrepr = (
                        f"failed in an earlier run of the leak run (in "
                        f"{first.when}):\n{first.longreprtext}")
                elif leaks:
                    report.outcome = "failed"
                    report.longrepr = f"{item.nodeid}: {describe(leaks)}"
            item.ihook.pytest_runtest_logreport(report=report)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid,
                                            location=item.location)
        return True
