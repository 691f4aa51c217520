"""benchmark.py, the cache-size benchmark that ships with the distribution.

Each test runs the script in a child interpreter on a word file of a few
dozen words with one round, so it takes about a second; the numbers it
prints are checked for shape and sign only, never for speed.
"""

import gzip
import importlib.util
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import Morvane

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "benchmark.py"

WORDS = ["running", "connections", "happily", "the", "stemming", "runs",
         "generously", "connected", "sensational", "the"] * 4
RUNNING_TEXT = ("The runners were running; the runner's RUN.\n"
                "Running, running!\n")
WORD_LINES = "Running\nrunning\n\n  ran  \n"


def run_benchmark(*args, code=None):
    """Run benchmark.py with args; with code, run that first in the child."""
    if code is None:
        command = [sys.executable, str(SCRIPT), *args]
    else:
        command = [sys.executable, "-c",
                   f"{code}\nimport runpy, sys\n"
                   f"sys.argv = {[str(SCRIPT), *args]!r}\n"
                   f"runpy.run_path(sys.argv[0], run_name='__main__')"]
    done = subprocess.run(command, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=300)
    # Decoded by hand: text mode would turn the progress line's "\r" into
    # newlines.
    done.stdout = done.stdout.decode("utf-8")
    done.stderr = done.stderr.decode("utf-8")
    return done


def table(stdout):
    """The report's rows as (label, words per second, speed vs C loop)."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines)
                 if line.split()[:2] == ["cache", "size"])
    rows = []
    for line in lines[start + 1:]:
        if not line.strip():
            break
        *label, words_per_s, vs_c = line.split()
        rows.append((" ".join(label), float(words_per_s.replace(",", "")),
                     float(vs_c)))
    return rows


def word_counts(stdout):
    """The "N words (M distinct)" of the report's header."""
    line = next(line for line in stdout.splitlines() if " distinct) " in line)
    words, _, distinct, *_ = line.replace(",", "").replace("(", "").split()
    return int(words), int(distinct)


@pytest.fixture
def word_file(tmp_path):
    path = tmp_path / "words.txt"
    path.write_text("".join(w + "\n" for w in WORDS), encoding="utf-8")
    return path


def test_table_has_one_row_per_cache_size(word_file):
    """Sizes come out sorted and unique, then the C loop's row at 1.00."""
    done = run_benchmark("--words", str(word_file), "--rounds", "1",
                         "--sizes", "1000,0,-5,10,10")
    assert done.returncode == 0, done.stderr
    rows = table(done.stdout)
    assert [label for label, _, _ in rows] == [
        "-5", "0", "10", "1000", "C loop"]
    for label, words_per_s, vs_c in rows:
        assert words_per_s > 0 and vs_c > 0, label
    assert rows[-1][2] == 1.0


def test_progress_goes_to_stderr_only(word_file):
    done = run_benchmark("--words", str(word_file), "--rounds", "2",
                         "--sizes", "0,100", "--progress")
    assert done.returncode == 0, done.stderr
    assert "\r" not in done.stdout
    assert "\r[6/6] round 2/2: cache size 100" in done.stderr
    # The line is erased before the report is printed.
    assert done.stderr.endswith("\r")
    assert len(table(done.stdout)) == 3


@pytest.mark.parametrize(
    ("name", "content", "counts"),
    [
        ("words.txt", WORD_LINES, (3, 3)),
        ("words.txt.gz", WORD_LINES, (3, 3)),
        ("text.txt", RUNNING_TEXT, (9, 6)),
        ("text.gz", RUNNING_TEXT, (9, 6)),
    ],
    ids=["word-lines", "word-lines-gzip", "running-text",
         "running-text-gzip-any-name"],
)
def test_word_file_forms(tmp_path, name, content, counts):
    """Word lines are stemmed as written; running text is split, lowercased."""
    path = tmp_path / name
    data = content.encode("utf-8")
    path.write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
    done = run_benchmark("--words", str(path), "--rounds", "1",
                         "--sizes", "0")
    assert done.returncode == 0, done.stderr
    assert word_counts(done.stdout) == counts


def test_default_word_file_is_the_shipped_sample():
    done = run_benchmark("--rounds", "1", "--sizes", "0")
    assert done.returncode == 0, done.stderr
    assert word_counts(done.stdout) == (100_000, 5_157)
    assert f"from {ROOT / 'benchmark_words.txt.gz'}" in done.stdout


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                    reason="matplotlib is not installed")
def test_plot_is_a_png(word_file, tmp_path):
    plot = tmp_path / "plot.png"
    done = run_benchmark("--words", str(word_file), "--rounds", "1",
                         "--sizes", "0,10,1000", "--plot", str(plot))
    assert done.returncode == 0, done.stderr
    assert done.stdout.endswith(f"plot written to {plot}\n")
    data = plot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    assert width > 100 and height > 100


def test_plot_without_matplotlib_fails_before_running(word_file, tmp_path):
    done = run_benchmark(
        "--words", str(word_file), "--plot", str(tmp_path / "plot.png"),
        code="import sys; sys.modules['matplotlib'] = None")
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.splitlines()[-1] == (
        "benchmark.py: error: --plot needs matplotlib, which this Python "
        "lacks: python -m pip install matplotlib")
    assert not (tmp_path / "plot.png").exists()


@pytest.mark.parametrize(
    ("args", "file_bytes", "message"),
    [
        # cache sizes
        (["--sizes", "10,x"], None, "argument --sizes: not a whole number: 'x'"),
        (["--sizes", ","], None, "argument --sizes: no cache size given"),
        (["--sizes", "2147483648"], None,
         "argument --sizes: 2147483648 is outside the capacity's range "
         "-2147483648..2147483647"),
        # rounds
        (["--rounds", "0"], None,
         "argument --rounds: must be a whole number of at least 1, not '0'"),
        (["--rounds", "two"], None,
         "argument --rounds: must be a whole number of at least 1, not "
         "'two'"),
        # algorithm
        (["--algorithm", "klingon"], None,
         "unknown algorithm 'klingon'; choose one of: "
         + ", ".join(Morvane.algorithms())),
        # word file
        ([], b"", "no words in {path}"),
        ([], b"\n \n", "no words in {path}"),
        ([], b"\xffword\n",
         "cannot read {path}: 'utf-8' codec can't decode byte 0xff in "
         "position 0: invalid start byte"),
        ([], None, "cannot read {path}: [Errno 2] No such file or directory: "
         "'{path}'"),
    ],
    ids=["size-not-a-number", "no-size", "size-too-large", "zero-rounds",
         "rounds-not-a-number", "unknown-algorithm", "empty-file",
         "blank-file", "not-utf8", "missing-file"],
)
def test_usage_errors(tmp_path, args, file_bytes, message):
    path = tmp_path / "words.txt"
    if file_bytes is not None:
        path.write_bytes(file_bytes)
    elif not args:
        path = tmp_path / "missing.txt"
    else:
        path.write_text("word\n", encoding="utf-8")
    done = run_benchmark("--words", str(path), *args)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.splitlines()[-1] == (
        "benchmark.py: error: " + message.format(path=path))
