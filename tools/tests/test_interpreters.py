"""Which CPythons the test command finds and tests (tools/morvane_dev):
the newest patch release of each version, the system's own beside it,
pyenv only where it is in use, what a plain Debian machine or a user
without root lacks, and build directories that follow their interpreter."""

import os
import stat
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from morvane_dev import interpreters, testcmd  # noqa: E402
from morvane_dev.interpreters import Interpreter  # noqa: E402
from morvane_dev.runs import Outcome  # noqa: E402
from morvane_dev.system import Failure  # noqa: E402


def fake_python(directory, name, key, version, base="/opt/py"):
    """An executable that answers the probe as a CPython would."""
    directory.mkdir(parents=True, exist_ok=True)
    exe = directory / name
    exe.write_text(f"#!/bin/sh\nprintf '{key}\\t{version}\\t{base}\\t"
                   f"{exe}\\n'\n")
    exe.chmod(0o755)
    return exe


@pytest.fixture
def bare_host(monkeypatch, tmp_path):
    """A host whose PATH is only tmp_path/bin, without pyenv, and whose
    HOME has a ~/.pyenv full of versions."""
    monkeypatch.delenv("PYENV_ROOT", raising=False)
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    fake_python(tmp_path / "home/.pyenv/versions/3.12.1/bin", "python3",
                "3.12", "3.12.1")
    (tmp_path / "bin").mkdir()
    # Only the fakes: the real /usr/bin is this machine's, not the test's.
    real = interpreters._listing
    monkeypatch.setattr(interpreters, "_listing", lambda d, *a: [] if str(
        d) == "/usr/bin" else real(d, *a))
    return tmp_path


def keys_and_versions(found):
    return [(i.key, i.version) for i in found]


def test_pyenv_is_looked_at_only_where_it_is_in_use(bare_host, monkeypatch):
    assert interpreters.pyenv_root() is None
    assert interpreters.host_search() == ([], [])
    monkeypatch.setenv("PYENV_ROOT", str(bare_host / "home/.pyenv"))
    found, notes = interpreters.host_search()
    assert keys_and_versions(found) == [("3.12", "3.12.1")] and notes == []


def test_newest_patch_release_of_each_version_wins(bare_host, monkeypatch):
    fake_python(bare_host / "bin", "python3.13", "3.13", "3.13.0")
    fake_python(bare_host / "other", "python3.13", "3.13", "3.13.18")
    fake_python(bare_host / "other", "python3.15", "3.15", "3.15.0a2")
    fake_python(bare_host / "bin", "python3.15", "3.15", "3.15.0")
    monkeypatch.setenv("PATH", f"{bare_host / 'bin'}:{bare_host / 'other'}")
    found, _ = interpreters.host_search()
    assert keys_and_versions(found) == [("3.13", "3.13.18"),
                                        ("3.15", "3.15.0")]


@pytest.mark.parametrize("versions, newest", [
    (["3.13.0", "3.13.18", "3.13.2"], "3.13.18"),
    (["3.15.0a2", "3.15.0rc1", "3.15.0b3"], "3.15.0rc1"),
    (["3.15.0rc1", "3.15.0"], "3.15.0"),
], ids=["patch-by-number", "pre-releases", "release-after-rc"])
def test_release_order(versions, newest):
    found = [Interpreter("3.15", v, "/b", f"/bin/{v}") for v in versions]
    assert [i.version for i in interpreters.newest(found)] == [newest]


def test_the_system_python_is_tested_beside_the_newest(bare_host,
                                                       monkeypatch):
    # A venv of the system's Python on PATH counts as the system's own.
    fake_python(bare_host / "bin", "python3.11", "3.11", "3.11.2",
                base="/usr")
    fake_python(bare_host / "more", "python3.11", "3.11", "3.11.7")
    monkeypatch.setenv("PATH", f"{bare_host / 'bin'}:{bare_host / 'more'}")
    found, _ = interpreters.host_search()
    assert keys_and_versions(found) == [("3.11", "3.11.7"),
                                        ("3.11-debian", "3.11.2")]
    system = found[1]
    assert system.system and system.minor == "3.11" and not system.debug
    assert system.build_key == "3.11"


@pytest.mark.parametrize("how", ["not-a-directory", "unreadable"])
def test_unreadable_places_are_passed_over_with_a_note(bare_host,
                                                       monkeypatch, how):
    root = bare_host / "locked"
    if how == "not-a-directory":
        root.mkdir()
        (root / "versions").write_text("")
    else:
        if os.geteuid() == 0:
            pytest.skip("root reads every directory")
        (root / "versions").mkdir(parents=True)
        root.chmod(0)
    try:
        monkeypatch.setenv("PYENV_ROOT", str(root))
        found, notes = interpreters.host_search()
    finally:
        root.chmod(stat.S_IRWXU)
    assert found == []
    assert len(notes) == 1 and str(root / "versions") in notes[0]


def key_list(chosen):
    return [i.key for i in chosen]


class NoSidRoot:
    """A sid root that cannot be made here."""

    def ensure(self):
        raise Failure("needs root; run: sudo python3 tools/run.py sid-root")


@pytest.fixture
def plain_debian(monkeypatch):
    """Debian 12 without pyenv: its own 3.11, and a sid root with 3.13 to
    3.15's debug build."""
    def host():
        return [Interpreter("3.11-debian", "3.11.2", "/usr",
                            "/usr/bin/python3.11")], []

    sid = object()

    def in_sid(root, mounted):
        return [Interpreter(k, v, "/usr", f"/usr/bin/python{k}", sid)
                for k, v in [("3.13", "3.13.18"), ("3.14", "3.14.10"),
                             ("3.15", "3.15.2"), ("3.15d", "3.15.2")]]

    class SidRoot:
        def ensure(self):
            pass

    monkeypatch.setattr(interpreters, "host_search", host)
    monkeypatch.setattr(interpreters, "in_sid_root", in_sid)
    monkeypatch.setattr(testcmd, "SidRoot", SidRoot)
    monkeypatch.setattr(testcmd, "is_root", lambda: True)
    monkeypatch.setattr(testcmd, "installed", lambda package: True)
    return monkeypatch


def test_plain_debian_as_root_names_what_it_lacks(plain_debian):
    chosen, problems, notes, _ = testcmd.find_interpreters([], full=False)
    assert key_list(chosen) == ["3.11-debian", "3.13", "3.14", "3.15",
                                "3.15d"]
    assert problems == []
    (note,) = notes
    assert note.startswith("3.12: not tested: no CPython 3.12")


def test_the_full_gate_requires_every_version(plain_debian):
    chosen, problems, notes, _ = testcmd.find_interpreters([], full=True)
    assert [p.label for p in problems] == ["3.12"]
    assert not problems[0].ok and notes == []


def test_sid_releases_win_over_older_host_ones(plain_debian, monkeypatch):
    monkeypatch.setattr(interpreters, "host_search", lambda: ([
        Interpreter("3.13", "3.13.0", "/p", "/p/bin/python3")], []))
    chosen, _, _, _ = testcmd.find_interpreters(["3.13"])
    assert [(i.version, i.where) for i in chosen] == [("3.13.18",
                                                       "sid root")]


def test_a_minor_version_asks_for_every_build_of_it(plain_debian,
                                                    monkeypatch):
    monkeypatch.setattr(interpreters, "host_search", lambda: ([
        Interpreter("3.11", "3.11.7", "/p", "/p/bin/python3"),
        Interpreter("3.11-debian", "3.11.2", "/usr", "/usr/bin/python3.11"),
    ], []))
    chosen, problems, _, _ = testcmd.find_interpreters(["3.11"])
    assert key_list(chosen) == ["3.11", "3.11-debian"] and problems == []
    chosen, _, _, _ = testcmd.find_interpreters(["3.11-debian"])
    assert key_list(chosen) == ["3.11-debian"]


def test_a_user_without_root_is_told_once_what_it_skipped(plain_debian):
    plain_debian.setattr(testcmd, "is_root", lambda: False)
    plain_debian.setattr(testcmd, "SidRoot", NoSidRoot)
    plain_debian.setattr(testcmd, "installed",
                         lambda package: package != "python3.11-venv")
    chosen, problems, notes, sid = testcmd.find_interpreters([])
    assert chosen == [] and problems == [] and sid is None
    venv, missing, sid_versions = notes
    assert "python3.11-venv" in venv and \
        "apt-get install python3.11-venv" in venv
    assert sid_versions.startswith("3.13, 3.14, 3.15, 3.15d: not tested:")
    assert "tools/run.py sid-root" in sid_versions
    assert missing.startswith("3.12: not tested:")


def test_as_root_a_sid_root_that_fails_fails_the_run(plain_debian):
    plain_debian.setattr(testcmd, "SidRoot", NoSidRoot)
    chosen, problems, notes, _ = testcmd.find_interpreters([])
    assert key_list(chosen) == ["3.11-debian"]
    assert [p.label for p in problems] == ["3.13", "3.14", "3.15", "3.15d"]
    assert all("sid-root" in p.line() for p in problems)


def test_summary_line_names_the_interpreter():
    interpreter = Interpreter("3.11-debian", "3.11.2", "/usr",
                              "/usr/bin/python3.11")
    outcome = Outcome("3.11-debian", passed=3,
                      interpreter=interpreter.short())
    assert outcome.line().startswith("3.11-debian: 3 passed, 0 failed")
    assert outcome.line().endswith("(CPython 3.11.2, " +
                                   interpreters.debian_release() + "'s own)")


def test_a_build_directory_follows_its_interpreter(tmp_path):
    first = Interpreter("3.13", "3.13.0", "/p", "/p/bin/python3")
    later = Interpreter("3.13", "3.13.18", "/usr", "/usr/bin/python3.13",
                        sid=object())
    build = tmp_path / "build/py3.13"
    interpreters.claim_directory(build, first)
    (build / "CMakeCache.txt").write_text("Python_EXECUTABLE=/p/bin\n")
    interpreters.claim_directory(build, first)
    assert (build / "CMakeCache.txt").exists()  # kept for the same one
    interpreters.claim_directory(build, later)
    assert not (build / "CMakeCache.txt").exists()
    assert "3.13.18" in (build / ".morvane-interpreter").read_text()
