"""examples/dask_corpus.py on a LocalCluster of two worker processes and on a
cluster started apart from it, as on a real one: the same pairs as one
process makes, and one stemmer per worker thread, kept for every partition."""

import json
import re
import runpy
import subprocess
import sys
import time
from pathlib import Path

import pytest

import Morvane

# dask and distributed are the example's requirements, not the module's: on
# a CPython for which they publish no wheel, these tests are skipped.
PYTHON = sys.version.split()[0]
for module, package in [("dask.bag", "dask"), ("distributed", "distributed")]:
    pytest.importorskip(module, reason=(
        f"{package} is not installed (the examples extra; it may "
        f"have no wheel for CPython {PYTHON})"))

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
SCRIPT = EXAMPLES / "dask_corpus.py"
SAMPLE = EXAMPLES / "sample.txt"
DICTIONARY = Path("/usr/share/dict/american-english")

# The example's own tokenizer, without putting examples/ on this sys.path.
words_of = runpy.run_path(str(EXAMPLES / "stem.py"))["words_of"]

# Runs the example's main() with the two-worker LocalCluster of its
# --workers option. Before the corpus is stemmed, each worker process swaps
# Morvane.Morvane for a subclass that counts the stemmers made there and
# their stemWords calls (one per partition); the counts go to REPORT.
DRIVER = """\
import json, sys
sys.path.insert(0, {examples!r})
import dask_corpus

REPORT = {report!r}


def count_stemmers():
    import Morvane

    class Counting(Morvane.Morvane):
        made = 0
        calls = 0

        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            Counting.made += 1

        def stemWords(self, words):
            Counting.calls += 1
            return super().stemWords(words)

    Morvane.Morvane = Counting


def counts():
    import Morvane
    return {{"made": Morvane.Morvane.made, "calls": Morvane.Morvane.calls}}


example_stem_corpus = dask_corpus.stem_corpus


def stem_and_count(client, *args, **kwargs):
    client.run(count_stemmers)
    outputs = example_stem_corpus(client, *args, **kwargs)
    with open(REPORT, "w") as file:
        json.dump(client.run(counts), file)
    return outputs


if __name__ == "__main__":
    dask_corpus.stem_corpus = stem_and_count
    sys.exit(dask_corpus.main(sys.argv[1:]))
"""


def run_python(args, cwd):
    return subprocess.run([sys.executable, *args], cwd=cwd,
                          capture_output=True, encoding="utf-8", timeout=300)


def real_words():
    """A few thousand words: every 25th of the dictionary word list (proper
    names, possessives, accented words), or made-up inflections without it."""
    if DICTIONARY.exists():
        return DICTIONARY.read_text(encoding="utf-8").split()[::25]
    stems = ["connect", "run", "happy", "nation", "generous", "café"]
    suffixes = ["", "s", "ing", "ed", "ly", "ness", "ations", "ies"]
    return [stem + suffix for suffix in suffixes for stem in stems] * 80


def write_corpus(directory, files=8):
    """Text files of real words, a dozen to a line; their paths."""
    words = real_words()
    size = -(-len(words) // files)
    paths = []
    for index in range(files):
        chunk = words[index * size:(index + 1) * size]
        lines = [" ".join(chunk[i:i + 12]) for i in range(0, len(chunk), 12)]
        path = directory / f"words-{index}.txt"
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        paths.append(path)
    return paths


def expected_pairs(path):
    """The file's word<TAB>stem lines, stemmed in one process."""
    words = words_of(path.read_text(encoding="utf-8"))
    stems = Morvane.Morvane("english").stemWords(words)
    return [f"{word}\t{stem}" for word, stem in zip(words, stems)]


def check_outputs(run, inputs, out_dir):
    """Each input has its NAME.tsv, equal to one process's pairs, and the
    command printed the paths written, in the order of its inputs."""
    assert run.returncode == 0, run.stderr
    outputs = [f"{out_dir}/{path.stem}.tsv" for path in inputs]
    # Dask's progress bar, if shown, stays on the line before the paths.
    assert run.stdout.endswith("\n".join(outputs) + "\n")
    for path, output in zip(inputs, outputs):
        pairs = Path(output).read_text(encoding="utf-8").splitlines()
        assert pairs == expected_pairs(path), path.name


def test_local_cluster_stems_as_one_process_does(tmp_path):
    no_words = tmp_path / "no-words.txt"
    no_words.write_text("1984 -- 2001\n\n", encoding="utf-8")
    inputs = [SAMPLE, *write_corpus(tmp_path), no_words]
    report = tmp_path / "report.json"
    driver = tmp_path / "driver.py"
    driver.write_text(DRIVER.format(examples=str(EXAMPLES),
                                    report=str(report)))
    out_dir = tmp_path / "stemmed"
    run = run_python([str(driver), "--workers", "2", "--out", str(out_dir),
                      *map(str, inputs)], tmp_path)
    check_outputs(run, inputs, out_dir)
    assert sum(len(expected_pairs(path)) for path in inputs) > 3000

    workers = json.loads(report.read_text()).values()
    assert len(workers) == 2
    # One stemWords call a partition, one partition a file, and a stemmer
    # only where partitions ran: one per single-threaded worker, however
    # many partitions it was given.
    assert sum(worker["calls"] for worker in workers) == len(inputs)
    for worker in workers:
        assert worker["made"] == (1 if worker["calls"] else 0)
    assert max(worker["calls"] for worker in workers) > 1


@pytest.fixture
def cluster(tmp_path):
    """A scheduler and two worker processes started with Dask's own command,
    as on a real cluster; their Python path does not include examples/, so
    the example must send its code to them. Yields the scheduler address."""
    scheduler_file = tmp_path / "scheduler.json"
    command = [sys.executable, "-m", "dask"]
    started = []
    try:
        started.append(subprocess.Popen(
            [*command, "scheduler", "--host", "127.0.0.1", "--port", "0",
             "--dashboard-address", "127.0.0.1:0",
             "--scheduler-file", str(scheduler_file)],
            cwd=tmp_path, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        for _ in range(600):  # at most a minute for it to start
            if scheduler_file.exists() and scheduler_file.stat().st_size:
                break
            assert started[0].poll() is None, "the scheduler exited"
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        started.append(subprocess.Popen(
            [*command, "worker", address, "--nworkers", "2", "--nthreads",
             "1", "--host", "127.0.0.1", "--dashboard-address",
             "127.0.0.1:0"],
            cwd=tmp_path, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))
        yield address
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(timeout=60)


def test_script_runs_on_a_cluster_by_its_address(cluster, tmp_path):
    """The example run as a command, whose functions and plugin Dask sends
    by value, with the tokenizer's module sent by upload_file."""
    inputs = [SAMPLE, *write_corpus(tmp_path, files=2)]
    out_dir = tmp_path / "stemmed"
    run = run_python([str(SCRIPT), "--scheduler", cluster, "--out",
                      str(out_dir), *map(str, inputs)], tmp_path)
    check_outputs(run, inputs, out_dir)


def test_docs_show_the_plugin_verbatim():
    page = (ROOT / "docs/dask.md").read_text(encoding="utf-8")
    block = re.search(r"```python\n(.*?)```", page, flags=re.DOTALL)
    assert "class StemmerPlugin" in block[1]
    assert block[1] in SCRIPT.read_text(encoding="utf-8")


# bad invocations, refused before any cluster starts
@pytest.mark.parametrize(("arguments", "message"), [
    (["--algorithm", "klingon"], "unknown algorithm 'klingon'"),
    (["a/notes.txt", "b/notes.txt"], "two input files have the same name"),
], ids=["unknown algorithm", "two inputs one output"])
def test_command_line_refuses(arguments, message, tmp_path):
    run = run_python([str(SCRIPT), *arguments], tmp_path)
    assert run.returncode == 2
    assert message in run.stderr
    assert "dashboard" not in run.stderr
    assert not (tmp_path / "stemmed").exists()
