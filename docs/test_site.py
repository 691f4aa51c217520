"""The documentation site builds without a warning and shows what the
installed module says. Run by the test command's docs run, in a venv with
the module and the docs extra (python -m pip install ".[docs]")."""

import html
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import Morvane

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
OUT = ROOT / "build/docs"


@pytest.fixture(scope="module")
def site():
    """Build the site once, afresh, with warnings as errors and nitpicky
    references; every warning is listed (--keep-going) before it fails."""
    run = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "-n", "--keep-going", "-E",
         "-q", "-b", "html", "-d", str(OUT / "doctrees"), str(DOCS),
         str(OUT / "html")],
        cwd=ROOT, capture_output=True, encoding="utf-8", timeout=600)
    return run


def page_text(name):
    """The visible text of a built page, tags dropped, spaces squeezed."""
    text = (OUT / "html" / name).read_text(encoding="utf-8")
    text = re.sub(r"<script.*?</script>|<style.*?</style>", "", text,
                  flags=re.DOTALL)
    return re.sub(r"\s+", " ", html.unescape(re.sub(r"<[^>]+>", "", text)))


def test_the_site_builds_without_a_warning(site):
    assert site.returncode == 0, site.stdout + site.stderr
    assert site.stderr == ""


def test_every_page_is_built(site):
    pages = {p.stem for p in DOCS.glob("*.md")}
    built = {p.stem for p in (OUT / "html").glob("*.html")}
    assert pages <= built


def first_line(obj):
    return inspect.cleandoc(obj.__doc__).splitlines()[0]


@pytest.mark.parametrize("obj", [
    Morvane.algorithms, Morvane.version, Morvane.Morvane,
    Morvane.Morvane.stemWord, Morvane.Morvane.stemWords,
    Morvane.Morvane.maxCacheSize,
], ids=lambda obj: obj.__name__)
def test_the_reference_shows_the_module_docstring(site, obj):
    """autodoc read the installed module, not the stub (which has no
    docstrings) nor a mock."""
    assert first_line(obj) in page_text("api.html")


@pytest.mark.parametrize("signature", [
    "stemWord(word: str) → str",
    "stemWord(word: bytes | bytearray) → bytes",
    "stemWords(words: Iterable[str]) → list[str]",
    "stemWords(words: Iterable[bytes | bytearray]) → list[bytes]",
    "algorithms(aliases: object = False) → list[str]",
    "Morvane(algorithm: str, maxCacheSize: SupportsInt = 10000)",
])
def test_the_reference_shows_the_typed_signatures(site, signature):
    """The overloads, which only the stub knows, and the written-out
    signatures of the functions and the class."""
    assert signature in page_text("api.html")


def test_the_performance_page_shows_both_plots(site):
    images = {p.name for p in (OUT / "html/_images").glob("*.png")}
    assert {"benchmark-cache-sizes.png", "ns-per-word.png"} <= images


def test_the_plot_script_draws_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    run = subprocess.run(
        [sys.executable, str(DOCS / "plot_ns_per_word.py"),
         str(tmp_path / "plot.png")],
        capture_output=True, encoding="utf-8", timeout=300)
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "plot.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
