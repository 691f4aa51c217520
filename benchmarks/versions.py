"""benchmarks/bench.py on every release CPython 3.11 to 3.15, in one sitting.

    python3 benchmarks/versions.py [--runs N] [--rounds N] [--python 3.X]...
                                   [--source DIR]

Each interpreter gets a venv of its own (.venv/bench-3.X) with the module
built from --source (default: this work tree) the way `pip install` builds
it, a release build. CPython 3.14 and 3.15 come from the Debian sid root
(tools/morvane_dev) when the host lacks them: the module is built and
benchmarked inside the root, where bench.py compiles its C loop against the
libstemmer that the module loaded, sid's. The host's builds link the same
release from the private prefix that the test command extracts,
build/libstemmer (--libstemmer names another), so that every column runs
the same stemmer; without one they link the system's libstemmer, and the
table says so.

The runs go round the interpreters in turn (run 1 on each, then run 2, ...),
so that a busy spell of the shared machine lands on all of them alike. The
table gives, per interpreter, the median over the runs of each run's median
ratio to the C loop, with the build and the libstemmer each figure ran on.
Every run's JSON is kept under build/bench-results/.

Needs root for the sid root (see tools/run.py sid-root) and PyPI for the
build backend.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tools"))

from morvane_dev import wheels  # noqa: E402
from morvane_dev.interpreters import Interpreter  # noqa: E402
from morvane_dev.system import Failure  # noqa: E402

RESULTS = ROOT / "build/bench-results"
BUILD_TOOLS = ["scikit-build-core>=0.10", "ninja"]
# The peers bench.py times beside the module, each installed on its own so
# that one without a wheel for an interpreter leaves the others in; from
# wheels only, as a user would get them (py-rust-stemmers has none for
# 3.15, and building it would need a Rust toolchain).
PEERS = ["py-rust-stemmers", "snowballstemmer>=3", "nltk"]

# The rows of the table in docs/performance.md: (workload, case in
# bench.py's JSON, label).
ROWS = [
    ("running", "C loop", "C loop, ns per word"),
    ("running", "stemWords str, cache", "`stemWords`, default cache"),
    ("running", "stemWords str, cache off", "`stemWords`, cache off"),
    ("running", "_cache_off_vs_c_plus_floor",
     "`stemWords`, cache off, against C loop + 1.25 x `str.lower`"),
    ("running", "loop stemWord str, cache",
     "loop of `stemWord`, default cache"),
    ("running", "stemWords bytes, cache",
     "`bytes` words, `stemWords`, default cache"),
    ("distinct", "C loop", "C loop, ns per word"),
    ("distinct", "stemWords str, cache",
     "`stemWords`, default cache (every word a miss)"),
    ("distinct", "stemWords str, cache off", "`stemWords`, cache off"),
]
# The peers' rows, on both workloads; the pure-Python ones are timed on the
# first tokens of the running text (bench.py's PEER_SAMPLE).
PEER_CASES = [
    ("py-rust-stemmers stem_words", "py-rust-stemmers `stem_words`"),
    ("py-rust-stemmers stem_words_parallel",
     "py-rust-stemmers `stem_words_parallel` (2 threads)"),
    ("py-rust-stemmers loop stem_word",
     "py-rust-stemmers, loop of `stem_word`"),
    ("snowballstemmer stemWords", "snowballstemmer `stemWords`"),
    ("nltk SnowballStemmer.stem", "NLTK `SnowballStemmer.stem`"),
]
PEER_ROWS = [(workload, case, label)
             for workload in ("running", "distinct")
             for case, label in
             [("stemWords str, cache", "Morvane `stemWords`, default cache"),
              ("stemWords str, cache off",
               "Morvane `stemWords`, cache off"),
              *PEER_CASES,
              ("_default_cache_vs_rust_stem_words",
               "Morvane default cache / py-rust-stemmers `stem_words`")]]
WORKLOAD_NAMES = {"running": "running text", "distinct": "distinct words"}

# Goals for the newest CPython, as ratios to the C loop.
TARGETS = {
    "3.15": [("running", "stemWords str, cache", 0.55),
             ("distinct", "stemWords str, cache off", 1.15)],
}


def say(*parts):
    print(*parts, flush=True)


def build_kind(interpreter: Interpreter) -> str:
    if interpreter.sid:
        return "Debian sid package, release build"
    if "/.pyenv/" in interpreter.exe:
        return "pyenv build (no PGO/LTO)"
    return "release"


class Bench:
    """The module built for one interpreter, and bench.py run with it."""

    def __init__(self, interpreter: Interpreter, place: wheels.Place,
                 source: Path, libstemmer: Path | None):
        self.interpreter = interpreter
        self.place = place
        self.source = source
        # The host's builds link this prefix's libstemmer; the sid root's,
        # their system's.
        self.libstemmer = None if interpreter.sid else libstemmer
        self.venv = ROOT / ".venv" / f"bench-{interpreter.key}"
        self.build_dir = ROOT / "build" / f"bench-{interpreter.key}"
        self.python = self.venv / "bin/python"

    def prepare(self, log: Path) -> None:
        run = self.place.run
        # The sid root's venv python links to a file that only exists in
        # the root: look for the venv's own file.
        have = self.place.output([self.python, "-I", "-c",
                                  "import sys; print(sys.base_prefix)"]) \
            if (self.venv / "pyvenv.cfg").exists() else None
        if not have or have.returncode or \
                have.stdout.strip() != self.interpreter.base:
            if not run([self.interpreter.exe, "-m", "venv", "--clear",
                        self.venv], log):
                raise Failure(f"could not create {self.venv}")
        pip = [self.python, "-m", "pip", "install", "-q"]
        settings = [f"--config-settings=build-dir={self.build_dir}"]
        if self.libstemmer:
            settings.append("--config-settings=cmake.define."
                            f"MORVANE_LIBSTEMMER_ROOT={self.libstemmer}")
        if not (run([*pip, *BUILD_TOOLS], log)
                and run([*pip, "--no-build-isolation", "--no-deps",
                         "--force-reinstall", self.source, *settings],
                        log)):
            raise Failure(f"could not build the module for "
                          f"{self.interpreter.describe()}")
        for peer in PEERS:
            if not run([*pip, "--only-binary", ":all:", peer], log):
                say(f"  {peer}: no wheel for "
                    f"{self.interpreter.describe()}; bench.py names it "
                    "missing")

    def run(self, rounds: int, out: Path, log: Path) -> dict:
        argv = [self.python, HERE / "bench.py", "--rounds", str(rounds),
                "--json", out]
        with open(log, "a") as output:
            # A missed target exits 1 too: only a missing report fails.
            subprocess.run(self.place.argv(argv), cwd=ROOT, stdout=output,
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        if not out.exists():
            raise Failure(f"bench.py failed on "
                          f"{self.interpreter.describe()}; see {log}")
        return json.loads(out.read_text())


def value(result: dict, workload: str, case: str) -> float | None:
    """A case's figure in one run: its ratio to the C loop (the C loop's
    own ns per word), or None where the run lacks it (a missing peer)."""
    cases = result["workloads"][workload]["cases"]
    if case not in cases:
        return None
    if case.startswith("_"):
        return cases[case]
    if case == "C loop":
        return cases[case]["median_ns"]
    return cases[case]["median_ratio"]


def short_build(interpreter: Interpreter) -> str:
    """The table's name for build_kind: its first word."""
    return build_kind(interpreter).split()[0]


def libstemmer_version(result: dict) -> str:
    """The Snowball release behind a run, from bench.py's report."""
    package = result["libstemmer"]["package"]
    found = re.search(r"libstemmer0d (\d+(?:\.\d+)+)", package)
    return found.group(1) if found else package


def table(benches: list[Bench], results: dict[str, list[dict]],
          rows=ROWS) -> str:
    keys = [b.interpreter.key for b in benches]
    lines = ["| workload | call | " + " | ".join(keys) + " |",
             "|---|---|" + "---|" * len(keys),
             "| | interpreter build | "
             + " | ".join(short_build(b.interpreter) for b in benches) + " |",
             "| | libstemmer | "
             + " | ".join(libstemmer_version(results[key][0])
                          for key in keys) + " |"]
    for workload, case, label in rows:
        cells = []
        for key in keys:
            values = [v for r in results[key]
                      if (v := value(r, workload, case)) is not None]
            if not values:
                cells.append("missing")
                continue
            median = statistics.median(values)
            cells.append(f"{median:.0f}" if case == "C loop"
                         else f"{median:.2f}")
        lines.append(f"| {WORKLOAD_NAMES[workload]} | {label} | "
                     + " | ".join(cells) + " |")
    return "\n".join(lines)


def peer_notes(benches: list[Bench], results: dict[str, list[dict]]) -> str:
    """Each peer's version, where it is missing and why, and how many words
    it stems differently from the module, per interpreter."""
    lines = []
    for bench in benches:
        key = bench.interpreter.key
        first = results[key][0]
        peers = first.get("peers", {"versions": {}, "missing": {}})
        for peer, version in peers["versions"].items():
            counts = []
            for workload in ("running", "distinct"):
                d = first["workloads"][workload]["peer_differences"].get(
                    peer)
                if d is None:
                    continue
                tokens = (f" ({d['differing_tokens']} of {d['tokens']} "
                          "tokens)" if "tokens" in d else "")
                counts.append(f"{WORKLOAD_NAMES[workload]} "
                              f"{d['differing_words']} of {d['words']} "
                              f"words{tokens}")
            lines.append(f"{key}: {peer} {version}; stems differently from "
                         f"the module: {'; '.join(counts)}")
        for peer, why in peers["missing"].items():
            lines.append(f"{key}: {peer} missing: {why}")
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3,
                        help="runs of bench.py per interpreter (default 3)")
    parser.add_argument("--rounds", type=int, default=7,
                        help="rounds per run (default 7)")
    parser.add_argument("--python", action="append", default=[],
                        metavar="3.X", help="only this CPython; repeatable")
    parser.add_argument("--source", type=Path, default=ROOT,
                        help="the project tree to build the module from "
                        "(default: this work tree); inside the work tree, "
                        "so that the sid root sees it")
    parser.add_argument("--libstemmer", type=Path,
                        default=ROOT / "build/libstemmer", metavar="DIR",
                        help="prefix whose libstemmer the host's builds link "
                        "(default: build/libstemmer, which the test command "
                        "extracts); where it is missing they link the "
                        "system's")
    args = parser.parse_args(argv)
    libstemmer = args.libstemmer.resolve()
    if not (libstemmer / "usr").is_dir():
        say(f"warning: no libstemmer in {libstemmer}: the host's builds "
            "link the system's")
        libstemmer = None
    source = args.source.resolve()
    if not source.is_relative_to(ROOT):
        parser.error(f"--source must lie inside {ROOT}")

    chosen, problems = wheels.choose(args.python)
    for problem in problems:
        say(f"warning: {problem}")
    chosen = [i for i in chosen if not i.debug and "t" not in i.key]
    if not chosen:
        raise SystemExit("no CPython to benchmark")
    # The sid root lacks the package the corpus comes from: make it here.
    if not all((HERE / f"data/{name}.txt").exists()
               for name in ("running", "distinct")):
        subprocess.run([sys.executable, str(HERE / "make_corpus.py")],
                       check=True)

    stamp = time.strftime("%Y%m%d-%H%M%S")
    out = RESULTS / stamp
    out.mkdir(parents=True)
    places = {i.sid: wheels.Place(i.sid) for i in chosen}
    benches = [Bench(i, places[i.sid], source, libstemmer) for i in chosen]
    results: dict[str, list[dict]] = {b.interpreter.key: [] for b in benches}
    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        for place in places.values():
            if place.sid:
                stack.enter_context(place.sid.mounted())
        for bench in benches:
            say(f"Building for {bench.interpreter.describe()}")
            bench.prepare(out / f"build-{bench.interpreter.key}.log")
        for run in range(1, args.runs + 1):
            for bench in benches:
                key = bench.interpreter.key
                say(f"Run {run}/{args.runs}: {bench.interpreter.describe()}")
                result = bench.run(args.rounds, out / f"{key}-run{run}.json",
                                   out / f"{key}.log")
                results[key].append(result)
                running = result["workloads"]["running"]["cases"]
                say(f"  running text, stemWords with cache: "
                    f"{running['stemWords str, cache']['median_ratio']:.2f}"
                    f" x C; load {result['load_average_after'][0]:.2f}")
    minutes = (time.monotonic() - started) / 60

    say(f"\n{args.runs} runs of {args.rounds} rounds per interpreter, "
        f"{minutes:.0f} minutes; median of the runs' medians:\n")
    say(table(benches, results))
    say("\nThe peers, ratios to the C loop (the pure-Python peers timed on "
        "the running text's first tokens, against the C loop on them):\n")
    say(table(benches, results, PEER_ROWS))
    say()
    say(peer_notes(benches, results))
    say()
    for bench in benches:
        first = results[bench.interpreter.key][0]
        lib = first["libstemmer"]
        say(f"{bench.interpreter.key}: CPython {first['python']}, "
            f"{build_kind(bench.interpreter)}; libstemmer {lib['package']}"
            f" ({lib['algorithms']} algorithms)")
    say()
    met = True
    for key, goals in TARGETS.items():
        for workload, case, limit in goals:
            if key not in results:
                continue
            values = [value(r, workload, case) for r in results[key]]
            median = statistics.median(values)
            ok = median <= limit
            met &= ok
            say(f"{'PASS' if ok else 'FAIL'}  {key} {workload}: {case}: "
                f"{median:.2f} x C (runs: "
                f"{', '.join(f'{v:.2f}' for v in values)}; target <= "
                f"{limit})")
    (out / "summary.md").write_text(
        table(benches, results) + "\n\n"
        + table(benches, results, PEER_ROWS) + "\n\n"
        + peer_notes(benches, results) + "\n")
    say(f"\nEvery run's JSON: {out}")
    return 0 if met else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as exc:
        sys.exit(f"versions.py: error: {exc}")
