"""Messages, commands and the host's Debian packages."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PROGRAM = "tools/test"

# Children inherit these: no prompts from apt, no pip version nagging.
os.environ.setdefault("DEBIAN_FRONTEND", "noninteractive")
os.environ.setdefault("PIP_DISABLE_PIP_VERSION_CHECK", "1")


class Failure(Exception):
    """A step that cannot go on; the message says what to do."""


def say(*parts: object) -> None:
    print(*parts, flush=True)


def warn(message: str) -> None:
    print(f"{PROGRAM}: warning: {message}", file=sys.stderr, flush=True)


def section(title: str) -> None:
    say(f"\n=== {title}")


def is_root() -> bool:
    return os.geteuid() == 0


def run(argv, *, check=True, quiet=False, **kwargs):
    """Run argv with no standard input; quiet sends its output to a pipe
    and shows it only when the command fails."""
    kwargs.setdefault("stdin", subprocess.DEVNULL)
    if quiet:
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.STDOUT)
        kwargs.setdefault("text", True)
    done = subprocess.run([str(a) for a in argv], **kwargs)
    if check and done.returncode != 0:
        if quiet and done.stdout:
            sys.stderr.write(done.stdout[-6000:])
        raise Failure(f"{' '.join(map(str, argv[:4]))} ... exited "
                      f"{done.returncode}")
    return done


def installed(package: str) -> bool:
    done = subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", package],
        stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return done.stdout == "install ok installed"


_apt_updated = False


def apt_install(*packages: str, why: str) -> None:
    """Install the host's missing Debian packages, from the archives the
    system trusts (apt checks their signatures)."""
    global _apt_updated
    missing = [p for p in packages if not installed(p)]
    if not missing:
        return
    command = "apt-get install " + " ".join(missing)
    if not is_root():
        raise Failure(f"{why} needs Debian packages; as root run: "
                      f"apt-get update && {command}")
    say(f"Installing Debian packages: {' '.join(missing)}")
    apt = ["apt-get", "-q", "-y", "-o", "DPkg::Lock::Timeout=300"]
    if not _apt_updated:
        run(apt + ["update"], quiet=True, check=False)
        _apt_updated = True
    done = run(apt + ["install", "--no-install-recommends", *missing],
               quiet=True, check=False)
    if done.returncode != 0:
        raise Failure(f"could not install {' '.join(missing)}; as root "
                      f"run: {command}")


def which(name: str) -> str | None:
    return shutil.which(name)
