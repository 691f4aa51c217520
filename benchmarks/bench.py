"""Speed and memory of Morvane against libstemmer called from plain C++.

Run with the module installed in the current interpreter:

    python benchmarks/bench.py [--rounds N] [--workload running|distinct|both]
                               [--quick] [--json PATH]

Each round runs the C++ loop (benchmarks/c_loop.cpp) first and then every
Python case, on the same words, so that the machine's noise hits all of them
alike; the report gives medians over rounds and the median of the per-round
ratios to the C++ loop.  The peers, other Snowball stemmers for Python
(py-rust-stemmers, snowballstemmer, NLTK), are timed in the same rounds
where they are installed (`pip install '.[bench]'`); a missing one is named
and skipped.  See benchmarks/README.md for what each number means.
"""

import argparse
import ctypes
import gc
import hashlib
import importlib
import importlib.metadata
import json
import math
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
from typing import NamedTuple

import Morvane

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
DATA = HERE / "data"
C_SOURCE = HERE / "c_loop.cpp"
BUILD = ROOT / "build" / "bench"


def stemmer_library():
    """The libstemmer file that the module loaded, or None."""
    with open("/proc/self/maps", encoding="utf-8") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6 and "libstemmer" in fields[5]:
                return pathlib.Path(fields[5].strip())
    return None


def library_version(path):
    """The Debian package and version that installed path, if any."""
    def query(*args):
        try:
            done = subprocess.run(["dpkg-query", *args], capture_output=True,
                                  text=True, stdin=subprocess.DEVNULL)
        except OSError:
            return ""
        return done.stdout.strip() if done.returncode == 0 else ""

    owner = query("-S", str(path)).partition(":")[0]
    version = owner and query("-W", "-f=${Version}", owner)
    if version:
        return f"{owner} {version}"
    # A private prefix of Debian's package (tools/morvane_dev/libstemmer.py)
    # names its version in a VERSION file at its top.
    for parent in list(path.parents)[:5]:
        stamp = parent / "VERSION"
        if (parent / "usr").is_dir() and stamp.is_file():
            return (f"libstemmer0d {stamp.read_text().strip()}, "
                    f"extracted into {parent}")
    return "not from a Debian package"


def algorithm_count(path):
    """How many algorithms the library at path offers, read from it."""
    listing = ctypes.CDLL(str(path)).sb_stemmer_list
    listing.restype = ctypes.POINTER(ctypes.c_char_p)
    names = listing()
    count = 0
    while names[count] is not None:
        count += 1
    return count


# The C loop calls the very library file the module loaded, so that both
# sides stem with the same code even where one work tree serves systems
# with different libstemmers (a chroot sharing the tree, an installed
# wheel with its own copy): one binary per library and per system, named
# by the library's content and path and by the C library it was built
# against (a binary built in a newer chroot does not run outside it).
STEMMER = stemmer_library()
if STEMMER is not None:
    C_BINARY = BUILD / ("c_loop-" + hashlib.sha256(
        STEMMER.read_bytes() + str(STEMMER).encode()
        + " ".join(platform.libc_ver()).encode()).hexdigest()[:16])
    C_LINK = [str(STEMMER), f"-Wl,-rpath,{STEMMER.parent}"]
else:
    C_BINARY = BUILD / "c_loop"
    C_LINK = ["-lstemmer"]
C_BUILD = ["g++", "-O2", "-std=c++20", "-Wall", "-Wextra", str(C_SOURCE),
           "-o", str(C_BINARY), *C_LINK]

WORKLOADS = ("running", "distinct")
QUICK_TOKENS = 50_000
# A single pass over a short list is too brief to time against the noise of
# a shared machine: each round takes the median of enough passes to cover
# about this many words (fresh instance each pass).
WORDS_PER_SAMPLE = 200_000
MIB = 1024 * 1024
# Retained memory may differ between passes by what the cache's fill level
# explains (it swings between 8/10 of its capacity and the capacity) plus
# this much for allocator and dict-table noise.
GROWTH_SLACK = 64 * 1024


# Peers: other Snowball stemmers for Python, timed beside the module.

# The pure-Python peers take tens of microseconds a word: a pass over the
# whole running text would take minutes.  They stem the first this many
# tokens of a workload, and the C loop times the same tokens in the same
# round for their ratio.
PEER_SAMPLE = 50_000


class PeerCase(NamedTuple):
    name: str           # the report's case name
    peer: str           # the PyPI distribution
    make: object        # make(words) -> the call to time (fresh stemmer)
    sampled: bool       # timed on the workload's first PEER_SAMPLE tokens


def _rust_cases(module, algorithm):
    def case(label, method):
        def make(words):
            stemmer = module.SnowballStemmer(algorithm)
            if method == "stem_word":
                one = stemmer.stem_word
                return lambda: [one(w) for w in words]
            return lambda: getattr(stemmer, method)(words)
        return PeerCase(f"py-rust-stemmers {label}", "py-rust-stemmers",
                        make, False)
    module.SnowballStemmer(algorithm)      # an unknown algorithm fails here
    return [case("stem_words", "stem_words"),
            case("stem_words_parallel", "stem_words_parallel"),
            case("loop stem_word", "stem_word")]


def _snowballstemmer_cases(module, algorithm):
    module.stemmer(algorithm)

    def make(words):
        stemmer = module.stemmer(algorithm)
        return lambda: stemmer.stemWords(words)
    return [PeerCase("snowballstemmer stemWords", "snowballstemmer", make,
                     True)]


def _nltk_cases(module, algorithm):
    module.SnowballStemmer(algorithm)

    def make(words):
        stem = module.SnowballStemmer(algorithm).stem
        return lambda: [stem(w) for w in words]
    return [PeerCase("nltk SnowballStemmer.stem", "nltk", make, True)]


# (distribution, module to import, its cases, why it may be missing)
PEERS = [
    ("py-rust-stemmers", "py_rust_stemmers", _rust_cases,
     "its 0.1.8 has no wheel for CPython 3.15, and building it from source "
     "needs a Rust toolchain" if sys.version_info >= (3, 15) else ""),
    ("snowballstemmer", "snowballstemmer", _snowballstemmer_cases, ""),
    ("nltk", "nltk.stem.snowball", _nltk_cases, ""),
]


def load_peers(algorithm, wanted=None):
    """The peers' cases, their versions, and why each missing one is.

    A peer that is not installed, or that lacks the algorithm, is missing:
    the run goes on without it."""
    cases, versions, missing = [], {}, {}
    for peer, module_name, make_cases, note in PEERS:
        if wanted is not None and peer not in wanted:
            continue
        try:
            module = importlib.import_module(module_name)
        except ImportError as exc:
            missing[peer] = (f"not installed ({exc})"
                             + (f"; {note}" if note else ""))
            continue
        try:
            peer_cases = make_cases(module, algorithm)
        except Exception as exc:  # a peer's own error for the algorithm
            missing[peer] = f"cannot stem {algorithm!r}: {exc!r}"
            continue
        try:
            versions[peer] = importlib.metadata.version(peer)
        except importlib.metadata.PackageNotFoundError:
            versions[peer] = "unknown version"
        cases.extend(peer_cases)
    return cases, versions, missing


def differences(reference, stems, words, tokens=None):
    """How many of words the peer's stems differ on from the module's.

    reference and stems give the stems of words (distinct words) in order;
    tokens, the workload's tokens, also counts the tokens whose stem
    differs.  Returns the counts and a few examples."""
    differing = {w: (r, p) for w, r, p in zip(words, reference, stems)
                 if r != p}
    out = {"words": len(words), "differing_words": len(differing),
           "examples": [[w, r, p] for w, (r, p) in
                        sorted(differing.items())[:5]]}
    if tokens is not None:
        out["tokens"] = len(tokens)
        out["differing_tokens"] = sum(1 for t in tokens if t in differing)
    return out


def peer_differences(algorithm, peer_cases, words):
    """Per peer, its stems against the module's on words' vocabulary."""
    vocabulary = list(dict.fromkeys(words))
    reference = Morvane.Morvane(algorithm, 0).stemWords(vocabulary)
    out = {}
    for case in peer_cases:
        if case.peer in out:
            continue
        stems = list(case.make(vocabulary)())
        out[case.peer] = differences(
            reference, stems, vocabulary,
            words if len(vocabulary) < len(words) else None)
    return out


# Inputs

def ensure_corpus():
    if all((DATA / f"{name}.txt").exists() for name in WORKLOADS):
        return
    subprocess.run([sys.executable, str(HERE / "make_corpus.py")],
                   check=True)


def ensure_c_loop():
    if (C_BINARY.exists()
            and C_BINARY.stat().st_mtime >= C_SOURCE.stat().st_mtime):
        return
    BUILD.mkdir(parents=True, exist_ok=True)
    print("building", C_BINARY, flush=True)
    subprocess.run(C_BUILD, check=True)


def load_words(name, quick):
    path = DATA / f"{name}.txt"
    words = path.read_text(encoding="utf-8").splitlines()
    if quick and len(words) > QUICK_TOKENS:
        # The C loop must see exactly these words: give it its own file.
        words = words[:QUICK_TOKENS]
        BUILD.mkdir(parents=True, exist_ok=True)
        path = BUILD / f"quick_{name}.txt"
        path.write_text("".join(w + "\n" for w in words), encoding="utf-8")
    return words, path


# Timing

def time_c_loop(path, algorithm, repetitions):
    """Median ns per word of `repetitions` passes, and the checksum."""
    done = subprocess.run(
        [str(C_BINARY), str(path), algorithm, str(repetitions)],
        capture_output=True, text=True, check=True)
    values = dict(line.split() for line in done.stdout.splitlines())
    return float(values["median_ns_per_word"]), int(values["checksum"])


def timed_pass(make_call, passes, count):
    """Median ns per word over `passes` runs of a fresh call each."""
    samples = []
    for _ in range(passes):
        call = make_call()          # fresh instance, not timed
        gc.collect()
        start = time.perf_counter_ns()
        result = call()
        elapsed = time.perf_counter_ns() - start
        del result                  # freeing the result is not timed
        samples.append(elapsed / count)
    return statistics.median(samples)


def python_cases(algorithm, words, bwords):
    """(name, factory) pairs; a factory returns the call to time."""
    def stem_words(seq, capacity=None):
        def make():
            s = (Morvane.Morvane(algorithm) if capacity is None
                 else Morvane.Morvane(algorithm, capacity))
            return lambda: s.stemWords(seq)
        return make

    def loop(seq):
        def make():
            s = Morvane.Morvane(algorithm)
            return lambda: [s.stemWord(w) for w in seq]
        return make

    return [
        ("stemWords str, cache", stem_words(words)),
        ("stemWords str, cache off", stem_words(words, 0)),
        ("loop stemWord str, cache", loop(words)),
        ("stemWords bytes, cache", stem_words(bwords)),
        ("stemWords bytes, cache off", stem_words(bwords, 0)),
        ("loop stemWord bytes, cache", loop(bwords)),
        ("floor list(map(str.lower))",
         lambda: lambda: list(map(str.lower, words))),
    ]


def sample_of(name, words, path):
    """The sampled peers' words and the file that gives the C loop them."""
    if len(words) <= PEER_SAMPLE:
        return words, path
    sample = words[:PEER_SAMPLE]
    BUILD.mkdir(parents=True, exist_ok=True)
    sample_path = BUILD / f"sample_{name}.txt"
    sample_path.write_text("".join(w + "\n" for w in sample),
                           encoding="utf-8")
    return sample, sample_path


def bench_workload(name, words, path, algorithm, rounds, gc_on,
                   peer_cases=()):
    bwords = [w.encode("utf-8") for w in words]
    passes = max(1, math.ceil(WORDS_PER_SAMPLE / len(words)))
    c_reps = max(3, passes)
    fast_peers = [c for c in peer_cases if not c.sampled]
    slow_peers = [c for c in peer_cases if c.sampled]
    sample, sample_path = sample_of(name, words, path)

    # Both sides must stem the same words the same way.
    _, checksum = time_c_loop(path, algorithm, 1)
    stems = Morvane.Morvane(algorithm, 0).stemWords(bwords)
    if sum(map(len, stems)) != checksum:
        sys.exit(f"{name}: the module's stems differ from the C loop's "
                 f"(checksum {sum(map(len, stems))} != {checksum})")
    del stems

    cases = python_cases(algorithm, words, bwords)
    cases += [(c.name, lambda c=c: c.make(words)) for c in fast_peers]
    c_times, sample_c_times = [], []
    times = {case: [] for case, _ in cases}
    times.update({c.name: [] for c in slow_peers})
    for r in range(rounds):
        c_ns, _ = time_c_loop(path, algorithm, c_reps)
        c_times.append(c_ns)
        if slow_peers:
            sample_c_times.append(
                time_c_loop(sample_path, algorithm, c_reps)[0])
        if not gc_on:
            gc.disable()
        try:
            for case, make in cases:
                times[case].append(timed_pass(make, passes, len(words)))
            # One pass of these is long enough to time.
            for c in slow_peers:
                times[c.name].append(timed_pass(
                    lambda c=c: c.make(sample), 1, len(sample)))
        finally:
            gc.enable()
        print(f"  {name} round {r + 1}/{rounds}: C loop {c_ns:.1f} ns/word",
              flush=True)

    summary = {"C loop": {"ns_per_word": c_times,
                          "median_ns": statistics.median(c_times),
                          "median_ratio": 1.0}}
    sampled = {c.name for c in slow_peers}
    if slow_peers:
        summary["C loop, peers' sample"] = {
            "ns_per_word": sample_c_times,
            "median_ns": statistics.median(sample_c_times),
            "median_ratio": statistics.median(
                s / c for s, c in zip(sample_c_times, c_times)),
            "tokens": len(sample)}
    for case, samples in times.items():
        base = sample_c_times if case in sampled else c_times
        ratios = [t / c for t, c in zip(samples, base)]
        summary[case] = {"ns_per_word": samples,
                         "median_ns": statistics.median(samples),
                         "median_ratio": statistics.median(ratios)}
        if case in sampled:
            summary[case]["tokens"] = len(sample)
    # Cache off against what it cannot avoid: the C loop plus making the
    # result objects, which the str.lower floor stands for.
    limit = [c + 1.25 * low for c, low in
             zip(c_times, times["floor list(map(str.lower))"])]
    summary["_cache_off_vs_c_plus_floor"] = statistics.median(
        t / l for t, l in zip(times["stemWords str, cache off"], limit))
    # The module's default against the fastest single-threaded peer call,
    # round by round.
    rust = times.get("py-rust-stemmers stem_words")
    if rust:
        summary["_default_cache_vs_rust_stem_words"] = statistics.median(
            t / p for t, p in zip(times["stemWords str, cache"], rust))
    return {"tokens": len(words), "distinct": len(set(words)),
            "passes_per_round": passes, "c_repetitions": c_reps,
            "checksum": checksum, "cases": summary,
            "peer_differences": peer_differences(algorithm, peer_cases,
                                                 words)}


# Memory

def cache_entries(stemmer):
    """Entries in the instance's cache, found through the collector."""
    for referent in gc.get_referents(stemmer):
        if type(referent) is dict:
            return len(referent)
    return None


def measure_memory(algorithm, words, passes=3):
    """Bytes still allocated after each pass of a default-cache instance.

    The words list exists before tracing starts, so only what the instance
    keeps (its cache: keys, entries, stems, counter values) is counted.
    """
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        stemmer = Morvane.Morvane(algorithm)
        retained, entries = [], []
        for _ in range(passes):
            result = stemmer.stemWords(words)
            del result
            gc.collect()
            retained.append(tracemalloc.get_traced_memory()[0] - base)
            entries.append(cache_entries(stemmer))
        del stemmer
        gc.collect()
        after_delete = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    first, last = retained[0], retained[-1]
    allowance = GROWTH_SLACK
    if entries[0] and entries[-1] is not None:
        allowance += max(0, entries[-1] - entries[0]) * first / entries[0]
    return {"retained_bytes": retained, "cache_entries": entries,
            "after_delete_bytes": after_delete,
            "growth_allowance_bytes": allowance,
            "bounded": first <= 3 * MIB,
            "no_growth": last <= first + allowance}


# Report

def targets(results, memory):
    """(description, value, limit, passed) for every target measured."""
    out = []

    def ratio(workload, case, limit, what):
        if workload in results:
            value = results[workload]["cases"][case]["median_ratio"]
            out.append((what, f"{value:.2f} x C", f"<= {limit} x C",
                        value <= limit))

    ratio("running", "stemWords str, cache", 0.7,
          "running: stemWords, default cache")
    ratio("distinct", "stemWords str, cache", 1.8,
          "distinct: stemWords, default cache")
    ratio("distinct", "stemWords str, cache off", 1.3,
          "distinct: stemWords, cache off")
    if "running" in results:
        value = results["running"]["cases"]["_cache_off_vs_c_plus_floor"]
        out.append(("running: stemWords, cache off",
                    f"{value:.2f} x (C + 1.25 floor)",
                    "<= 1.00 x (C + 1.25 floor)", value <= 1.0))
    for workload, m in memory.items():
        out.append((f"{workload}: memory retained after one pass",
                    f"{m['retained_bytes'][0] / MIB:.2f} MiB", "<= 3 MiB",
                    m["bounded"]))
        out.append((f"{workload}: no growth over "
                    f"{len(m['retained_bytes'])} passes",
                    " -> ".join(f"{b / MIB:.2f}"
                                for b in m["retained_bytes"]) + " MiB",
                    f"last <= first + {m['growth_allowance_bytes'] / 1024:.0f}"
                    " KiB", m["no_growth"]))
    return out


def print_report(results, memory, target_rows, peers=None):
    print()
    if peers:
        for peer, version in peers['versions'].items():
            print(f"peer {peer} {version}")
        for peer, why in peers['missing'].items():
            print(f"peer {peer} missing: {why}")

    print(f"{'workload':<9} {'case':<38} {'ns/word':>9} {'x C loop':>9}")
    for workload, r in results.items():
        print(f"{workload:<9} ({r['tokens']} tokens, {r['distinct']} distinct;"
              f" {r['passes_per_round']} pass(es) a round)")
        for case, s in r["cases"].items():
            if case.startswith("_"):
                continue
            note = (f"  (first {s['tokens']} tokens, against the C loop "
                    "on them)" if "tokens" in s else "")
            print(f"{'':<9} {case:<38} {s['median_ns']:>9.1f} "
                  f"{s['median_ratio']:>9.2f}{note}")
        versus = r["cases"].get("_default_cache_vs_rust_stem_words")
        if versus is not None:
            print(f"{'':<9} stemWords default cache / py-rust-stemmers "
                  f"stem_words: {versus:.2f}")
    print()
    for workload, r in results.items():
        for peer, d in r["peer_differences"].items():
            tokens = (f" ({d['differing_tokens']} of {d['tokens']} tokens)"
                      if "tokens" in d else "")
            examples = ", ".join(f"{w}: {m} / {p}"
                                 for w, m, p in d["examples"][:3])
            print(f"differences {workload}: {peer} stems "
                  f"{d['differing_words']} of {d['words']} distinct words "
                  f"differently{tokens}"
                  + (f", e.g. (Morvane / peer) {examples}" if examples
                     else ""))
    print()
    for workload, m in memory.items():
        print(f"memory {workload}: retained after passes "
              + ", ".join(f"{b / MIB:.3f}" for b in m["retained_bytes"])
              + f" MiB; cache entries {m['cache_entries']}; "
              f"after deleting the instance {m['after_delete_bytes']} bytes")
    print()
    for what, value, limit, passed in target_rows:
        print(f"{'PASS' if passed else 'FAIL'}  {what:<40} {value:<28} "
              f"(target {limit})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workload", choices=("running", "distinct", "both"),
                        default="both")
    parser.add_argument("--quick", action="store_true",
                        help=f"first {QUICK_TOKENS} tokens of each workload "
                        "(smoke test; the targets are not meaningful)")
    parser.add_argument("--json", type=pathlib.Path, metavar="PATH",
                        help="write the results to PATH")
    parser.add_argument("--algorithm", default="english")
    parser.add_argument("--no-gc", action="store_true",
                        help="disable the cyclic collector while timing the "
                        "Python cases (to see its share)")
    parser.add_argument("--peers", default="all", metavar="LIST",
                        help="the peers to time beside the module: all "
                        "(default), none, or a comma-separated list of "
                        + ", ".join(p[0] for p in PEERS))
    args = parser.parse_args(argv)
    if args.peers == "all":
        wanted = None
    elif args.peers == "none":
        wanted = set()
    else:
        wanted = set(args.peers.split(","))
        unknown = wanted - {p[0] for p in PEERS}
        if unknown:
            parser.error(f"unknown peers: {', '.join(sorted(unknown))}")
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    ensure_corpus()
    ensure_c_loop()
    names = WORKLOADS if args.workload == "both" else (args.workload,)
    libstemmer = {"path": str(STEMMER), "package": "unknown",
                  "algorithms": len(Morvane.algorithms())}
    if STEMMER is not None:
        libstemmer["package"] = library_version(STEMMER.resolve())
        libstemmer["algorithms"] = algorithm_count(STEMMER)
    print(f"Python {platform.python_version()}, Morvane from "
          f"{Morvane.__file__}", flush=True)
    print(f"libstemmer {libstemmer['path']} ({libstemmer['package']}, "
          f"{libstemmer['algorithms']} algorithms), C loop {C_BINARY}",
          flush=True)
    peer_cases, peer_versions, peers_missing = load_peers(args.algorithm,
                                                          wanted)
    peers = {"versions": peer_versions, "missing": peers_missing}
    for peer, version in peer_versions.items():
        print(f"peer {peer} {version}", flush=True)
    for peer, why in peers_missing.items():
        print(f"peer {peer} missing: {why}", flush=True)
    load_before = os.getloadavg()

    results, memory = {}, {}
    for name in names:
        words, path = load_words(name, args.quick)
        results[name] = bench_workload(name, words, path, args.algorithm,
                                       args.rounds, not args.no_gc,
                                       peer_cases)
        memory[name] = measure_memory(args.algorithm, words)
    target_rows = targets(results, memory)
    load_after = os.getloadavg()
    print_report(results, memory, target_rows, peers)
    # Other work on the machine skews the ratios: say how busy it was.
    print(f"\nload average (1, 5, 15 min): before "
          f"{' '.join(f'{x:.2f}' for x in load_before)}, after "
          f"{' '.join(f'{x:.2f}' for x in load_after)} "
          f"on {os.cpu_count()} CPUs")

    if args.json:
        args.json.write_text(json.dumps({
            "python": platform.python_version(),
            "module": Morvane.__file__,
            "libstemmer": libstemmer,
            "algorithm": args.algorithm,
            "rounds": args.rounds,
            "quick": args.quick,
            "gc_during_timing": not args.no_gc,
            "cpus": os.cpu_count(),
            "load_average_before": load_before,
            "load_average_after": load_after,
            "peers": peers,
            "workloads": results,
            "memory": memory,
            "targets": [{"target": w, "value": v, "limit": l, "pass": p}
                        for w, v, l, p in target_rows],
        }, indent=2) + "\n", encoding="utf-8")
    return 0 if all(p for *_, p in target_rows) else 1


if __name__ == "__main__":
    sys.exit(main())
