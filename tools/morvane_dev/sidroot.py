"""A Debian sid root for the CPythons that Debian 12 lacks.

Debian sid packages today's CPython releases (3.13's latest patch release,
3.14, 3.15 and 3.15's debug build) and today's libstemmer. They need sid's own C library, so they run
inside a root of their own, made with debootstrap and entered with chroot.
The root lives outside the work tree (a work tree bind-mounted into a root
inside itself would contain itself) and is reused between runs and clones;
its set-up is idempotent. While the test command uses it, /proc, a fresh
/dev/shm and the work tree (at the same path as outside, so that every path
means the same on both sides) are mounted in it, and unmounted afterwards.

Everything comes from Debian's archive with its signatures checked:
debootstrap against the host's debian-archive-keyring, apt inside against
sid's own.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import shutil
import subprocess
import time
from pathlib import Path

from .system import ROOT, Failure, apt_install, is_root, run, say

MIRROR = "http://deb.debian.org/debian"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"

# The interpreters, their headers and venv support, the debug build, the
# build tools, the checkers, and the word lists the agreement tests read.
# sid's 3.13 is a later patch release than pyenv's, and the test command
# takes the newest of each version.
PACKAGES = (
    "python3.13", "python3.13-dev", "python3.13-venv",
    "python3.14", "python3.14-dev", "python3.14-venv",
    "python3.15", "python3.15-dev", "python3.15-venv", "python3.15-dbg",
    "libstemmer-dev", "g++", "cmake", "ninja-build", "valgrind",
    "ca-certificates",
    "wamerican", "wfrench", "wngerman", "wspanish", "witalian",
    "wportuguese", "wswedish", "wdanish", "wnorwegian", "wdutch",
    "wcatalan", "wirish", "wpolish", "wesperanto",
    "hunspell-ar", "hunspell-cs", "hunspell-el", "hunspell-eu",
    "hunspell-hi", "hunspell-hu", "hunspell-id", "hunspell-lt",
    "hunspell-ne", "hunspell-ro", "hunspell-ru", "hunspell-sr",
    "hunspell-tr", "myspell-et", "myspell-fa", "hunspell-hy", "hunspell-ta",
)
INTERPRETERS = ("python3.13", "python3.14", "python3.15", "python3.15d")

# The archive mirror reachable here may serve a sid snapshot whose Release
# file is past its Valid-Until date; its signature is still checked.
APT_CONF = """\
// Written by Morvane's tools/test. The reachable mirror may serve a sid
// snapshot past its Valid-Until date; signatures are still checked.
Acquire::Check-Valid-Until "false";
APT::Install-Recommends "false";
"""

# The environment inside: nothing of the host's leaks in (the host's pip
# settings name paths that do not exist there).
BASE_ENV = {
    "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "HOME": "/root",
    "LANG": "C.UTF-8",
    "PIP_DISABLE_PIP_VERSION_CHECK": "1",
    "DEBIAN_FRONTEND": "noninteractive",
}


def default_location() -> Path:
    return Path(os.environ.get("MORVANE_SID_ROOT", "/var/tmp/morvane-sid"))


def set_up_commands(location: Path) -> str:
    """What a user without root runs to get the same."""
    return f"sudo python3 {ROOT}/tools/run.py sid-root"


class SidRoot:
    # debootstrap's --arch (None: the host's own) and what goes in; a root
    # for another architecture (tools/morvane_dev/arm64.py) sets its own.
    ARCH: str | None = None
    PACKAGES = PACKAGES

    def __init__(self, location: Path | None = None):
        self.base = location or default_location()
        self.path = self.base / "root"

    # Set-up

    def ensure(self) -> None:
        """Make or refresh the root; safe to run again at any time."""
        if not is_root():
            raise Failure("the sid root for CPython 3.13 to 3.15 needs "
                          "root to make and enter; run: "
                          + set_up_commands(self.base))
        self.base.mkdir(parents=True, exist_ok=True)
        with self._locked():
            if not (self.path / "etc/debian_version").exists() or not (
                    self.base / "bootstrapped").exists():
                self._bootstrap()
            self._configure()
            self._install_packages()

    def _bootstrap(self) -> None:
        apt_install("debootstrap", "debian-archive-keyring",
                    why="making the sid root")
        fresh = self.base / "root.new"
        shutil.rmtree(fresh, ignore_errors=True)
        shutil.rmtree(self.path, ignore_errors=True)
        say(f"Making a Debian sid root in {self.path} (debootstrap)")
        arch = [f"--arch={self.ARCH}"] if self.ARCH else []
        started = time.monotonic()
        run(["debootstrap", *arch, "--variant=minbase", f"--keyring={KEYRING}",
             "--include=ca-certificates", "sid", fresh, MIRROR], quiet=True)
        say(f"  made in {(time.monotonic() - started) / 60:.1f} minutes")
        fresh.rename(self.path)
        (self.base / "bootstrapped").write_text(time.ctime() + "\n")

    def _configure(self) -> None:
        etc = self.path / "etc"
        (etc / "apt/apt.conf.d/99morvane").write_text(APT_CONF)
        # The host's resolver and its extra CA certificates, so that apt
        # and pip work inside as they do outside.
        resolv = etc / "resolv.conf"
        if resolv.is_symlink() or resolv.exists():
            resolv.unlink()
        shutil.copyfile("/etc/resolv.conf", resolv)
        extra = Path("/usr/local/share/ca-certificates")
        inside = self.path / "usr/local/share/ca-certificates"
        inside.mkdir(parents=True, exist_ok=True)
        changed = False
        for cert in sorted(extra.glob("*.crt")) if extra.is_dir() else ():
            target = inside / cert.name
            if not target.exists() or (target.read_bytes()
                                       != cert.read_bytes()):
                shutil.copyfile(cert, target)
                changed = True
        if changed or not (etc / "ssl/certs/ca-certificates.crt").exists():
            self._chroot(["update-ca-certificates"], quiet=True)

    def _installed(self) -> set[str]:
        done = subprocess.run(
            ["chroot", self.path, "dpkg-query", "-W",
             "-f=${Package} ${Status}\n"],
            capture_output=True, text=True, stdin=subprocess.DEVNULL)
        return {line.split()[0] for line in done.stdout.splitlines()
                if line.endswith("install ok installed")}

    def _install_packages(self) -> None:
        missing = [p for p in self.PACKAGES if p not in self._installed()]
        if not missing:
            return
        say(f"Installing into the sid root: {' '.join(missing)}")
        with self._proc():
            self._chroot(["apt-get", "-q", "update"], quiet=True)
            self._chroot(["apt-get", "-q", "-y", "install", *missing],
                         quiet=True)

    def _chroot(self, argv, **kwargs):
        return run(["chroot", self.path, "env", "-i",
                    *(f"{k}={v}" for k, v in BASE_ENV.items()), *argv],
                   **kwargs)

    # Use

    @contextlib.contextmanager
    def _proc(self):
        target = self.path / "proc"
        if os.path.ismount(target):
            yield
            return
        run(["mount", "-t", "proc", "proc", target])
        try:
            yield
        finally:
            _unmount(target)

    @contextlib.contextmanager
    def mounted(self, work_tree: Path = ROOT):
        """/proc, /dev/shm and the work tree mounted in the root for the
        duration. Several commands may use the root at once (a test run and
        tools/wheel, two clones): each holds a shared lock on users.lock
        while it does, and the last one out unmounts everything under the
        root, however it leaves."""
        self.base.mkdir(parents=True, exist_ok=True)
        with open(self.base / "users.lock", "w") as users:
            fcntl.flock(users, fcntl.LOCK_SH)
            try:
                with self._locked():
                    self._mount(work_tree)
                yield self
            finally:
                with self._locked():
                    try:
                        fcntl.flock(users, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    except BlockingIOError:
                        pass  # still in use: the last user unmounts
                    else:
                        self._unmount_all()

    @contextlib.contextmanager
    def _locked(self):
        with open(self.base / "lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield

    def _mount(self, work_tree: Path) -> None:
        for target, how in [
            (self.path / "proc", ["-t", "proc", "proc"]),
            (self.path / "dev/shm", ["-t", "tmpfs", "shm"]),
            (self.path / str(work_tree).lstrip("/"),
             ["--bind", str(work_tree)]),
        ]:
            target.mkdir(parents=True, exist_ok=True)
            if not os.path.ismount(target):
                run(["mount", *how, target])

    def _unmount_all(self) -> None:
        inside = str(self.path) + "/"
        with open("/proc/self/mountinfo") as f:
            points = [line.split()[4] for line in f]
        # Deepest first, so that nothing is left busy by a mount below it.
        for point in sorted({p for p in points if p.startswith(inside)},
                            key=len, reverse=True):
            _unmount(Path(point))

    def command(self, argv, *, cwd: Path, env: dict[str, str]) -> list[str]:
        """argv as run inside the root, in cwd, with only env set."""
        merged = {**BASE_ENV, **env}
        return ["chroot", str(self.path), "/usr/bin/env", "-i",
                "-C", str(cwd), *(f"{k}={v}" for k, v in merged.items()),
                *map(str, argv)]


def command_at(sid: SidRoot | None, argv, env: dict[str, str] | None = None,
               ) -> list[str]:
    """argv as run where an interpreter lives: on the host (sid None), with
    env added to the environment, or inside the sid root with only env set.
    The test runs and the wheel builds both go through here."""
    env = env or {}
    if sid:
        return sid.command(argv, cwd=ROOT, env=env)
    return ["env", *(f"{k}={v}" for k, v in env.items()), *map(str, argv)]


def run_logged(sid: SidRoot | None, argv, log, env=None, **kwargs) -> int:
    """Run argv where command_at puts it, its output and the command line
    itself appended to the open file log; its exit status."""
    log.write(f"$ {' '.join(map(str, argv))}\n")
    log.flush()
    return subprocess.run(command_at(sid, argv, env), cwd=ROOT,
                          stdin=subprocess.DEVNULL, stdout=log,
                          stderr=subprocess.STDOUT, **kwargs).returncode


def _unmount(target: Path) -> None:
    if subprocess.run(["umount", target],
                      stdin=subprocess.DEVNULL).returncode != 0:
        # Busy (a process that outlived its test?): detach it now, so
        # that nothing stays mounted once we are gone.
        subprocess.run(["umount", "--lazy", target],
                       stdin=subprocess.DEVNULL)
