"""The C++ sources are laid out as the root .clang-format says, as
tools/morvane_dev/formatting.py checks it; skipped where clang-format is
not installed (Debian: apt-get install clang-format)."""

import shutil
import sys
from pathlib import Path

import pytest

# The tooling is imported as the package it is, from tools/.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from morvane_dev import formatting  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]

CLANG_FORMAT = formatting.find_clang_format()

needs_clang_format = pytest.mark.skipif(
    CLANG_FORMAT is None,
    reason="clang-format is not installed (Debian: apt-get install "
    "clang-format)")

# A definition as the house style lays it out.
WELL_FORMED = """\
namespace morvane {

int
answer(PyObject *op) noexcept
{
    if (op == nullptr) {
        return -1;
    }
    else {
        return 0;
    }
}

}  // namespace morvane
"""


@needs_clang_format
def test_sources_are_formatted():
    assert formatting.check(ROOT, CLANG_FORMAT) == []


def style_tree(tmp_path, text):
    """A root with the project's style file and one source, src/unit.cpp."""
    shutil.copy(ROOT / ".clang-format", tmp_path / ".clang-format")
    (tmp_path / "src").mkdir()
    (tmp_path / "src/unit.cpp").write_text(text)
    return tmp_path


@needs_clang_format
def test_well_formed_source_passes(tmp_path):
    assert formatting.check(style_tree(tmp_path, WELL_FORMED),
                            CLANG_FORMAT) == []


@needs_clang_format
@pytest.mark.parametrize("old, new", [
    # return type on its own line in a definition
    ("int\nanswer(", "int answer("),
    # four-space indent
    ("    if (op", "  if (op"),
    # the star goes with the name
    ("PyObject *op", "PyObject* op"),
    # function bodies open on their own line
    ("noexcept\n{", "noexcept {"),
    # else on the line after the closing brace
    ("}\n    else {", "} else {"),
    # two spaces before a trailing comment
    ("}  // namespace", "} // namespace"),
    # 79 columns at most: a call of 83 is broken
    ("return 0;", "return call_with_arguments(first_argument, "
     "second_argument, third_argument);"),
], ids=["return-type", "indent", "pointer", "function-brace", "else",
        "trailing-comment", "79-columns"])
def test_check_names_a_source_off_the_style(tmp_path, old, new):
    assert old in WELL_FORMED
    root = style_tree(tmp_path, WELL_FORMED.replace(old, new, 1))
    assert formatting.check(root, CLANG_FORMAT) == ["src/unit.cpp"]


def test_missing_clang_format_is_reported(tmp_path, monkeypatch):
    """With nothing on PATH the program is not found, and the check says
    where to get it."""
    monkeypatch.setenv("PATH", str(tmp_path))
    assert formatting.find_clang_format() is None
    with pytest.raises(FileNotFoundError) as excinfo:
        formatting.check(style_tree(tmp_path, WELL_FORMED))
    assert str(excinfo.value) == (
        "clang-format not found (Debian: apt-get install clang-format)")


@needs_clang_format
def test_unreadable_style_file_fails_the_check(tmp_path):
    root = style_tree(tmp_path, WELL_FORMED)
    (root / ".clang-format").write_text("NoSuchOption: true\n")
    with pytest.raises(RuntimeError) as excinfo:
        formatting.check(root, CLANG_FORMAT)
    assert "NoSuchOption" in str(excinfo.value)
