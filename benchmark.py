"""How fast Morvane stems a word file at several cache sizes.

Usage:
    python benchmark.py [--words FILE] [--sizes 0,100,1000,10000,100000]
                        [--algorithm NAME] [--rounds N] [--plot PATH]
                        [--progress]

Run it with an interpreter that has Morvane installed.  For every cache size
a fresh Morvane.Morvane(algorithm, size) stems the whole word list with
stemWords, so each pass starts with an empty cache, as a new stemmer does.
The table gives, per cache size, the words stemmed per second (median over
the rounds) and the speed relative to the same libstemmer called from a
plain C++ loop on the same words (benchmarks/c_loop.cpp, compiled on first
use with g++ and libstemmer-dev): 1.00 is as fast as that loop, and only a
cache can do better.  A size of 0 (or below) switches the cache off.

The words come from FILE, plain or gzip-compressed UTF-8: either one word a
line, stemmed as written, or running text, split into words (runs of
letters, inner apostrophes kept) and lowercased.  Without --words the file
benchmark_words.txt.gz beside this script is used: 100,000 words of real
English prose, ten stretches of 10,000 consecutive words taken at even
intervals through the King James Version of the Bible (public domain);
docs/performance.md gives the command that made it.
"""

import argparse
import gzip
import importlib.util
import math
import pathlib
import platform
import statistics
import subprocess
import sys
import tempfile
import time

try:
    import Morvane
except ImportError as exc:
    sys.exit(f"benchmark.py: error: cannot import Morvane ({exc}); install "
             "it into this interpreter first: python -m pip install .")

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_WORDS = HERE / "benchmark_words.txt.gz"
DEFAULT_SIZES = (0, 100, 1000, 10000, 100000)
# The capacity is a signed 32-bit integer.
SIZE_RANGE = (-(2**31), 2**31 - 1)
# A round times each cache size over enough passes to stem about
# bench.WORDS_PER_SAMPLE words, but no more passes than this: a tiny word
# file would otherwise take minutes (each pass starts with a collection).
MAX_PASSES = 100
# The progress line appears only once a run has taken this long.
PROGRESS_DELAY = 2.0
MATPLOTLIB_MISSING = ("--plot needs matplotlib, which this Python lacks: "
                      "python -m pip install matplotlib")


def load_sibling(name, relative):
    """Import one of the distribution's own scripts as a module."""
    spec = importlib.util.spec_from_file_location(name, HERE / relative)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The C++ loop, its build and the timing of fresh-instance passes are the
# benchmark suite's; the tokeniser is the example's.
bench = load_sibling("morvane_bench", "benchmarks/bench.py")
example = load_sibling("morvane_example", "examples/stem.py")


# Arguments

def cache_sizes(text):
    sizes = set()
    for part in text.replace(",", " ").split():
        try:
            size = int(part)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"not a whole number: {part!r}") from None
        if not SIZE_RANGE[0] <= size <= SIZE_RANGE[1]:
            raise argparse.ArgumentTypeError(
                f"{size} is outside the capacity's range "
                f"{SIZE_RANGE[0]}..{SIZE_RANGE[1]}")
        sizes.add(size)
    if not sizes:
        raise argparse.ArgumentTypeError("no cache size given")
    return sorted(sizes)


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(
            f"must be a whole number of at least 1, not {text!r}")
    return value


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="A progress line goes to standard error when it is a "
               "terminal and the run takes more than a couple of seconds.")
    parser.add_argument(
        "--words", type=pathlib.Path, default=DEFAULT_WORDS, metavar="FILE",
        help="word file: one word a line, or running text; plain or .gz "
             "(default: benchmark_words.txt.gz beside this script)")
    parser.add_argument(
        "--sizes", type=cache_sizes, default=list(DEFAULT_SIZES),
        metavar="N,N,...",
        help="cache sizes to compare (default: "
             f"{','.join(map(str, DEFAULT_SIZES))})")
    parser.add_argument(
        "--algorithm", default="english", metavar="NAME",
        help="stemming algorithm (default: english)")
    parser.add_argument(
        "--rounds", type=positive_int, default=5, metavar="N",
        help="timing rounds; the report gives medians (default: 5)")
    parser.add_argument(
        "--plot", type=pathlib.Path, metavar="PATH",
        help="also draw words per second against cache size into the PNG "
             "file PATH (needs matplotlib)")
    parser.add_argument(
        "--progress", action="store_true",
        help="show the progress line on standard error even when it is not "
             "a terminal")
    args = parser.parse_args(argv)

    # Fail now rather than after the whole run, but import matplotlib only
    # once the timing is over: its many objects would slow the collector's
    # full passes during the timed calls.
    if args.plot is not None and not have_matplotlib():
        parser.error(MATPLOTLIB_MISSING)
    try:
        # Besides the listed names, libstemmer takes aliases such as "en".
        Morvane.Morvane(args.algorithm, 0)
    except (KeyError, UnicodeError):
        parser.error(f"unknown algorithm {args.algorithm!r}; choose one of: "
                     + ", ".join(Morvane.algorithms()))
    try:
        args.word_list = read_words(args.words)
    except (OSError, EOFError, gzip.BadGzipFile, UnicodeDecodeError) as exc:
        parser.error(f"cannot read {args.words}: {exc}")
    if not args.word_list:
        parser.error(f"no words in {args.words}")
    return args


# Words

def read_words(path):
    """The words of a word file, in order."""
    raw = path.read_bytes()
    if raw[:2] == b"\x1f\x8b":
        raw = gzip.decompress(raw)
    text = raw.decode("utf-8")
    lines = [line.strip() for line in text.splitlines()]
    lines = [line for line in lines if line]
    if all(len(line.split()) == 1 for line in lines):
        return lines
    return example.words_of(text)


# Progress

class Progress:
    """A one-line counter on standard error, rewritten in place.

    It stays silent for the first PROGRESS_DELAY seconds (unless forced), so
    quick runs print nothing, and it erases itself before the report is
    printed, so standard output never carries any of it.
    """

    def __init__(self, total, forced):
        self.total = total
        self.done = 0
        self.enabled = forced or sys.stderr.isatty()
        self.delay = 0.0 if forced else PROGRESS_DELAY
        self.started = time.monotonic()
        self.width = 0

    def step(self, what):
        self.done += 1
        if not self.enabled:
            return
        if time.monotonic() - self.started < self.delay:
            return
        line = f"[{self.done}/{self.total}] {what}"
        sys.stderr.write("\r" + line.ljust(self.width))
        sys.stderr.flush()
        self.width = max(self.width, len(line))

    def clear(self):
        if self.width:
            sys.stderr.write("\r" + " " * self.width + "\r")
            sys.stderr.flush()
            self.width = 0


# Timing

def build_c_loop():
    """Build the C++ loop if needed; False (with a warning) if it cannot be."""
    try:
        # Its "building ..." note belongs with the other diagnostics.
        stdout, sys.stdout = sys.stdout, sys.stderr
        try:
            bench.ensure_c_loop()
        finally:
            sys.stdout = stdout
    except (OSError, subprocess.CalledProcessError) as exc:
        print(f"benchmark.py: warning: cannot build the plain libstemmer "
              f"loop {bench.C_BINARY} ({exc}); the comparison with it is "
              "left out. It needs g++ and libstemmer-dev.", file=sys.stderr)
        return False
    return True


def stem_pass(algorithm, size, words):
    """A factory for bench.timed_pass: a fresh instance stems every word."""
    def make():
        stemmer = Morvane.Morvane(algorithm, size)
        return lambda: stemmer.stemWords(words)
    return make


def run(args, word_file, with_c):
    """Median words per second per cache size, and the C loop's figures."""
    words, sizes = args.word_list, args.sizes
    passes = min(MAX_PASSES,
                 max(1, math.ceil(bench.WORDS_PER_SAMPLE / len(words))))
    c_reps = max(3, passes)

    if with_c:
        # Both must stem the same words the same way, or the ratio means
        # nothing.
        _, checksum = bench.time_c_loop(word_file, args.algorithm, 1)
        stems = Morvane.Morvane(args.algorithm, 0).stemWords(
            [w.encode("utf-8") for w in words])
        if sum(map(len, stems)) != checksum:
            sys.exit("benchmark.py: error: Morvane's stems differ from the "
                     f"plain libstemmer loop's (total length "
                     f"{sum(map(len, stems))} != {checksum})")
        del stems

    progress = Progress(args.rounds * (len(sizes) + with_c), args.progress)
    c_ns, ns = [], {size: [] for size in sizes}
    try:
        for r in range(1, args.rounds + 1):
            if with_c:
                progress.step(f"round {r}/{args.rounds}: C loop")
                c_ns.append(bench.time_c_loop(word_file, args.algorithm,
                                              c_reps)[0])
            for size in sizes:
                progress.step(f"round {r}/{args.rounds}: cache size {size}")
                ns[size].append(bench.timed_pass(
                    stem_pass(args.algorithm, size, words), passes,
                    len(words)))
    finally:
        progress.clear()

    results = {}
    for size, samples in ns.items():
        results[size] = {
            "words_per_s": 1e9 / statistics.median(samples),
            "vs_c": (statistics.median(c / t for c, t in zip(c_ns, samples))
                     if with_c else None),
        }
    c_result = 1e9 / statistics.median(c_ns) if with_c else None
    return results, c_result, passes


# Report

def print_report(args, results, c_words_per_s, passes):
    words = args.word_list
    print(f"Morvane {Morvane.version()} on Python "
          f"{platform.python_version()}, algorithm {args.algorithm!r}")
    print(f"{len(words):,} words ({len(set(words)):,} distinct) from "
          f"{args.words}")
    print(f"{args.rounds} round(s) of {passes} pass(es) per cache size, "
          "each pass a fresh instance; medians")
    print()
    print(f"{'cache size':>11} {'words/s':>13} {'vs C loop':>10}")
    for size, r in results.items():
        vs_c = f"{r['vs_c']:10.2f}" if r["vs_c"] is not None else f"{'-':>10}"
        print(f"{size:>11} {r['words_per_s']:>13,.0f} {vs_c}")
    if c_words_per_s is not None:
        print(f"{'C loop':>11} {c_words_per_s:>13,.0f} {1.0:10.2f}")
        print()
        print("vs C loop: speed relative to libstemmer called from a plain "
              "C++ loop on the\nsame words (above 1.00 only a cache can "
              "reach)")


def have_matplotlib():
    try:
        return importlib.util.find_spec("matplotlib") is not None
    except ValueError:
        return False


def plot(path, args, results, c_words_per_s):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    million = 1e6
    cached = [(size, r["words_per_s"] / million)
              for size, r in results.items() if size > 0]
    # Every size of 0 or below switches the cache off: one line stands for
    # them all.
    off = [(size, r["words_per_s"] / million)
           for size, r in results.items() if size <= 0]
    fig, ax = plt.subplots(figsize=(8, 5), layout="constrained")
    if cached:
        ax.plot([s for s, _ in cached], [w for _, w in cached], "o-",
                label="cache on")
        ax.set_xscale("log")
        # Ticks at the sizes measured, and only there.
        ax.set_xticks([s for s, _ in cached], [f"{s:,}" for s, _ in cached])
        ax.minorticks_off()
    if off:
        size, words_per_s = off[-1]
        ax.axhline(words_per_s, color="tab:orange", linestyle="--",
                   label=f"cache off (size {size})")
    if c_words_per_s is not None:
        ax.axhline(c_words_per_s / million, color="tab:gray", linestyle=":",
                   label="libstemmer from a plain C++ loop")
    ax.set_xlabel("cache size (maxCacheSize)")
    ax.set_ylabel("million words per second")
    ax.set_ylim(bottom=0)
    words = args.word_list
    ax.set_title(f"Morvane {args.algorithm!r}: {len(words):,} words "
                 f"({len(set(words)):,} distinct), Python "
                 f"{platform.python_version()}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.savefig(path, format="png")
    plt.close(fig)


def main(argv=None):
    args = parse_args(argv)
    with_c = build_c_loop()
    with tempfile.TemporaryDirectory(prefix="morvane-bench-") as tmp:
        # The C loop reads exactly the words the module stems, one a line.
        word_file = pathlib.Path(tmp) / "words.txt"
        word_file.write_text("".join(w + "\n" for w in args.word_list),
                             encoding="utf-8")
        results, c_words_per_s, passes = run(args, word_file, with_c)
    print_report(args, results, c_words_per_s, passes)
    if args.plot is not None:
        try:
            plot(args.plot, args, results, c_words_per_s)
        except ImportError as exc:
            sys.exit(f"benchmark.py: error: {MATPLOTLIB_MISSING} ({exc})")
        except OSError as exc:
            sys.exit(f"benchmark.py: error: cannot write {args.plot}: {exc}")
        print(f"\nplot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8")
    sys.exit(main())
