"""Today's libstemmer for the host's builds.

Debian 12 ships Snowball 2.2.0; the project builds and tests against
today's release, sid's libstemmer0d and libstemmer-dev. They are fetched by
the sid root's apt (which checks them against sid's signed package index)
and extracted into a private prefix, build/libstemmer, never installed over
the system's. Builds take it with MORVANE_LIBSTEMMER_ROOT and find it at
run time through the module's RPATH. The sid root's own builds link the
same release, installed there.
"""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

from .sidroot import SidRoot
from .system import ROOT, run, say

PREFIX = ROOT / "build/libstemmer"
PACKAGES = ("libstemmer0d", "libstemmer-dev")


def installed_version(sid: SidRoot | None = None) -> str:
    """The Debian version of libstemmer0d on the host, or in the root."""
    argv = ["dpkg-query", "-W", "-f=${Version}", "libstemmer0d"]
    if sid:
        argv = ["chroot", str(sid.path), *argv]
    done = subprocess.run(argv, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    return done.stdout.strip() if done.returncode == 0 else "?"


def private_prefix(sid: SidRoot) -> tuple[Path, str]:
    """The prefix holding sid's libstemmer, and its Debian version;
    extracted again when the root's version changes."""
    version = installed_version(sid)
    stamp = PREFIX / "VERSION"
    if stamp.exists() and stamp.read_text().strip() == version:
        return PREFIX, version
    say(f"Extracting sid's libstemmer {version} into "
        f"{PREFIX.relative_to(ROOT)}")
    inside = Path("/tmp/morvane-libstemmer")
    downloads = sid.path / str(inside).lstrip("/")
    shutil.rmtree(downloads, ignore_errors=True)
    downloads.mkdir(parents=True)
    # apt-get download verifies each file against the signed index; as
    # root in the chroot it need not drop to the _apt user.
    run(sid.command(["apt-get", "-q", "-o", "APT::Sandbox::User=root",
                     "download", *PACKAGES], cwd=inside, env={}),
        quiet=True)
    shutil.rmtree(PREFIX, ignore_errors=True)
    PREFIX.mkdir(parents=True)
    for deb in sorted(downloads.glob("*.deb")):
        run(["dpkg-deb", "-x", deb, PREFIX])
    shutil.rmtree(downloads, ignore_errors=True)
    stamp.write_text(version + "\n")
    return PREFIX, version
