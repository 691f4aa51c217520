"""The CPythons to test on: pyenv's, the PATH's and the system's own on the
host, and the sid root's.

Each is known by a key: MAJOR.MINOR, with "t" for a free-threaded build and
"d" for a debug build. The system's own interpreter (Debian's
/usr/bin/python3.X, the Python of a plain Debian machine) keeps a key of
its own, MAJOR.MINOR-debian, so that it is tested beside any other build
of its version, not instead of it. For every other key the newest patch
release found wins: users run the newest of their minor version.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from dataclasses import dataclass
from pathlib import Path

from .sidroot import INTERPRETERS as SID_INTERPRETERS
from .sidroot import SidRoot

# KEY VERSION BASE_PREFIX EXECUTABLE, for a CPython 3.11+. KEY is
# MAJOR.MINOR, with "d" for a debug build and "t" for a free-threaded one.
PROBE = """\
import platform, sys, sysconfig
if platform.python_implementation() == "CPython" and sys.version_info >= (3, 11):
    v = sys.version_info
    key = f"{v[0]}.{v[1]}"
    key += "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    key += "d" if hasattr(sys, "gettotalrefcount") else ""
    print(key, platform.python_version(), sys.base_prefix, sys.executable,
          sep="\\t")
"""

# The key suffix of the system's own interpreter.
SYSTEM = "-debian"


@dataclass(frozen=True)
class Interpreter:
    key: str
    version: str
    base: str
    exe: str
    sid: SidRoot | None = None  # None: runs on the host

    @property
    def build_key(self) -> str:
        """The key without its origin: 3.11, 3.15d, 3.14t."""
        return self.key.split("-")[0]

    @property
    def minor(self) -> str:
        """MAJOR.MINOR alone."""
        return self.build_key.rstrip("dt")

    @property
    def debug(self) -> bool:
        return self.build_key.endswith("d")

    @property
    def system(self) -> bool:
        return self.key.endswith(SYSTEM)

    @property
    def where(self) -> str:
        return "sid root" if self.sid else "host"

    def sort_key(self):
        major, minor = self.minor.split(".")
        return (int(major), int(minor), self.build_key, self.key)

    def release(self) -> tuple:
        """The version as numbers, to find the newest patch release; a
        pre-release (3.15.0a2) comes before the release."""
        match = re.match(r"(\d+)\.(\d+)\.(\d+)(?:(a|b|rc)(\d+))?",
                         self.version)
        if not match:
            return (0,)
        *numbers, phase, serial = match.groups()
        rank = {"a": 0, "b": 1, "rc": 2, None: 3}[phase]
        return (*map(int, numbers), rank, int(serial or 0))

    def origin(self) -> str:
        build = "debug build" if self.debug else "release"
        if self.sid:
            return "Debian sid, " + build
        if self.system:
            return f"{debian_release()}'s own"
        if "/.pyenv/" in self.exe:
            return "pyenv"
        return build

    def describe(self) -> str:
        return f"CPython {self.version} ({self.origin()}, {self.exe})"

    def short(self) -> str:
        return f"CPython {self.version}, {self.origin()}"

    def fingerprint(self) -> str:
        """What a build directory or venv was made with."""
        return f"{self.key} {self.version} {self.exe} {self.base} " \
            f"{self.where}\n"


def debian_release() -> str:
    try:
        version = Path("/etc/debian_version").read_text().strip()
    except OSError:
        return "the system"
    major = version.split(".")[0]
    return f"Debian {major}" if major.isdigit() else "Debian"


def _probe(argv) -> list[str]:
    try:
        done = subprocess.run([*argv, "-I", "-c", PROBE],
                              capture_output=True, text=True, timeout=60,
                              stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        return []
    return done.stdout.splitlines() if done.returncode == 0 else []


def pyenv_root() -> Path | None:
    """pyenv's root where pyenv is in use: PYENV_ROOT, or where the pyenv
    on PATH keeps its versions. A machine without either has none, even if
    a ~/.pyenv lies about: hiding pyenv from PATH and the environment is
    how to try the test command as on a plain Debian machine."""
    if os.environ.get("PYENV_ROOT"):
        return Path(os.environ["PYENV_ROOT"])
    pyenv = shutil.which("pyenv")
    if not pyenv:
        return None
    try:
        done = subprocess.run([pyenv, "root"], capture_output=True,
                              text=True, timeout=30,
                              stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        done = None
    if done and done.returncode == 0 and done.stdout.strip():
        return Path(done.stdout.strip())
    return Path.home() / ".pyenv"


def _listing(directory: Path, pattern: str, notes: list[str],
             what: str) -> list[Path]:
    """directory's entries matching pattern; an unreadable directory is
    passed over with a note."""
    try:
        return sorted(p for p in directory.iterdir() if p.match(pattern))
    except FileNotFoundError:
        return []
    except OSError as exc:
        notes.append(f"{what} in {directory}: not read "
                     f"({exc.strerror or exc})")
        return []


def host_search() -> tuple[list[Interpreter], list[str]]:
    """Every CPython 3.11+ on the host, as keys (the newest patch release
    of each, and the system's own under its own key), and a note for each
    place that could not be read."""
    notes: list[str] = []
    candidates: list[str] = []
    pyenv = pyenv_root()
    if pyenv:
        for prefix in _listing(pyenv / "versions", "*", notes,
                               "pyenv's versions"):
            candidates.append(str(prefix / "bin/python3"))
    for directory in dict.fromkeys(
            os.environ.get("PATH", "").split(os.pathsep)):
        for exe in _listing(Path(directory or "."), "python3.*", notes,
                            "PATH's directory"):
            name = exe.name[len("python3."):]
            if name.rstrip("d").isdigit():
                candidates.append(str(exe))
    # The system's own, on PATH or not.
    for exe in _listing(Path("/usr/bin"), "python3.*", notes, "/usr/bin"):
        if exe.name[len("python3."):].isdigit():
            candidates.append(str(exe))
    found: list[Interpreter] = []
    for exe in dict.fromkeys(candidates):
        if not os.access(exe, os.X_OK):
            continue
        for line in _probe([exe]):
            key, version, base, path = line.split("\t")
            if base == "/usr":
                # The distribution's own build, itself or through a venv
                # of it on PATH: tested as itself.
                key += SYSTEM
                own = f"/usr/bin/python{key.split('-')[0]}"
                path = own if os.access(own, os.X_OK) else path
            found.append(Interpreter(key, version, base, path))
    return newest(found), notes


def on_host() -> list[Interpreter]:
    return host_search()[0]


def newest(found: list[Interpreter]) -> list[Interpreter]:
    """One interpreter a key: the newest patch release, the first found of
    equal ones; sorted by version."""
    chosen: dict[str, Interpreter] = {}
    for interpreter in found:
        have = chosen.get(interpreter.key)
        if have is None or interpreter.release() > have.release():
            chosen[interpreter.key] = interpreter
    return sorted(chosen.values(), key=Interpreter.sort_key)


def in_sid_root(sid: SidRoot, mounted: bool) -> list[Interpreter]:
    found = []
    for name in SID_INTERPRETERS:
        exe = f"/usr/bin/{name}"
        if not (sid.path / exe.lstrip("/")).exists():
            continue
        argv = sid.command([exe], cwd=Path("/"), env={}) if mounted else \
            ["chroot", str(sid.path), exe]
        for line in _probe(argv):
            key, version, base, path = line.split("\t")
            found.append(Interpreter(key, version, base, path, sid))
    return found


def claim_directory(directory: Path, interpreter: Interpreter) -> None:
    """Makes directory the build directory of interpreter: emptied first
    when another interpreter (or an unknown one) built there, since CMake's
    cache keeps the interpreter, its headers and its paths that it found
    first, and a change of interpreter would build against stale ones."""
    stamp = directory / ".morvane-interpreter"
    wanted = interpreter.fingerprint()
    try:
        if stamp.read_text() == wanted:
            return
    except OSError:
        pass
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True, exist_ok=True)
    stamp.write_text(wanted)
