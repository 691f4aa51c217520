"""How close a cache miss can come to the peers: the data model's floor.

    python benchmarks/miss_floor.py [--rounds N] [--workload running|distinct]

Every cached word has to be a bytes key in a dict, its entry a new
two-element list, its stamp a new int; a full cache has to be rebuilt by
the purge. miss_floor.cpp does exactly that through the C API and nothing
more: none of the module's own code, no error handling worth the name.
This script builds it against the running interpreter and the libstemmer
the module loaded, and times it in the same rounds as Morvane's stemWords
and py-rust-stemmers' stem_words (if installed), each on a fresh stemmer
and cache, as bench.py times them:

- "floor, cache": the data model with the default capacity;
- "floor, no purge": with a capacity no purge reaches;
- "floor, cache off": libstemmer, the stem's str and the result list.

Where even the floor takes longer than a peer, no implementation of the
data model through the interpreter's API can match that peer.
"""

import argparse
import ctypes
import pathlib
import statistics
import subprocess
import sys
import sysconfig

import bench
import Morvane

SOURCE = bench.HERE / "miss_floor.cpp"
CAPACITY = 10000
NO_PURGE = -1


def build():
    """The floor library for this interpreter and libstemmer, built once."""
    tag = sysconfig.get_config_var("SOABI") or "abi"
    name = bench.C_BINARY.name.replace("c_loop", "miss_floor")
    target = bench.BUILD / f"{name}-{tag}.so"
    if target.exists() and target.stat().st_mtime >= SOURCE.stat().st_mtime:
        return target
    bench.BUILD.mkdir(parents=True, exist_ok=True)
    print("building", target, flush=True)
    subprocess.run(["g++", "-O2", "-std=c++20", "-Wall", "-Wextra",
                    "-shared", "-fPIC",
                    f"-I{sysconfig.get_paths()['include']}", str(SOURCE),
                    "-o", str(target), *bench.C_LINK], check=True)
    return target


def floor_function(library):
    """floor(words, capacity): the library's stemWords over a fresh cache
    of that capacity (0: no cache; negative: no purge)."""
    floor = ctypes.PyDLL(str(library)).floor_stem_words
    floor.argtypes = [ctypes.py_object, ctypes.c_int]
    floor.restype = ctypes.py_object
    return floor


def cases(library, words):
    """(name, factory) pairs as bench.timed_pass takes them."""
    floor = floor_function(library)

    def with_floor(capacity):
        return lambda: lambda: floor(words, capacity)

    def with_module(*capacity):
        def make():
            stemmer = Morvane.Morvane("english", *capacity)
            return lambda: stemmer.stemWords(words)
        return make

    found = [("floor, cache", with_floor(CAPACITY)),
             ("floor, no purge", with_floor(NO_PURGE)),
             ("floor, cache off", with_floor(0)),
             ("Morvane, default cache", with_module()),
             ("Morvane, cache off", with_module(0))]
    peers, _, missing = bench.load_peers("english", {"py-rust-stemmers"})
    for peer in peers:
        if peer.name.endswith(" stem_words"):
            found.append((peer.name, lambda peer=peer: peer.make(words)))
    for peer, why in missing.items():
        print(f"missing peer {peer}: {why}")
    return found


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workload", choices=bench.WORKLOADS,
                        default="distinct")
    args = parser.parse_args(argv)
    bench.ensure_corpus()
    bench.ensure_c_loop()
    words, path = bench.load_words(args.workload, quick=False)
    if not all(word.isascii() for word in words):
        sys.exit("miss_floor.py: the floor takes ASCII words only")
    library = build()
    found = cases(library, words)
    reference = Morvane.Morvane("english", 0).stemWords(words)
    for name, make in found[:3]:
        if make()() != reference:
            sys.exit(f"miss_floor.py: {name} stems differently")
    passes = max(1, bench.WORDS_PER_SAMPLE // len(words))
    samples = {name: [] for name, _ in found}
    samples["C loop"] = []
    for number in range(args.rounds):
        samples["C loop"].append(
            bench.time_c_loop(path, "english", passes)[0])
        for name, make in found:
            samples[name].append(bench.timed_pass(make, passes, len(words)))
        print(f"  round {number + 1}/{args.rounds}", flush=True)
    medians = {name: statistics.median(values)
               for name, values in samples.items()}
    # Ratios of medians: every case ran in every round.
    rust = medians.get("py-rust-stemmers stem_words")
    c_loop = medians.pop("C loop")
    print(f"Python {sys.version.split()[0]}, {args.workload} words "
          f"({len(words)}), medians of {args.rounds} rounds of {passes} "
          f"passes; the C loop: {c_loop:.1f} ns a word")
    print(f"{'case':32} {'ns/word':>8} {'x C loop':>9}"
          + (f" {'x py-rust stem_words':>21}" if rust else ""))
    for name, value in medians.items():
        print(f"{name:32} {value:8.1f} {value / c_loop:9.2f}"
              + (f" {value / rust:21.2f}" if rust else ""))


if __name__ == "__main__":
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
    main()
