"""The C++ sources' layout against the root .clang-format.

check() names the files that clang-format would change. The program comes
from Debian's clang-format package (apt-get install clang-format), which
provides clang-format for its default LLVM; a versioned clang-format-N
alone also serves. The style file is written so that Debian 12's
clang-format 14 and sid's 21 lay the sources out alike.

    python3 tools/morvane_dev/formatting.py [ROOT]

prints those files and exits 1 if there are any.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
# What the style covers, relative to the root.
SOURCES = ("src/*.cpp", "src/*.hpp")


def find_clang_format() -> str | None:
    """The clang-format program on PATH: the package's clang-format, or
    else the newest clang-format-N; None when there is neither."""
    found = shutil.which("clang-format")
    if found:
        return found
    versions = []
    for directory in os.environ.get("PATH", os.defpath).split(os.pathsep):
        if not directory or not Path(directory).is_dir():
            continue
        for path in Path(directory).iterdir():
            matched = re.fullmatch(r"clang-format-(\d+)", path.name)
            if matched and os.access(path, os.X_OK):
                versions.append((int(matched.group(1)), str(path)))
    return max(versions)[1] if versions else None


def version(program: str) -> str:
    """The version line of program, as in 'Debian clang-format version
    14.0.6'."""
    done = subprocess.run([program, "--version"], capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, check=True)
    return done.stdout.strip()


def sources(root: Path) -> list[Path]:
    return sorted(path for pattern in SOURCES for path in root.glob(pattern))


def check(root: Path, program: str | None = None) -> list[str]:
    """The sources under root, relative and in POSIX form, whose text
    differs from what clang-format makes of them with root's .clang-format.

    program defaults to find_clang_format(); FileNotFoundError when there
    is none. A failing clang-format (a style file it cannot read, say)
    raises RuntimeError with its message.
    """
    root = Path(root)
    program = program or find_clang_format()
    if program is None:
        raise FileNotFoundError(
            "clang-format not found (Debian: apt-get install clang-format)")
    style = root / ".clang-format"
    if not style.is_file():
        raise FileNotFoundError(f"no style file {style}")
    differing = []
    for path in sources(root):
        original = path.read_bytes()
        # The style file is looked up from the source's own directory.
        done = subprocess.run([program, "--style=file", str(path)],
                              capture_output=True, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            message = done.stderr.decode(errors="replace").strip()
            raise RuntimeError(f"{program} failed on {path}: {message}")
        if done.stdout != original:
            differing.append(path.relative_to(root).as_posix())
    return differing


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    root = Path(args[0]) if args else ROOT
    program = find_clang_format()
    if program is None:
        print("formatting.py: clang-format not found (Debian: apt-get "
              "install clang-format)", file=sys.stderr)
        return 2
    differing = check(root, program)
    for name in differing:
        print(name)
    if differing:
        print(f"formatting.py: {len(differing)} file(s) differ from "
              f"{version(program)}; run clang-format -i on them",
              file=sys.stderr)
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
