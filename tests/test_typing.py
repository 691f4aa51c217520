"""The type stub Morvane.pyi: mypy's stubtest against the built module, what
mypy infers and rejects in typical use, and the stub installed where type
checkers look for it. mypy runs in child processes."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

import Morvane  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "Morvane.pyi"
ALLOWLIST = ROOT / "tests" / "stubtest-allowlist.txt"


@pytest.fixture(scope="module")
def stub_dir(tmp_path_factory):
    """A directory holding only the stub of the source tree, for MYPYPATH.

    mypy searches MYPYPATH before site-packages, so this is the stub checked
    even when an older one is installed."""
    path = tmp_path_factory.mktemp("stub")
    shutil.copyfile(STUB, path / "Morvane.pyi")
    return path


def run_mypy(module_args, cwd, mypy_path=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MYPY")}
    # Under the sanitizers, LeakSanitizer's exit-time scan of mypy's large,
    # compiled process can fail on its own on a loaded machine ("LeakSanitizer
    # has encountered a fatal error") and abort a clean check. mypy's leaks
    # are not the module's: the test process itself keeps leak detection.
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    if mypy_path is not None:
        env["MYPYPATH"] = str(mypy_path)
    return subprocess.run(
        [sys.executable, *module_args], cwd=cwd, env=env,
        capture_output=True, text=True, timeout=300)


# stubtest


def test_stubtest_finds_no_difference(stub_dir, tmp_path):
    """Names, parameters, defaults and kinds of the stub match the module."""
    run = run_mypy(["-m", "mypy.stubtest", "Morvane",
                    "--allowlist", str(ALLOWLIST)],
                   cwd=tmp_path, mypy_path=stub_dir)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Success: no issues found in 1 module" in run.stdout


# What mypy makes of typical use. Each case is one line of a program that
# mypy checks in strict mode; "reveal" cases wrap the expression in
# reveal_type and give the type revealed, "error" cases give the error code
# mypy must report for the line, "ok" cases must pass silently.

USAGE = [
    # module functions
    ("algorithms", "reveal", "Morvane.algorithms()", "list[str]"),
    ("algorithms-aliases", "reveal", "Morvane.algorithms(aliases=True)",
     "list[str]"),
    ("version", "reveal", "Morvane.version()", "str"),
    ("version-argument", "error", "Morvane.version(1)", "call-arg"),
    # construction
    ("construct", "reveal", 'Morvane.Morvane("en", 0)', "Morvane.Morvane"),
    ("construct-keywords", "ok",
     'Morvane.Morvane(algorithm="english", maxCacheSize=True)', None),
    ("construct-bytes-name", "error", 'Morvane.Morvane(b"english")',
     "arg-type"),
    ("construct-no-name", "error", "Morvane.Morvane()", "call-arg"),
    ("construct-str-size", "error", 'Morvane.Morvane("en", "10")',
     "arg-type"),
    # stemWord
    ("stemWord-str", "reveal", 's.stemWord("x")', "str"),
    ("stemWord-keyword", "reveal", 's.stemWord(word="x")', "str"),
    ("stemWord-bytes", "reveal", 's.stemWord(b"x")', "bytes"),
    ("stemWord-bytearray", "reveal", 's.stemWord(bytearray(b"x"))',
     "bytes"),
    ("stemWord-int", "error", "s.stemWord(1)", "call-overload"),
    ("stemWord-memoryview", "error", 's.stemWord(memoryview(b"x"))',
     "call-overload"),
    # stemWords
    ("stemWords-str", "reveal", 's.stemWords(["a", "b"])', "list[str]"),
    ("stemWords-generator", "reveal", 's.stemWords(w for w in ("a", "b"))',
     "list[str]"),
    ("stemWords-characters", "reveal", 's.stemWords("abc")', "list[str]"),
    ("stemWords-bytes", "reveal", 's.stemWords([b"a", bytearray(b"b")])',
     "list[bytes]"),
    ("stemWords-mixed", "reveal", 's.stemWords(["a", b"b"])',
     "list[str | bytes]"),
    ("stemWords-of-bytes", "error", 's.stemWords(b"abc")', "arg-type"),
    ("stemWords-of-ints", "error", "s.stemWords(range(3))", "arg-type"),
    # maxCacheSize and the purge
    ("maxCacheSize", "reveal", "s.maxCacheSize", "int"),
    ("maxCacheSize-float", "ok", "s.maxCacheSize = 2.5", None),
    ("maxCacheSize-str", "error", 's.maxCacheSize = "3"', "assignment"),
    ("purge", "reveal", "s._Morvane__purgeCache()", "None"),
    # no instance dictionary; no pickling
    ("new-attribute", "error", "s.extra = 1", "attr-defined"),
    ("reduce", "reveal", "s.__reduce__()", "Never"),
]

LINE = re.compile(r"^usage\.py:(\d+): (error|note): (.*)$")


@pytest.fixture(scope="module")
def mypy_messages(stub_dir, tmp_path_factory):
    """mypy's messages on the usage program, by case id."""
    lines = ["import Morvane", 's = Morvane.Morvane("english")']
    line_of = {}
    for case_id, kind, code, _ in USAGE:
        line_of[len(lines) + 1] = case_id
        lines.append(f"reveal_type({code})" if kind == "reveal" else code)
    workdir = tmp_path_factory.mktemp("usage")
    (workdir / "usage.py").write_text("\n".join(lines) + "\n")
    run = run_mypy(["-m", "mypy", "--strict", "--strict-bytes",
                    "--show-error-codes", "--no-error-summary",
                    "--no-pretty", "--cache-dir", str(workdir / "cache"),
                    "usage.py"],
                   cwd=workdir, mypy_path=stub_dir)
    messages = {case_id: [] for case_id in line_of.values()}
    for text in run.stdout.splitlines():
        match = LINE.match(text)
        assert match, f"unexpected mypy output: {text!r}\n{run.stdout}"
        number, severity, message = match.groups()
        # Follow-up notes (overload variants, protocol members) explain an
        # error already recorded.
        if severity == "note" and not message.startswith("Revealed type"):
            continue
        messages[line_of[int(number)]].append((severity, message))
    assert run.stderr == ""
    return messages


@pytest.mark.parametrize(
    "case_id, kind, expected",
    [(case_id, kind, expected) for case_id, kind, _, expected in USAGE],
    ids=[case[0] for case in USAGE],
)
def test_mypy_on_typical_use(mypy_messages, case_id, kind, expected):
    messages = mypy_messages[case_id]
    if kind == "reveal":
        # Older mypy versions qualify builtin names.
        assert [(s, m.replace("builtins.", "")) for s, m in messages] == [
            ("note", f'Revealed type is "{expected}"')]
    elif kind == "error":
        assert len(messages) == 1, messages
        severity, message = messages[0]
        assert severity == "error"
        assert message.endswith(f"[{expected}]"), message
    else:
        assert messages == []


# The installed stub


@pytest.mark.parametrize(
    "relative",
    [
        # next to the extension module, where pyright, Jedi and editors
        # look for it
        "Morvane.pyi",
        # mypy reads a single-module distribution's stub only from a stub
        # package
        "Morvane-stubs/__init__.pyi",
    ],
    ids=["next-to-module", "stub-package"],
)
def test_stub_installed(relative):
    installed = Path(Morvane.__file__).parent / relative
    assert installed.read_bytes() == STUB.read_bytes()


def test_mypy_finds_the_installed_stub(tmp_path):
    """Without MYPYPATH, as a user runs it."""
    (tmp_path / "use.py").write_text(
        "import Morvane\n"
        'reveal_type(Morvane.Morvane("english").stemWord(b"x"))\n')
    run = run_mypy(["-m", "mypy", "--strict", "--no-error-summary",
                    "--cache-dir", str(tmp_path / "cache"), "use.py"],
                   cwd=tmp_path)
    assert run.stdout.replace("builtins.", "") == (
        'use.py:2: note: Revealed type is "bytes"\n'), run.stdout
