"""The memory checkers' reports, sorted: those that involve the module fail
a run, the interpreter's own are only counted.

A report involves the module when one of its frames lies in the Morvane
extension, in its sources (src/), or in libstemmer, which only the module
calls. For a leak that is the stack that allocated the block; for an
invalid access, any of its stacks (the access, and where the block was
allocated and freed); for a use of an uninitialised value, where it is used
or where the value was made.

sanitizer_reports reads what AddressSanitizer and UBSan wrote for a test
run; valgrind_reports reads memcheck's XML files. Both return Findings.
"""

from __future__ import annotations

import os
import re
import xml.etree.ElementTree as ET
from collections import Counter
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import NamedTuple

# Longer reports are cut to this many lines when printed; the files keep
# them whole.
SHOWN_LINES = 80

# Allocation functions are skipped when a report that does not involve the
# module is counted under the function it happened in: the caller says
# more.
ALLOCATORS = ("malloc", "calloc", "realloc", "free", "operator new",
              "operator delete", "PyObject_Malloc", "PyObject_Calloc",
              "PyObject_Realloc", "PyObject_Free", "_PyObject_Malloc",
              "_PyObject_Calloc", "_PyObject_Realloc", "PyMem_",
              "_PyMem_")


class Finding(NamedTuple):
    """A report that involves the module: the file it was read from, its
    kind ("leak", "address error", "undefined behaviour", "sanitizer
    failure"; memcheck's own kinds, e.g. "Leak_DefinitelyLost",
    "InvalidRead") and its text, ready to print."""

    file: Path
    kind: str
    text: str

    @property
    def leak(self) -> bool:
        return is_leak(self.kind)


def is_leak(kind: str) -> bool:
    return kind == "leak" or kind.startswith("Leak_")


@dataclass
class Findings:
    """What one run's reports hold.

    module: the reports that involve the module, in file order.
    others: the other reports of Python processes, counted by
        "KIND in FUNCTION" (the first frame outside the allocator).
    other_programs: reports of other programs that the tests ran
        (compilers, linkers), by program; they are not judged.
    suppressed: errors that valgrind's suppressions matched.
    cut_short: report files that end early (the process was killed);
        what they hold up to there is read.
    """

    module: list[Finding] = field(default_factory=list)
    others: Counter[str] = field(default_factory=Counter)
    other_programs: Counter[str] = field(default_factory=Counter)
    suppressed: int = 0
    cut_short: list[Path] = field(default_factory=list)

    @property
    def total(self) -> int:
        """Reports of Python processes, the module's and the others."""
        return len(self.module) + sum(self.others.values())

    @property
    def leaks(self) -> int:
        """Leaks among all reports of Python processes."""
        return sum(f.leak for f in self.module) + sum(
            n for what, n in self.others.items()
            if is_leak(what.split(" in ", 1)[0]))

    def summary(self) -> str:
        module_leaks = sum(f.leak for f in self.module)
        text = (f"reports involving the module: "
                f"{len(self.module) - module_leaks} errors, "
                f"{module_leaks} leaks (in all: "
                f"{self.total - self.leaks} errors, {self.leaks} leaks")
        if self.suppressed:
            text += f", {self.suppressed} suppressed"
        return text + ")"

    def format(self) -> str:
        out = []
        for finding in self.module:
            out.append(f"--- {finding.kind}, involving the module "
                       f"({finding.file}):")
            lines = finding.text.rstrip().splitlines()
            out += lines[:SHOWN_LINES]
            if len(lines) > SHOWN_LINES:
                out.append(f"    ... {len(lines) - SHOWN_LINES} more lines "
                           f"in the file")
        if self.others:
            out.append("Reports from Python processes that do not involve "
                       "the module:")
            out += [f"  {count:5} x {what}"
                    for what, count in self.others.most_common()]
        if self.other_programs:
            out.append("Reports from other programs the tests ran (not "
                       "checked): " + ", ".join(
                           f"{program} {count}" for program, count
                           in sorted(self.other_programs.items())))
        for path in self.cut_short:
            out.append(f"Cut short (the process was killed): {path}")
        out.append(self.summary())
        return "\n".join(out)


# AddressSanitizer and UBSan

def _sanitizer_module(source_root: Path) -> re.Pattern[str]:
    sources = re.escape(str(source_root) + "/src/")
    return re.compile(r"Morvane[^/\s()]*\.so|" + sources +
                      r"|\bmorvane::|libstemmer\.so|\bsb_stemmer_\w+")


# The sanitizers' own frames: never where a report happened.
_RUNTIME = re.compile(r"libsanitizer/|/lib(asan|ubsan)\.so|__interceptor_"
                      r"|\b__(asan|ubsan|sanitizer)_")
_FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+\s+(?:in (\S+) (.*)|\((.*)\))$")
# log_path=DIR/asan with log_exe_name=1: DIR/asan.PROGRAM.PID.
_LOG_NAME = re.compile(r"^asan\.(.+)\.(\d+)$")
_FATAL = re.compile(r"Sanitizer has encountered a fatal error"
                    r"|Sanitizer: (CHECK failed|nested bug)")


def split_sanitizer_log(text: str) -> list[tuple[str, list[str]]]:
    """Split a log into (kind, lines) reports: each address error, each
    leak, each undefined behaviour, each failure of a sanitizer itself.
    Anything between reports (pytest's output) is skipped."""
    found: list[tuple[str, list[str]]] = []
    current: tuple[str, list[str]] | None = None
    for line in text.splitlines():
        if "ERROR: AddressSanitizer:" in line:
            start = "address error"
        elif line.startswith(("Direct leak of ", "Indirect leak of ")):
            start = "leak"
        elif "runtime error: " in line:
            start = "undefined behaviour"
        elif _FATAL.search(line):
            start = "sanitizer failure"
        elif line.startswith("SUMMARY: ") or "ERROR: LeakSanitizer:" in line:
            # A leak summary adds up every leak: it belongs to none.
            if current and current[0] != "leak" and \
                    line.startswith("SUMMARY: "):
                current[1].append(line)
            start = "end"
        elif (current and current[0] == "undefined behaviour"
              and not line.strip() and len(current[1]) > 1):
            start = "end"  # its stack ends at a blank line
        else:
            if current:
                current[1].append(line)
            continue
        if current:
            found.append(current)
        current = None if start == "end" else (start, [line])
    if current:
        found.append(current)
    return found


def _sanitizer_where(lines: list[str]) -> str:
    """The first frame outside the sanitizer runtime and the allocator."""
    for line in lines:
        m = _FRAME.match(line)
        if not m or _RUNTIME.search(line):
            continue
        name = m.group(1) or os.path.basename(m.group(3).split("+")[0])
        if not name.startswith(ALLOCATORS):
            return name
    return "?"


def sanitizer_reports(directory: Path, source_root: Path) -> Findings:
    """Read the reports of a sanitized test run in directory: the files
    asan.PROGRAM.PID that AddressSanitizer wrote (log_path=DIR/asan,
    log_exe_name=1), and pytest.log, pytest's output, where UBSan's reports
    land: next to AddressSanitizer it writes to stderr whatever log_path
    says."""
    module_pattern = _sanitizer_module(source_root)
    findings = Findings()
    for path in sorted(Path(directory).iterdir()):
        m = _LOG_NAME.match(path.name)
        if m:
            program = m.group(1)
        elif path.name == "pytest.log":
            program = "python"
        else:
            continue
        text = path.read_text(errors="replace")
        for kind, lines in split_sanitizer_log(text):
            if not program.startswith("python"):
                findings.other_programs[program] += 1
            elif any(module_pattern.search(line) for line in lines):
                findings.module.append(Finding(path, kind, "\n".join(lines)))
            else:
                findings.others[f"{kind} in {_sanitizer_where(lines)}"] += 1
    return findings


# Valgrind's memcheck

_MODULE_OBJECT = re.compile(r"Morvane[^/\s()]*\.so|libstemmer\.so")
# The C library and valgrind's replacements of its functions: an
# uninitialised value used in them was passed in by their caller.
_LIBC_OBJECT = re.compile(r"/vgpreload_[^/]*\.so$|/libc\.so[.\d]*$")


class _Frame(NamedTuple):
    ip: str
    obj: str
    fn: str
    dir: str
    file: str
    line: str


def _parse_valgrind(path: Path) -> tuple[ET.Element, bool]:
    """The root of a valgrind XML file, and whether the file ends early.
    A file cut short (the process was killed) is read up to its last
    complete error."""
    text = path.read_text(errors="replace")
    head, sep, rest = text.partition("</args>")
    # The headers of forked children, should they be written in between.
    text = head + sep + re.sub(r"<\?xml .*?</args>", "", rest, flags=re.S)
    try:
        return ET.fromstring(text), False
    except ET.ParseError:
        pass
    for tag in ("</error>", "</args>"):
        end = text.rfind(tag)
        if end >= 0:
            try:
                return ET.fromstring(text[:end + len(tag)] +
                                     "</valgrindoutput>"), True
            except ET.ParseError:
                pass
    return ET.Element("valgrindoutput"), True


def _frame(element: ET.Element) -> _Frame:
    return _Frame(*((element.findtext(k) or "") for k in _Frame._fields))


def _stacks(error: ET.Element) -> list[list[_Frame]]:
    return [[_frame(f) for f in stack.iter("frame")]
            for stack in error.findall("stack")]


def _show(frame: _Frame) -> str:
    where = frame.fn or frame.ip
    if frame.file:
        return f"{where} ({os.path.join(frame.dir, frame.file)}:{frame.line})"
    return f"{where} (in {frame.obj})" if frame.obj else where


def _valgrind_text(error: ET.Element) -> str:
    """The error as valgrind's text output shows it: what happened, then
    each stack after the line that says what it is."""
    lines = []
    for child in error:
        if child.tag in ("what", "auxwhat"):
            lines.append(child.text or "")
        elif child.tag in ("xwhat", "xauxwhat"):
            lines.append(child.findtext("text") or "")
        elif child.tag == "stack":
            lines += ["    " + _show(_frame(f)) for f in child.iter("frame")]
    return "\n".join(lines)


def valgrind_reports(xml_files: Iterable[Path],
                     source_root: Path) -> Findings:
    """Read memcheck's XML reports (--xml=yes) of a test run."""
    sources = str(source_root / "src")

    def ours(frame: _Frame) -> bool:
        return bool(_MODULE_OBJECT.search(frame.obj)) or \
            frame.dir == sources or frame.dir.startswith(sources + "/")

    findings = Findings()
    for path in xml_files:
        path = Path(path)
        report, cut_short = _parse_valgrind(path)
        if cut_short:
            findings.cut_short.append(path)
        for counts in report.iter("suppcounts"):
            for pair in counts.iter("pair"):
                findings.suppressed += int(pair.findtext("count") or 0)
        for error in report.iter("error"):
            kind = error.findtext("kind") or "?"
            stacks = _stacks(error)
            if kind.startswith("Uninit"):
                # Where the value is used (past the C library functions
                # it was handed to), or where it was made
                # (--track-origins). The module merely being on the stack
                # proves nothing: a collection it set off reads every
                # object in the interpreter.
                used = next((f for f in (stacks[0] if stacks else [])
                             if not _LIBC_OBJECT.search(f.obj)), None)
                involved = (used is not None and ours(used)) or any(
                    ours(f) for stack in stacks[1:] for f in stack)
            else:
                involved = any(ours(f) for stack in stacks for f in stack)
            if involved:
                findings.module.append(
                    Finding(path, kind, _valgrind_text(error)))
            else:
                top = next((f.fn for stack in stacks for f in stack
                            if f.fn and not f.fn.startswith(ALLOCATORS)),
                           "?")
                findings.others[f"{kind} in {top}"] += 1
    return findings
