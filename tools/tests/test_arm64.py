"""The aarch64 wheels' tooling (tools/morvane_dev/arm64.py): what goes into
a cross build, how the host-built wheel gets the target's tag, and which
wheels tools/wheel makes. The builds themselves are checked end to end by
tools/wheel and the full gate's aarch64 run."""

import base64
import hashlib
import os
import sys
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from morvane_dev import arm64, wheels  # noqa: E402


def record_hash(data):
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


def make_wheel(directory, tag="cp311-cp311-linux_aarch64"):
    """A wheel as the host's front end writes it: the module is the
    target's, the tag the front end's."""
    path = directory / f"Tarnwick-3.1.0-{tag}.whl"
    files = {
        "Morvane.cpython-315-aarch64-linux-gnu.so": b"\x7fELF...",
        "Tarnwick-3.1.0.dist-info/METADATA": b"Name: Tarnwick\n",
        "Tarnwick-3.1.0.dist-info/WHEEL":
            f"Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: {tag}\n"
            .encode(),
    }
    record = "".join(f"{name},{record_hash(data)},{len(data)}\n"
                     for name, data in files.items())
    record += "Tarnwick-3.1.0.dist-info/RECORD,,\n"
    with zipfile.ZipFile(path, "w") as z:
        for name, data in files.items():
            z.writestr(name, data)
        z.writestr("Tarnwick-3.1.0.dist-info/RECORD", record)
    return path


@pytest.mark.parametrize("key, tag", [("3.13", "cp313"), ("3.15", "cp315"),
                                      ("3.11", "cp311")])
def test_retag_gives_the_target_cpython_tag_and_a_valid_record(
        tmp_path, key, tag):
    # The front end's own tag is cp311: the last case keeps the name.
    wheel = arm64.retag(make_wheel(tmp_path), key)
    assert wheel.name == f"Tarnwick-3.1.0-{tag}-{tag}-linux_aarch64.whl"
    assert sorted(p.name for p in tmp_path.iterdir()) == [wheel.name]
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        text = z.read("Tarnwick-3.1.0.dist-info/WHEEL").decode()
        record = z.read("Tarnwick-3.1.0.dist-info/RECORD").decode()
        contents = {n: z.read(n) for n in names}
    assert [line for line in text.splitlines() if line.startswith("Tag:")] \
        == [f"Tag: {tag}-{tag}-linux_aarch64"]
    # Every file's hash and size in RECORD still holds, WHEEL's included.
    for line in record.splitlines():
        name, digest, size = line.rsplit(",", 2)
        if name.endswith("/RECORD"):
            continue
        assert digest == record_hash(contents[name]), name
        assert int(size) == len(contents[name]), name
    assert sorted(names) == sorted(
        line.rsplit(",", 2)[0] for line in record.splitlines())


def fake_root(tmp_path, key="3.15"):
    root = arm64.Arm64Root(tmp_path / "arm64")
    usr = root.path / "usr"
    headers = usr / f"include/python{key}"
    headers.mkdir(parents=True)
    (headers / "Python.h").write_text("/* Python.h */\n")
    (headers / "pyconfig.h").write_text(
        f"#include <aarch64-linux-gnu/python{key}/pyconfig.h>\n")
    real = usr / f"include/aarch64-linux-gnu/python{key}"
    real.mkdir(parents=True)
    (real / "pyconfig.h").write_text("#define SIZEOF_VOID_P 8\n")
    (usr / "include/libstemmer.h").write_text("/* libstemmer */\n")
    lib = usr / "lib/aarch64-linux-gnu"
    lib.mkdir(parents=True)
    (lib / "libstemmer.so.0d.3.1").write_bytes(b"\x7fELF")
    (lib / "libstemmer.so.0d").symlink_to("libstemmer.so.0d.3.1")
    (lib / "libstemmer.so").symlink_to("libstemmer.so.0d")
    (lib / "libc.so.6").write_bytes(b"\x7fELF")
    return root


@pytest.fixture
def work(tmp_path, monkeypatch):
    monkeypatch.setattr(arm64, "WORK", tmp_path / "work")
    return tmp_path / "work"


def test_python_headers_hold_the_arm64_pyconfig_itself(tmp_path, work):
    # Debian's pyconfig.h only includes the multiarch one, which would
    # need the root's whole include directory (its C library too).
    headers = arm64.python_headers(fake_root(tmp_path), "3.15")
    assert headers.name == "python3.15"
    assert (headers / "pyconfig.h").read_text() == "#define SIZEOF_VOID_P 8\n"
    assert (headers / "Python.h").exists()
    assert not any(p.name == "libstemmer.h" for p in headers.rglob("*"))


def test_libstemmer_prefix_copies_the_library_alone_and_again_on_change(
        tmp_path, work, monkeypatch):
    root = fake_root(tmp_path)
    version = ["3.1.1-1"]
    monkeypatch.setattr(arm64.libstemmer, "installed_version",
                        lambda _root: version[0])
    prefix, got = arm64.libstemmer_prefix(root)
    assert got == "3.1.1-1"
    lib = prefix / "usr/lib/aarch64-linux-gnu"
    assert sorted(p.name for p in lib.iterdir()) == [
        "libstemmer.so", "libstemmer.so.0d", "libstemmer.so.0d.3.1"]
    assert os.readlink(lib / "libstemmer.so") == "libstemmer.so.0d"
    assert (prefix / "usr/include/libstemmer.h").exists()
    # The same version: kept as it is; another: copied afresh.
    (lib / "marker").write_text("")
    assert arm64.libstemmer_prefix(root)[0] == prefix
    assert (lib / "marker").exists()
    version[0] = "3.1.2-1"
    assert arm64.libstemmer_prefix(root)[1] == "3.1.2-1"
    assert not (lib / "marker").exists()


def test_cross_settings_point_cmake_at_the_target(tmp_path, work):
    root = fake_root(tmp_path)
    settings = arm64.cross_settings(root, "3.15", tmp_path / "prefix")
    defines = dict(s.removeprefix("--config-settings=").split("=", 1)
                   for s in settings)
    # The front end's interpreter (the host's) must not be FindPython's.
    assert defines["cmake.python-hints"] == "false"
    toolchain = Path(defines["cmake.define.CMAKE_TOOLCHAIN_FILE"]).read_text()
    assert "aarch64-linux-gnu-g++" in toolchain
    assert "set(CMAKE_SYSTEM_PROCESSOR aarch64)" in toolchain
    wrapper = Path(defines["cmake.define.Python_EXECUTABLE"])
    assert os.access(wrapper, os.X_OK)
    assert f"QEMU_LD_PREFIX={root.path} " in wrapper.read_text()
    assert f"{root.path}/usr/bin/python3.15" in wrapper.read_text()
    assert Path(defines["cmake.define.Python_INCLUDE_DIR"]).is_relative_to(
        work)
    assert defines["cmake.define.MORVANE_LIBSTEMMER_ROOT"] == str(
        tmp_path / "prefix")


@pytest.mark.parametrize("python, arch, host, arm", [
    ([], [], True, ["3.13", "3.14", "3.15"]),
    (["3.12"], [], True, []),
    ([], ["aarch64"], False, ["3.13", "3.14", "3.15"]),
    ([], ["x86_64"], True, []),
    # Asked for by name, a version with no arm64 build is reported.
    (["3.12", "3.15"], ["aarch64"], False, ["3.12", "3.15"]),
    (["/usr/bin/python3.11", "3.14"], ["aarch64", "x86_64"], True, ["3.14"]),
])
def test_targets(python, arch, host, arm):
    assert wheels.targets(python, arch) == (host, arm)


def test_the_arm64_root_is_its_own_and_holds_each_interpreter_with_headers():
    root = arm64.Arm64Root(Path("/nonexistent"))
    assert root.ARCH == "arm64"
    for key in arm64.KEYS:
        assert {f"python{key}", f"python{key}-dev",
                f"python{key}-venv"} <= set(root.PACKAGES)
    assert "libstemmer-dev" in root.PACKAGES
    # The full gate's root: the newest CPython alone.
    gate = arm64.Arm64Root(Path("/nonexistent"), keys=("3.15",))
    assert not any(p.startswith(("python3.13", "python3.14"))
                   for p in gate.PACKAGES)
    assert "python3.15-dev" in gate.PACKAGES
    # The default location is not the x86-64 root's.
    assert arm64.Arm64Root().base != wheels.SidRoot().base
