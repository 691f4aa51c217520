"""The documentation runs as written: every example of README.md as a
doctest, and the parallel-stemming example of examples/parallel.py, which the
README shows verbatim, on two worker processes."""

import doctest
import json
import re
import subprocess
import sys
from pathlib import Path

import Morvane

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
EXAMPLES = ROOT / "examples"
PARALLEL = EXAMPLES / "parallel.py"


def test_readme_examples_pass():
    result = doctest.testfile(
        "../README.md", encoding="utf-8",
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    # doctest prints each failing example; pytest shows that output.
    assert result.failed == 0
    assert result.attempted > 0


def heading_anchor(heading):
    """The anchor that GitHub and most Markdown renderers give a heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return "#" + text.replace(" ", "-")


def test_readme_links_within_the_page_reach_a_heading():
    readme = README.read_text(encoding="utf-8")
    headings = re.findall(r"^#{1,6} (.+)$", readme, flags=re.MULTILINE)
    anchors = {heading_anchor(heading) for heading in headings}
    links = re.findall(r"\]\((#[^)]*)\)", readme)
    assert links
    assert sorted(set(links) - anchors) == []


def test_readme_shows_the_parallel_example_verbatim():
    source = PARALLEL.read_text(encoding="utf-8")
    readme = README.read_text(encoding="utf-8")
    assert f"```python\n{source}```\n" in readme


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
