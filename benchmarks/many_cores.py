"""Words per second across processes and threads, on every core.

    python benchmarks/many_cores.py [--runs N] [--workers N] [--json PATH]

Times the README's way to stem a corpus on several processes,
examples/parallel.py's stem_parallel (a process pool, one stemmer per
worker), against py-rust-stemmers' stem_words_parallel (threads inside one
call) and against one process of each, on bench.py's two workloads: the
running text and its distinct words.  Each call is timed whole, as a user
calls it: stem_parallel starts its pool, sends the chunks, gathers the
stems and shuts the pool down.  The distinct words are few, so each run
calls each case often enough to stem about 200,000 words and keeps the
median call.  The cases alternate within each run; the
report gives the median over runs in words per second, and the machine's
load average (other work on a small machine skews these figures more than
any other: they use every core).
"""

import argparse
import json
import math
import os
import pathlib
import platform
import statistics
import sys
import time

import Morvane

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))

from parallel import stem_parallel  # noqa: E402

DATA = HERE / "data"
WORKLOADS = ("running", "distinct")
WORDS_PER_SAMPLE = 200_000


def cases(algorithm, workers):
    """(name, call(words)) pairs; a missing peer is left out and named."""
    out = [
        (f"Morvane stem_parallel ({workers} processes)",
         lambda words: stem_parallel(words, algorithm, workers)),
        ("Morvane stemWords, one process, default cache",
         lambda words: Morvane.Morvane(algorithm).stemWords(words)),
        ("Morvane stemWords, one process, cache off",
         lambda words: Morvane.Morvane(algorithm, 0).stemWords(words)),
    ]
    missing = {}
    try:
        import py_rust_stemmers
    except ImportError as exc:
        missing["py-rust-stemmers"] = f"not installed ({exc})"
    else:
        def rust(method):
            return lambda words: getattr(
                py_rust_stemmers.SnowballStemmer(algorithm), method)(words)
        out += [("py-rust-stemmers stem_words_parallel",
                 rust("stem_words_parallel")),
                ("py-rust-stemmers stem_words", rust("stem_words"))]
    return out, missing


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--workers", type=int, default=os.cpu_count())
    parser.add_argument("--algorithm", default="english")
    parser.add_argument("--json", type=pathlib.Path, metavar="PATH")
    args = parser.parse_args(argv)
    if not all((DATA / f"{w}.txt").exists() for w in WORKLOADS):
        sys.exit("many_cores.py: error: no word lists; make them with "
                 "benchmarks/make_corpus.py")
    calls, missing = cases(args.algorithm, args.workers)
    print(f"Python {platform.python_version()} ({sys.executable}), "
          f"Morvane from {Morvane.__file__}; {os.cpu_count()} CPUs",
          flush=True)
    for peer, why in missing.items():
        print(f"peer {peer} missing: {why}")
    load_before = os.getloadavg()
    results = {}
    for workload in WORKLOADS:
        words = (DATA / f"{workload}.txt").read_text(
            encoding="utf-8").splitlines()
        expected = Morvane.Morvane(args.algorithm, 0).stemWords(words)
        # A short list is called several times a run, as in bench.py, and
        # the run keeps the median call.
        repeats = max(1, math.ceil(WORDS_PER_SAMPLE / len(words)))
        samples = {name: [] for name, _ in calls}
        for run in range(args.runs):
            for name, call in calls:
                times = []
                for _ in range(repeats):
                    start = time.perf_counter()
                    stems = call(words)
                    times.append(time.perf_counter() - start)
                    if name.startswith("Morvane") and \
                            list(stems) != expected:
                        sys.exit(f"{name} gave other stems than stemWords")
                    del stems
                samples[name].append(len(words) / statistics.median(times))
        results[workload] = {
            "tokens": len(words),
            "words_per_second": samples,
            "median": {n: statistics.median(s) for n, s in samples.items()},
        }
    load_after = os.getloadavg()

    print()
    for workload, r in results.items():
        print(f"{workload} ({r['tokens']} words), median of {args.runs} "
              "runs, words per second:")
        for name, value in r["median"].items():
            print(f"  {name:<48} {value:>13,.0f}")
    print(f"\nload average (1, 5, 15 min): before "
          f"{' '.join(f'{x:.2f}' for x in load_before)}, after "
          f"{' '.join(f'{x:.2f}' for x in load_after)}")
    if args.json:
        args.json.write_text(json.dumps({
            "python": platform.python_version(), "cpus": os.cpu_count(),
            "workers": args.workers, "missing": missing,
            "load_average_before": load_before,
            "load_average_after": load_after, "workloads": results,
        }, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
