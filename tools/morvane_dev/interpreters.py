"""The CPythons to test on: pyenv's and the PATH's on the host, and the sid
root's for the versions the host lacks."""

from __future__ import annotations

import os
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


@dataclass(frozen=True)
class Interpreter:
    key: str
    version: str
    base: str
    exe: str
    sid: SidRoot | None = None  # None: runs on the host

    @property
    def debug(self) -> bool:
        return self.key.endswith("d")

    @property
    def where(self) -> str:
        return "sid root" if self.sid else "host"

    def sort_key(self):
        major, minor = self.key.rstrip("dt").split(".")
        return (int(major), int(minor), self.key)

    def describe(self) -> str:
        build = "debug build" if self.debug else "release"
        if self.sid:
            origin = "Debian sid, " + build
        elif "/.pyenv/" in self.exe:
            origin = "pyenv"
        else:
            origin = build
        return f"CPython {self.version} ({origin}, {self.exe})"


def _probe(argv) -> list[str]:
    try:
        done = subprocess.run([*argv, "-I", "-c", PROBE],
                              capture_output=True, text=True, timeout=60,
                              stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        return []
    return done.stdout.splitlines() if done.returncode == 0 else []


def on_host() -> list[Interpreter]:
    """pyenv's versions, newest first, then python3.X(d) on PATH; the first
    found for a key wins."""
    candidates: list[str] = []
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    for prefix in sorted((pyenv / "versions").glob("*"), reverse=True):
        candidates.append(str(prefix / "bin/python3"))
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        for exe in sorted(Path(directory or ".").glob("python3.*")):
            name = exe.name[len("python3."):]
            if name.rstrip("d").isdigit():
                candidates.append(str(exe))
    found: dict[str, Interpreter] = {}
    for exe in candidates:
        if not os.access(exe, os.X_OK):
            continue
        for line in _probe([exe]):
            key, version, base, path = line.split("\t")
            found.setdefault(key, Interpreter(key, version, base, path))
    return sorted(found.values(), key=Interpreter.sort_key)


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
