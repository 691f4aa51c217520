"""The documentation runs as written: every example of README.md and of the
pages in docs/ as a doctest, the longer programs that the pages show
verbatim from examples/, and the scikit-learn pipeline of docs/sklearn.md.
The site itself is built and checked by docs/test_site.py (the test
command's docs run)."""

import ast
import doctest
import json
import re
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import Morvane

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
DOCS = ROOT / "docs"
EXAMPLES = ROOT / "examples"
PARALLEL = EXAMPLES / "parallel.py"
# The pages that hold Python sessions (the others show programs and commands).
PAGES = [page for page in [README, *sorted(DOCS.glob("*.md"))]
         if "\n>>> " in page.read_text(encoding="utf-8")]


def page_id(page):
    return page.relative_to(ROOT).as_posix()


def test_examples_pass_on_the_readme_and_the_guides():
    assert {page_id(page) for page in PAGES} >= {
        "README.md", "docs/index.md", "docs/tour.md", "docs/api.md",
        "docs/cache.md", "docs/threads.md", "docs/algorithms.md",
        "docs/choices.md"}


@pytest.mark.parametrize("page", PAGES, ids=page_id)
def test_examples_pass(page):
    result = doctest.testfile(
        str(page), module_relative=False, encoding="utf-8",
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    # doctest prints each failing example; pytest shows that output.
    assert result.failed == 0
    assert result.attempted > 0


def heading_anchor(heading):
    """The anchor that GitHub, most Markdown renderers and the docs site
    (MyST) give a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return "#" + text.replace(" ", "-")


def anchors(page):
    text = re.sub(r"```.*?```", "", page.read_text(encoding="utf-8"),
                  flags=re.DOTALL)
    return {heading_anchor(h)
            for h in re.findall(r"^#{1,6} (.+)$", text, flags=re.MULTILINE)}


def test_readme_links_reach_a_file_and_heading():
    """The README's links into the page and into docs/ (the site's build
    checks the links between its own pages)."""
    readme = README.read_text(encoding="utf-8")
    links = re.findall(r"\]\(([^)#:]*)(#[^)]*)?\)", readme)
    assert any(path.startswith("docs/") for path, _ in links)
    for path, anchor in links:
        target = ROOT / path if path else README
        assert target.exists(), path
        if anchor:
            assert anchor in anchors(target), path + anchor


def test_parallel_page_shows_the_example_verbatim():
    source = PARALLEL.read_text(encoding="utf-8")
    page = (DOCS / "parallel.md").read_text(encoding="utf-8")
    assert f"```python\n{source}```\n" in page


STUB = ROOT / "src/Morvane.pyi"


def stub_signatures():
    """name: (parameters, return annotation) of the stub's functions and
    of the class's __init__, as source text."""
    found = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef) and node.name == "Morvane":
            found["Morvane"] = next(
                n for n in node.body
                if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    signatures = {}
    for name, node in found.items():
        args = node.args.args[1:] if name == "Morvane" else node.args.args
        defaults = [None] * (len(args) - len(node.args.defaults)) + \
            node.args.defaults
        params = [(a.arg, ast.unparse(a.annotation).split(".")[-1],
                   None if d is None else ast.unparse(d))
                  for a, d in zip(args, defaults)]
        returns = None if name == "Morvane" else ast.unparse(node.returns)
        signatures[name] = (params, returns)
    return signatures


def test_api_page_signatures_are_the_stub_s():
    """The reference writes out the signatures of the functions and the
    class, which autodoc reads from the module without their types; they
    must say what the stub says."""
    page = (DOCS / "api.md").read_text(encoding="utf-8")
    written = re.findall(
        r"\.\. auto(?:function|class):: Morvane\.(\w+)\((.*)\)(?: -> (.+))?",
        page)
    assert {name for name, _, _ in written} == \
        {"algorithms", "version", "Morvane"}
    stub = stub_signatures()
    for name, params, returns in written:
        parsed = ast.parse(f"def f({params}): pass").body[0].args
        defaults = [None] * (len(parsed.args) - len(parsed.defaults)) + \
            parsed.defaults
        mine = [(a.arg, ast.unparse(a.annotation).split(".")[-1],
                 None if d is None else ast.unparse(d))
                for a, d in zip(parsed.args, defaults)]
        assert (mine, returns or None) == stub[name], name


def png_text(path):
    """The tEXt entries of a PNG file."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    found, at = {}, 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"tEXt":
            key, _, value = body.partition(b"\0")
            found[key.decode("latin-1")] = value.decode("latin-1")
        elif kind == b"zTXt":
            key, _, value = body.partition(b"\0")
            found[key.decode("latin-1")] = zlib.decompress(value[1:]).decode(
                "latin-1")
        at += 12 + length
    return found


def test_the_plot_shows_the_performance_table():
    """docs/ns-per-word.png was drawn from the figures that the performance
    page's table gives now: after editing the table, run
    docs/plot_ns_per_word.py again."""
    sys.path.insert(0, str(DOCS))
    try:
        import plot_ns_per_word as plot
    finally:
        sys.path.remove(str(DOCS))
    table, versions = plot.read_table()
    assert versions == ["3.11", "3.12", "3.13", "3.14", "3.15"]
    assert set(table) == {"running text", "distinct words"}
    for calls in table.values():
        assert all(len(f) == len(versions) for f in calls.values())
    running = table["running text"]
    assert running["stemWords, default cache"][-1] < \
        running[plot.C_LOOP][-1] < running["stemWords, cache off"][-1]
    assert png_text(plot.OUTPUT)[plot.DIGEST_KEY] == \
        plot.digest(table, versions)


def test_sklearn_page_pipeline_runs():
    """The pipeline of docs/sklearn.md, as written, run in examples/."""
    pytest.importorskip("sklearn")
    page = (DOCS / "sklearn.md").read_text(encoding="utf-8")
    (code,) = [block for block in re.findall(r"```python\n(.*?)```", page,
                                             flags=re.DOTALL)
               if "Pipeline(" in block]
    run = subprocess.run([sys.executable, "-c", code], cwd=EXAMPLES,
                         capture_output=True, encoding="utf-8", timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "['negative']\n"


# Words for the parallel runs: repeats (cache hits inside a worker), words
# that stem to themselves, and words beyond ASCII.
STEMS = ["connect", "run", "happy", "nation", "generous", "caress", "pony",
         "naïve", "café", "rôle"]
SUFFIXES = ["", "s", "ing", "ed", "ly", "ness", "ations", "ies"]
WORDS = [stem + suffix for suffix in SUFFIXES for stem in STEMS] * 5

# Runs stem_parallel with two worker processes and prints the stems as JSON.
# Each worker reports its process id on standard error from the pool's
# initializer. The wrapper lives in this script so that every start method
# (fork, spawn, forkserver) finds it: spawned workers import the script anew,
# where the wrapper calls the example's own initializer.
DRIVER = """\
import json, os, sys
sys.path.insert(0, {examples!r})
import parallel

example_init_worker = parallel.init_worker


def report_and_init(algorithm):
    # One write call: the two workers' lines cannot interleave.
    os.write(2, b"%d\\n" % os.getpid())
    example_init_worker(algorithm)


if __name__ == "__main__":
    parallel.init_worker = report_and_init
    words = json.load(sys.stdin)
    stems = parallel.stem_parallel(words, workers=2, chunk_size=25)
    json.dump({{"pid": os.getpid(), "stems": stems}}, sys.stdout)
"""


def run_python(args, cwd, stdin=None):
    return subprocess.run([sys.executable, *args], cwd=cwd, input=stdin,
                          capture_output=True, encoding="utf-8", timeout=120)


def test_parallel_example_stems_on_two_worker_processes(tmp_path):
    driver = tmp_path / "driver.py"
    driver.write_text(DRIVER.format(examples=str(EXAMPLES)))
    run = run_python([str(driver)], tmp_path, json.dumps(WORDS))
    assert run.returncode == 0, run.stderr
    output = json.loads(run.stdout)
    assert output["stems"] == Morvane.Morvane("english").stemWords(WORDS)
    workers = [int(line) for line in run.stderr.splitlines()]
    assert len(workers) == 2
    assert len(set(workers)) == 2
    assert output["pid"] not in workers


def test_parallel_example_command_line(tmp_path):
    """Lowercases the words of a file and prints each beside its stem."""
    text = " ".join(WORDS[:40]).title() + "\n" + "\n".join(WORDS[40:])
    (tmp_path / "words.txt").write_text(text, encoding="utf-8")
    run = run_python([str(PARALLEL), "words.txt", "2"], tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    stems = Morvane.Morvane("english").stemWords(WORDS)
    assert run.stdout.splitlines() == [
        f"{word}\t{stem}" for word, stem in zip(WORDS, stems)]
