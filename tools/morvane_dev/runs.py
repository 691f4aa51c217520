"""One run of the test suite: a build of the module in a venv of one
interpreter, pytest, and (under a memory checker) the checker's reports.

Every run writes its whole output to a log file of its own, so that two
runs can go side by side on two cores; the test command prints each log's
end and a summary line when the run is over.
"""

from __future__ import annotations

import hashlib
import shutil
import subprocess
import time
import tomllib
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from pathlib import Path

from .interpreters import Interpreter, claim_directory
from .sidroot import command_at, run_logged
from .system import ROOT

RESULTS = ROOT / "build/test-results"


@dataclass
class Outcome:
    label: str
    passed: int = 0
    failed: int = 0
    skipped: int = 0
    notes: list[str] = field(default_factory=list)
    seconds: float = 0.0
    log: Path | None = None
    interpreter: str = ""  # which CPython ran it, for the summary

    def fail(self, why: str) -> "Outcome":
        self.notes.append(f"FAILED: {why}")
        self.failed = max(self.failed, 1)
        return self

    @property
    def ok(self) -> bool:
        return self.failed == 0

    def line(self) -> str:
        text = f"{self.label}: {self.passed} passed, {self.failed} failed"
        if self.skipped:
            text += f", {self.skipped} skipped"
        for note in self.notes:
            text += f"; {note}"
        text += f" [{self.seconds:.0f}s]"
        return text + (f" ({self.interpreter})" if self.interpreter else "")


def junit_counts(path: Path) -> tuple[int, int, int]:
    """(passed, failed, skipped) of a JUnit XML report; errors fail."""
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.iter("testsuite")
    n = dict.fromkeys(("tests", "failures", "errors", "skipped"), 0)
    for suite in suites:
        for key in n:
            n[key] += int(suite.get(key, 0))
    bad = n["failures"] + n["errors"]
    return n["tests"] - bad - n["skipped"], bad, n["skipped"]


def _pyproject() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)


def _tooling_requirements() -> list[str]:
    """What a venv needs to build and test offline: the build backend, the
    test extra, and ninja (CMake itself comes from the system)."""
    data = _pyproject()
    return [*data["build-system"]["requires"], "ninja",
            *data["project"]["optional-dependencies"]["test"]]


class Build:
    """The module built one way (FLAVOUR) into .venv/FLAVOUR-KEY from
    build/FLAVOUR-KEY, for one interpreter."""

    SETTINGS = {
        "py": ["cmake.define.MORVANE_WERROR=ON"],
        "leaks": ["cmake.define.MORVANE_WERROR=ON"],
        "checkers": [],
        "system": ["cmake.define.MORVANE_WERROR=ON"],
        "docs": [],
        # No -Werror: the sanitizers' instrumentation makes GCC warn about
        # code that is fine. Symbols are kept for the reports.
        "asan": ["cmake.define.MORVANE_SANITIZE=ON", "install.strip=false"],
        "memcheck": ["cmake.build-type=RelWithDebInfo",
                     "install.strip=false"],
    }

    def __init__(self, interpreter: Interpreter, flavour: str, log,
                 settings: list[str] = ()):
        self.interpreter = interpreter
        self.flavour = flavour
        self.settings = [*self.SETTINGS[flavour], *settings]
        name = f"{flavour}{interpreter.key}" if flavour == "py" else \
            f"{flavour}-{interpreter.key}"
        self.venv = ROOT / ".venv" / name
        self.build_dir = ROOT / "build" / name
        self.log = log

    # Running things where the interpreter lives

    def argv(self, argv, env: dict[str, str] | None = None) -> list[str]:
        return command_at(self.interpreter.sid, argv, env)

    def call(self, argv, env=None, **kwargs) -> int:
        return run_logged(self.interpreter.sid, argv, self.log, env, **kwargs)

    def output(self, argv) -> str:
        done = subprocess.run(self.argv(argv), cwd=ROOT, text=True,
                              capture_output=True, stdin=subprocess.DEVNULL)
        return done.stdout.strip() if done.returncode == 0 else ""

    @property
    def python(self) -> Path:
        return self.venv / "bin/python"

    # Venv and build

    def prepare(self) -> str | None:
        """Make the venv and install the module; None or what went wrong.

        The venv gets the build backend and test tools once (again when
        pyproject.toml changes); every run then rebuilds the module without
        build isolation, so that a run needs no network, and never tests
        stale code."""
        want = f"{self.interpreter.version} {self.interpreter.base}"
        have = self.output([self.python, "-I", "-c",
                            "import platform, sys; print("
                            "platform.python_version(), sys.base_prefix)"]) \
            if self.python.exists() else ""
        if have != want:
            shutil.rmtree(self.venv, ignore_errors=True)
            if self.call([self.interpreter.exe, "-m", "venv", self.venv]):
                return f"could not create {self.venv.relative_to(ROOT)}"
        stamp = self.venv / ".morvane-tooling"
        wanted = hashlib.sha256(
            (ROOT / "pyproject.toml").read_bytes()).hexdigest()
        pip = [self.python, "-m", "pip", "install", "-q"]
        if not stamp.exists() or stamp.read_text() != wanted:
            if self.call([*pip, *_tooling_requirements()]):
                return "could not install the build and test tools " \
                    "(network?)"
            if self.flavour == "py" and not self.interpreter.debug:
                # The examples' dependencies, from wheels only: where one
                # has none for this CPython yet, their tests skip.
                extra = _pyproject()["project"]["optional-dependencies"][
                    "examples"]
                if self.call([*pip, "--only-binary=:all:", *extra]):
                    self.log.write("(the examples extra is not installed "
                                   "here; its tests skip)\n")
            if self.flavour == "docs" and self.call(
                    [*pip, *_pyproject()["project"]["optional-dependencies"][
                        "docs"]]):
                return "could not install the docs extra (network?)"
            stamp.write_text(wanted)
        # The build directory is this interpreter's alone (its key may
        # name another patch release or origin next time).
        claim_directory(self.build_dir, self.interpreter)
        settings = [f"--config-settings={s}" for s in [
            *self.settings,
            f"build-dir={self.build_dir.relative_to(ROOT)}"]]
        if self.call([*pip, "--no-build-isolation", "--no-deps",
                      "--force-reinstall", ".", *settings]):
            return "could not build and install the module"
        return None

    # The runtimes a sanitized build needs loaded before the interpreter.

    def sanitizer_runtimes(self) -> list[str]:
        found = []
        for name in ("libasan.so", "libubsan.so"):
            path = self.output(["g++", f"-print-file-name={name}"])
            if not path.startswith("/"):
                return []
            found.append(path)
        return found


def run_pytest(build: Build, outcome: Outcome, args, *, env=None,
               prefix=(), checker_exit=None) -> None:
    """Run the suite with build's venv and add its counts to outcome."""
    junit = RESULTS / f"{build.venv.name}.xml"
    junit.unlink(missing_ok=True)
    rc = build.call([*prefix, build.python, "-m", "pytest",
                     f"--junitxml={junit}", "-p", "no:cacheprovider", *args],
                    env=env)
    if junit.exists() and junit.stat().st_size:
        outcome.passed, outcome.failed, outcome.skipped = junit_counts(junit)
    if rc == 5:
        outcome.fail("no tests ran")
    elif rc > 128 or rc < 0:
        outcome.fail(f"pytest killed by signal {abs(rc) % 128 or abs(rc)}")
    elif rc not in (0, checker_exit) and outcome.failed == 0:
        outcome.fail(f"pytest exited {rc}")


# The sanitizers' settings. AddressSanitizer's reports go to files, not to
# stderr, which some tests check to be empty; UBSan's go to stderr all the
# same (next to AddressSanitizer it ignores log_path): undefined behaviour
# aborts the process, so it fails the test that ran it, and the report is
# read from pytest's output (which is why these runs capture with
# --capture=sys: with pytest's default capture of the file descriptors,
# the report would die with the process in pytest's capture file). allocator_may_return_null: a huge request gives
# MemoryError as without the sanitizer, not a report.
# detect_stack_use_after_return stays off: it moves stack frames to the
# heap, which the interpreter's stack depth checks do not expect. Leaks are
# reported when a process exits but do not change its exit status (a test
# that checks a child's status would otherwise fail on the interpreter's own
# leaks); the reports are judged afterwards.
def sanitizer_env(directory: Path, runtimes: list[str]) -> dict[str, str]:
    asan = ":".join([
        "detect_leaks=1", "halt_on_error=1", "abort_on_error=1", "exitcode=0",
        "detect_stack_use_after_return=0", "allocator_may_return_null=1",
        "log_exe_name=1", f"log_path={directory}/asan"])
    return {
        "LD_PRELOAD": ":".join(runtimes),
        "PYTHONMALLOC": "malloc",
        "ASAN_OPTIONS": asan,
        "LSAN_OPTIONS": f"suppressions={ROOT}/tools/lsan.supp:"
                        "print_suppressions=0",
        "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1:"
                         "abort_on_error=1",
    }


# Only the test process runs under valgrind: the processes that the tests
# start (child interpreters, compilers) run without it. 99: valgrind found
# errors, which the reports then judge.
VALGRIND_EXIT = 99


def valgrind_prefix(directory: Path) -> list[str]:
    return ["valgrind", "--tool=memcheck", "--trace-children=no",
            "--leak-check=full", "--show-leak-kinds=definite",
            "--errors-for-leak-kinds=definite",
            f"--error-exitcode={VALGRIND_EXIT}", "--num-callers=40",
            f"--suppressions={ROOT}/tools/valgrind.supp",
            "--child-silent-after-fork=yes", "--xml=yes",
            f"--xml-file={directory}/valgrind.%p.xml",
            f"--log-file={directory}/valgrind.%p.log"]


@dataclass
class Job:
    """One run: KIND (plain, asan, memcheck, leaks) on one interpreter."""
    kind: str
    interpreter: Interpreter
    pytest_args: list[str]
    weight: float = 1.0  # rough minutes, to start the long ones first
    settings: list[str] = field(default_factory=list)  # for the build
    env: dict[str, str] = field(default_factory=dict)  # for pytest

    @property
    def label(self) -> str:
        what = {"plain": "", "asan": " sanitizers", "memcheck": " memcheck",
                "leaks": " leaks", "checkers": " checkers",
                "system": " system libstemmer", "docs": " docs"}[self.kind]
        return f"{self.interpreter.key}{what}"

    def run(self) -> Outcome:
        started = time.monotonic()
        RESULTS.mkdir(parents=True, exist_ok=True)
        path = RESULTS / f"{self.label.replace(' ', '-')}.log"
        outcome = Outcome(self.label, log=path,
                          interpreter=self.interpreter.short())
        with open(path, "w") as log:
            log.write(f"{self.interpreter.describe()}\n")
            try:
                self._run(outcome, log)
            except Exception as exc:  # report it as this run's failure
                outcome.fail(f"{type(exc).__name__}: {exc}")
        outcome.seconds = time.monotonic() - started
        return outcome

    def _run(self, outcome: Outcome, log) -> None:
        # Each kind has a venv of its own: two runs side by side must never
        # rebuild the module under each other.
        flavour = "py" if self.kind == "plain" else self.kind
        build = Build(self.interpreter, flavour, log, self.settings)
        problem = build.prepare()
        if problem:
            outcome.fail(problem)
            return
        if self.kind in ("plain", "leaks", "checkers", "system", "docs"):
            run_pytest(build, outcome, self.pytest_args, env=self.env)
            return
        from . import reports

        directory = ROOT / "build" / self.kind / self.interpreter.key
        shutil.rmtree(directory, ignore_errors=True)
        directory.mkdir(parents=True)
        if self.kind == "asan":
            runtimes = build.sanitizer_runtimes()
            if not runtimes:
                outcome.fail("no libasan/libubsan next to g++")
                return
            log.flush()
            mark = log.tell()
            run_pytest(build, outcome, ["--capture=sys", *self.pytest_args],
                       env={**sanitizer_env(directory, runtimes),
                            **self.env})
            log.flush()
            # UBSan writes to stderr, which is this log.
            with open(log.name, errors="replace") as f:
                f.seek(mark)
                (directory / "pytest.log").write_text(f.read())
            findings = reports.sanitizer_reports(directory, ROOT)
        else:
            run_pytest(build, outcome, self.pytest_args,
                       env={"PYTHONMALLOC": "malloc", **self.env},
                       prefix=valgrind_prefix(directory),
                       checker_exit=VALGRIND_EXIT)
            findings = reports.valgrind_reports(
                sorted(directory.glob("valgrind.*.xml")), ROOT)
        text = findings.format()
        log.write("\n" + text + "\n")
        (directory / "summary.txt").write_text(text + "\n")
        outcome.notes.append(findings.summary())
        if findings.module:
            outcome.fail(f"reports involve the module, see "
                         f"{directory.relative_to(ROOT)}")
