"""The test command's two tiers.

quick (the default): the plain suite on every CPython found, the debug
build included, and one run under the sanitizers on the newest release.
full (--full, what CI runs): that, the sanitizers on every other version,
valgrind's memcheck on the oldest and the newest release, the reference-leak run on the
debug build, the check that the memory checkers catch a deliberate leak,
and one plain run against the system's own (older) libstemmer.

Every build links today's libstemmer: the sid root's, and on the host a
private copy of it (tools/morvane_dev/libstemmer.py).

Runs go two at a time, one per core, longest first; each writes its own log
under build/test-results and the command prints a summary line per run and
a closing "N passed, N failed" line.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import signal
import time

from . import arm64, interpreters, libstemmer, runs
from .interpreters import Interpreter
from .runs import Job, Outcome
from .sidroot import SidRoot
from .system import Failure, apt_install, say, section, warn, which

# The word lists the agreement tests read from /usr/share/dict and
# /usr/share/hunspell; the tests skip those that are missing.
WORDLISTS = ("wamerican", "wfrench", "wngerman", "wspanish", "witalian",
             "wportuguese", "wswedish", "wdanish", "wnorwegian", "wdutch",
             "wcatalan", "wirish", "hunspell-ar", "hunspell-cs", "hunspell-el", "hunspell-eu",
             "hunspell-hi", "hunspell-hu", "hunspell-id", "hunspell-lt",
             "hunspell-ne", "hunspell-ro", "hunspell-ru", "hunspell-sr",
             "hunspell-tr", "myspell-et", "myspell-fa", "wesperanto",
             "wpolish")

# The files that the reference-leak run repeats, and how: every test is run
# again and again (3 warm-ups, 3 measured runs, as CPython's buildbots run
# regrtest -R 3:3); a test fails when the interpreter's reference total,
# its allocated blocks or the open file descriptors grew in every measured
# run, the rule that tells a leak from noise. tests/test_leaks.py
# is not among them: it repeats each operation thousands of times and
# checks the same totals itself, in the debug build's plain run.
LEAK_RUN = ["--refleaks=3:3", "tests/test_lifecycle.py",
            "tests/test_uninitialised.py", "tests/test_cache.py",
            "tests/test_purge_override.py", "tests/test_hostile.py",
            "tests/test_stem_word.py", "tests/test_stem_words.py"]

# Rough minutes per run on a 2-core machine, to start the long ones first.
WEIGHTS = {"plain": 1.5, "asan": 3.0, "memcheck": 9.0, "leaks": 5.0,
           "checkers": 2.0, "system": 1.5}

WORKERS = 2


def host_packages(full: bool) -> None:
    # clang-format: the formatting check of src/ (tests/test_formatting.py)
    needed = ["libstemmer-dev", "g++", "clang-format", *WORDLISTS]
    if not which("cmake"):
        needed.append("cmake")
    if full:
        needed.append("valgrind")
    apt_install(*needed, why="building and testing Morvane")


def find_interpreters(wanted: list[str]) -> tuple[list[Interpreter],
                                                   list[Outcome],
                                                   SidRoot | None]:
    """Every CPython to test, a failed outcome for each version that cannot
    be had, and the sid root (None where it cannot be made). The root is
    needed for the versions the host lacks and for today's libstemmer."""
    found = {i.key: i for i in interpreters.on_host()}
    problems: list[Outcome] = []
    sid_keys = [k for k in ("3.14", "3.15", "3.15d") if k not in found]
    if wanted:
        sid_keys = [k for k in sid_keys if k in wanted]
    sid: SidRoot | None = SidRoot()
    try:
        sid.ensure()
    except Failure as exc:
        sid = None
        if sid_keys:
            problems.append(Outcome(", ".join(sid_keys)).fail(str(exc)))
        else:
            warn(f"testing with the system's libstemmer: {exc}")
    else:
        for interpreter in interpreters.in_sid_root(sid, mounted=False):
            if interpreter.key in sid_keys:
                found.setdefault(interpreter.key, interpreter)
    chosen = [i for i in found.values()
              if i.key in wanted or (not wanted and "t" not in i.key)]
    for key in wanted:
        if key not in found and not any(key in p.label for p in problems):
            problems.append(Outcome(key).fail("no such CPython here"))
    return sorted(chosen, key=Interpreter.sort_key), problems, sid


def plan(chosen: list[Interpreter], full: bool, pytest_args: list[str],
         host_settings: list[str] = ()) -> list[Job]:
    """The runs of a tier. host_settings go to every build on the host
    (they point it at today's libstemmer), except the one run that checks
    the system's own."""
    releases = [i for i in chosen if not i.debug]
    debugs = [i for i in chosen if i.debug]
    base = ["-m", "not checkers", *pytest_args]
    jobs = [Job("plain", i, base) for i in chosen]
    sanitized = releases if full else releases[-1:]
    jobs += [Job("asan", i, base) for i in sanitized]
    if full:
        # memcheck is the slowest run by far (about ten minutes a version
        # here): the oldest and the newest release keep the full gate
        # within the hour; the sanitizers cover every version.
        ends = releases[:1] + releases[-1:] if len(releases) > 1 else releases
        jobs += [Job("memcheck", i, base) for i in ends]
        jobs += [Job("leaks", i, [*LEAK_RUN, *pytest_args]) for i in debugs]
        if releases:
            jobs.append(Job("checkers", releases[-1],
                            ["-m", "checkers", "tests/test_checkers.py"]))
        on_host = [i for i in releases if not i.sid]
        if on_host and host_settings:
            jobs.append(Job("system", on_host[-1], base))
    for job in jobs:
        if not job.interpreter.sid and job.kind != "system":
            job.settings = list(host_settings)
        job.weight = WEIGHTS[job.kind] * (2 if job.interpreter.debug else 1)
    return sorted(jobs, key=lambda j: -j.weight)


def _stop_on_term(*_):
    # Unwind as for Ctrl-C, so that the sid root's mounts are undone.
    raise KeyboardInterrupt


def main(full: bool, wanted: list[str], pytest_args: list[str]) -> int:
    signal.signal(signal.SIGTERM, _stop_on_term)
    started = time.monotonic()
    outcomes: list[Outcome] = []
    section("System packages")
    try:
        host_packages(full)
        say("ok")
    except Failure as exc:
        say(str(exc))
        return finish([Outcome("set-up").fail(str(exc))], started)

    # The full gate also builds the newest CPython's aarch64 wheel and tests
    # it under qemu (tools/morvane_dev/arm64.py); --python aarch64 selects
    # that run alone.
    arm = full and (not wanted or arm64.ARCH in wanted)
    arm_only = wanted == [arm64.ARCH]
    wanted = [key for key in wanted if key != arm64.ARCH]
    section("Interpreters")
    chosen, problems, sid = find_interpreters(wanted) if not arm_only \
        else ([], [], None)
    outcomes += problems
    for interpreter in chosen:
        say(f"  {interpreter.key:6} {interpreter.describe()}")
    host_releases = [i for i in interpreters.on_host() if i.key[-1].isdigit()]
    if arm and host_releases:
        say(f"  {arm64.KEYS[-1]} {arm64.ARCH}, cross-compiled, run by qemu in "
            f"{arm64.Arm64Root().path}")
    if not chosen and not (arm and host_releases):
        return finish(outcomes + [Outcome("interpreters").fail(
            "no CPython 3.11+ found")], started)

    section("libstemmer")
    system_version = libstemmer.installed_version()
    host_settings = []
    if sid:
        prefix, version = libstemmer.private_prefix(sid)
        host_settings = [f"cmake.define.MORVANE_LIBSTEMMER_ROOT={prefix}"]
        versions = (f"libstemmer {version} (Debian sid) in every build; "
                    f"the system's {system_version} in the system run")
    else:
        versions = f"libstemmer {system_version} (the system's)"
    say(versions)

    jobs = plan(chosen, full, pytest_args, host_settings)
    if arm and host_releases:
        jobs.insert(0, arm64.GateJob(host_releases[-1]))
    sids = {i.sid for i in chosen if i.sid}
    with contextlib.ExitStack() as stack:
        for sid in sids:
            stack.enter_context(sid.mounted())
        section(f"{len(jobs)} runs, {WORKERS} at a time; logs in "
                f"{runs.RESULTS.relative_to(runs.ROOT)}")
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            futures = {pool.submit(job.run): job for job in jobs}
            for future in concurrent.futures.as_completed(futures):
                outcome = future.result()
                outcomes.append(outcome)
                report(outcome)
    return finish(outcomes, started, versions)


def report(outcome: Outcome) -> None:
    section(outcome.label)
    if outcome.log and outcome.log.exists():
        lines = outcome.log.read_text(errors="replace").splitlines()
        tail = 60 if not outcome.ok else 6
        if len(lines) > tail:
            say(f"  ... (whole log: {outcome.log.relative_to(runs.ROOT)})")
        for line in lines[-tail:]:
            say("  " + line)
    say(outcome.line())


def finish(outcomes: list[Outcome], started: float, versions="") -> int:
    outcomes.sort(key=lambda o: (o.label.split()[1:] != [], o.label))
    say("\nSummary")
    for outcome in outcomes:
        say("  " + outcome.line())
    minutes = (time.monotonic() - started) / 60
    if versions:
        say(f"  ({versions})")
    say(f"  ({minutes:.1f} minutes)")
    passed = sum(o.passed for o in outcomes)
    failed = sum(o.failed for o in outcomes)
    skipped = sum(o.skipped for o in outcomes)
    line = f"{passed} passed, {failed} failed"
    if skipped:
        line += f", {skipped} skipped"
    say(line)
    return 0 if failed == 0 else 1
