"""tools/example: build Morvane into .venv/example with the newest CPython
on the host and run examples/stem.py (the bundled sample by default)."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys

from . import interpreters
from .system import ROOT, Failure, apt_install, which

VENV = ROOT / ".venv/example"


def _sources_stamp() -> str:
    digest = hashlib.sha256()
    files = [ROOT / "CMakeLists.txt", ROOT / "pyproject.toml",
             *sorted((ROOT / "src").rglob("*"))]
    for path in files:
        if path.is_file():
            digest.update(str(path.relative_to(ROOT)).encode())
            digest.update(path.read_bytes())
    return digest.hexdigest()


def main(args: list[str]) -> int:
    needed = ["libstemmer-dev", "g++"] + ([] if which("cmake") else ["cmake"])
    apt_install(*needed, why="building Morvane")
    # The newest release build on the host: no root needed to run it.
    found = [i for i in interpreters.on_host()
             if not i.debug and "t" not in i.build_key]
    if not found:
        raise Failure("no CPython 3.11 or newer found (looked in pyenv's "
                      "versions and for python3.X on PATH)")
    newest = found[-1]
    python = VENV / "bin/python"
    quiet = {"stdin": subprocess.DEVNULL, "stdout": sys.stderr}
    if not python.exists() or subprocess.run(
            [python, "-I", "-c",
             "import platform, sys; "
             "print(platform.python_version(), sys.base_prefix)"],
            capture_output=True, text=True).stdout.strip() != \
            f"{newest.version} {newest.base}":
        if subprocess.run([newest.exe, "-m", "venv", "--clear", VENV],
                          **quiet).returncode:
            hint = f"; as root run: apt-get install python{newest.minor}" \
                "-venv" if newest.system else ""
            raise Failure(f"could not make a venv of {newest.describe()}"
                          f"{hint}")
    # One build directory an interpreter, emptied when its key names
    # another build than last time: CMake's cache keeps the first one's
    # headers and paths.
    build = ROOT / "build" / f"example-{newest.key}"
    interpreters.claim_directory(build, newest)
    stamp = VENV / ".morvane-sources"
    wanted = _sources_stamp()
    if not stamp.exists() or stamp.read_text() != wanted:
        print(f"Building Morvane into {VENV.relative_to(ROOT)} "
              f"(Python {newest.version})", file=sys.stderr)
        done = subprocess.run(
            [python, "-m", "pip", "install", "-qq", ".",
             f"--config-settings=build-dir={build.relative_to(ROOT)}"],
            cwd=ROOT, **quiet)
        if done.returncode:
            raise Failure(f"could not build and install Morvane into "
                          f"{VENV} (see above)")
        stamp.write_text(wanted)
    # Relative file arguments are the caller's: stay in its directory.
    os.execv(python, [str(python), str(ROOT / "examples/stem.py"), *args])
