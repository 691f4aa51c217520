"""The test command's two tiers.

quick (the default): the plain suite on every CPython found, the debug
build included, one run under the sanitizers on the newest release, and
the documentation built and checked on the newest release of the host;
the versions that cannot be had here are named, and do not fail it.
full (--full, what CI runs): every version 3.11 to 3.15 and 3.15's debug
build, or it fails; the sanitizers on every other version,
valgrind's memcheck on the oldest and the newest release, the reference-leak run on the
debug build, the check that the memory checkers catch a deliberate leak,
and one plain run against the system's own (older) libstemmer.

Every build links today's libstemmer: the sid root's, and on the host a
private copy of it (tools/morvane_dev/libstemmer.py). A user without root
has no sid root: the builds link the system's libstemmer, and the summary
says what was skipped and the command that would provide it.

Runs go two at a time, one per core, longest first; each writes its own log
under build/test-results and the command prints a summary line per run and
a closing "N passed, N failed" line.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import signal
import time
from pathlib import Path

from . import arm64, interpreters, libstemmer, runs
from .interpreters import Interpreter
from .runs import Job, Outcome
from .sidroot import SidRoot
from .system import (Failure, apt_install, installed, is_root, say,
                     section, warn, which)

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

# The tooling's own tests (the test command, the checkers' reports and
# self-test, the wheels, the formatting, benchmark.py): they need one
# interpreter, not each, so they join the newest release's plain run.
TOOLING = "tools/tests"

# Set in the full gate's plain and sanitizer runs: the tests that can run
# as long as they are given (the long model of the cache) run longer.
LONG = {"MORVANE_LONG_TESTS": "1"}

# Rough minutes per run on a 2-core machine, to start the long ones first.
WEIGHTS = {"plain": 1.5, "asan": 3.0, "memcheck": 9.0, "leaks": 5.0,
           "checkers": 2.0, "system": 1.5, "docs": 1.0}

WORKERS = 2


# What the full gate must test: every supported version, and 3.15's debug
# build for the reference-leak run. The quick tier tests what it can have
# and names the rest.
FULL_GATE = ("3.11", "3.12", "3.13", "3.14", "3.15", "3.15d")
# The versions that the sid root provides.
SID_KEYS = ("3.13", "3.14", "3.15", "3.15d")


def system_pythons() -> list[str]:
    """The system's own python3.X (Debian's), whose venv module and headers
    come in packages of their own."""
    return sorted(p.name for p in Path("/usr/bin").glob("python3.*")
                  if p.name[len("python3."):].isdigit())


def python_packages(name: str) -> list[str]:
    return [f"{name}-venv", f"{name}-dev"]


def host_packages(full: bool) -> list[str]:
    """Installs, as root, the host's packages that the runs need. A user
    without root gets a Failure naming the command when the build itself
    cannot be done, and a note for each check that will skip."""
    # clang-format: the formatting check of src/ (tools/tests)
    required = ["libstemmer-dev", "g++"]
    if not which("cmake"):
        required.append("cmake")
    if full:
        required.append("valgrind")
    optional = ["clang-format", *WORDLISTS]
    pythons = [p for name in system_pythons() for p in python_packages(name)]
    if is_root():
        apt_install(*required, *optional, *pythons,
                    why="building and testing Morvane")
        return []
    apt_install(*required, why="building Morvane")
    missing = [p for p in optional if not installed(p)]
    if not missing:
        return []
    return [f"the formatting check and the agreement tests that need "
            f"{', '.join(missing)} (they skip); as root run: apt-get "
            f"install {' '.join(missing)}"]


def find_interpreters(wanted: list[str], full: bool = False) -> tuple[
        list[Interpreter], list[Outcome], list[str], SidRoot | None]:
    """Every CPython to test (the newest patch release of each version,
    and the system's own beside it), a failed outcome for each that cannot
    be had and must be, notes on what is skipped (why, and the command that
    would provide it), and the sid root (None where it cannot be made)."""
    host, notes = interpreters.host_search()
    found = list(host)
    problems: list[Outcome] = []
    missing_why: dict[str, str] = {}
    sid: SidRoot | None = SidRoot()
    try:
        sid.ensure()
    except Failure as exc:
        sid = None
        lacking = [k for k in SID_KEYS
                   if not any(i.build_key == k for i in host)]
        for key in lacking:
            missing_why[key] = f"Debian sid's, with today's libstemmer: {exc}"
        if not lacking:
            warn(f"testing with the system's libstemmer: {exc}")
    else:
        found += interpreters.in_sid_root(sid, mounted=False)
    chosen = interpreters.newest(found)
    said: set[str] = set()  # versions whose skipping a note explains
    if not is_root():
        for interpreter in list(chosen):
            name = f"python{interpreter.minor}"
            lacking = [p for p in python_packages(name) if not installed(p)]
            if interpreter.system and lacking:
                chosen.remove(interpreter)
                notes.append(
                    f"{interpreter.key}, {interpreter.describe()}: its venv "
                    f"module and headers are in {' and '.join(lacking)}; "
                    f"as root run: apt-get install {' '.join(lacking)}")
                said.add(interpreter.minor)

    def matches(interpreter: Interpreter, key: str) -> bool:
        return key in (interpreter.key, interpreter.build_key)

    if wanted:
        for key in wanted:
            if not any(matches(i, key) for i in chosen):
                problems.append(Outcome(key).fail(
                    missing_why.get(key, "no such CPython here")))
        chosen = [i for i in chosen if any(matches(i, k) for k in wanted)]
    else:
        chosen = [i for i in chosen if "t" not in i.build_key]
        untested: dict[str, list[str]] = {}
        for key in FULL_GATE:
            if any(i.build_key == key for i in chosen) or (
                    key in said and not full):
                continue
            why = missing_why.get(key)
            if full or (why and is_root()):
                # The full gate tests every version; as root, the sid
                # root's versions can be had, so lacking them is a fault.
                problems.append(Outcome(key).fail(
                    why or f"no CPython {key} here; the full gate tests "
                    f"every version"))
            else:
                untested.setdefault(why or _how_to_get(key), []).append(key)
        # Once each: keys that lack the same thing share a line.
        notes += [f"{', '.join(keys)}: not tested: {why}"
                  for why, keys in untested.items()]
    return sorted(chosen, key=Interpreter.sort_key), problems, notes, sid


def _how_to_get(key: str) -> str:
    if key in SID_KEYS:
        return f"not in the sid root; as root run: python3 " \
            f"{runs.ROOT}/tools/run.py sid-root"
    return (f"no CPython {key} on this machine (neither Debian 12 nor sid "
            f"packages one); pyenv can build it: pyenv install {key}")


def plan(chosen: list[Interpreter], full: bool, pytest_args: list[str],
         host_settings: list[str] = ()) -> list[Job]:
    """The runs of a tier. host_settings go to every build on the host
    (they point it at today's libstemmer), except the one run that checks
    the system's own."""
    releases = [i for i in chosen if not i.debug]
    debugs = [i for i in chosen if i.debug]
    base = ["-m", "not checkers", *pytest_args]
    jobs = [Job("plain", i, base) for i in chosen]
    if releases and not pytest_args:
        newest = jobs[chosen.index(releases[-1])]
        newest.pytest_args = [*base, "tests", TOOLING]
    sanitized = releases if full else releases[-1:]
    jobs += [Job("asan", i, base) for i in sanitized]
    # The docs are built once, on the host (Sphinx and its theme come from
    # PyPI as wheels); left out when pytest arguments pick the tests.
    on_host = [i for i in releases if not i.sid]
    if on_host and not pytest_args:
        jobs.append(Job("docs", on_host[-1], ["docs/test_site.py"]))
    if full:
        # memcheck is the slowest run by far (about ten minutes a version
        # here): the oldest and the newest release keep the full gate
        # within the hour; the sanitizers cover every version.
        ends = releases[:1] + releases[-1:] if len(releases) > 1 else releases
        jobs += [Job("memcheck", i, base) for i in ends]
        jobs += [Job("leaks", i, [*LEAK_RUN, *pytest_args]) for i in debugs]
        if releases:
            jobs.append(Job("checkers", releases[-1],
                            ["-m", "checkers",
                             f"{TOOLING}/test_checkers.py"]))
        on_host = [i for i in releases if not i.sid]
        if on_host and host_settings:
            jobs.append(Job("system", on_host[-1], base))
    for job in jobs:
        if full and job.kind in ("plain", "asan", "system"):
            job.env = dict(LONG)
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
        skipped = host_packages(full)
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
    chosen, problems, notes, sid = find_interpreters(wanted, full) \
        if not arm_only else ([], [], [], None)
    skipped += notes
    outcomes += problems
    for interpreter in chosen:
        say(f"  {interpreter.key:12} {interpreter.describe()}")
    host_releases = [i for i in interpreters.on_host() if i.key[-1].isdigit()]
    if arm and host_releases:
        say(f"  {arm64.KEYS[-1]:12} {arm64.ARCH}, cross-compiled, run by "
            f"qemu in {arm64.Arm64Root().path}")
    if not chosen and not (arm and host_releases):
        return finish(outcomes + [Outcome("interpreters").fail(
            "no CPython 3.11+ found")], started, skipped=skipped)

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
    return finish(outcomes, started, versions, skipped)


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


def finish(outcomes: list[Outcome], started: float, versions="",
           skipped: list[str] = ()) -> int:
    outcomes.sort(key=lambda o: (o.label.split()[1:] != [], o.label))
    say("\nSummary")
    for outcome in outcomes:
        say("  " + outcome.line())
    if skipped:
        say("  Skipped here:")
        for note in skipped:
            say("  - " + note)
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
