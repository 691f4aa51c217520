"""Instructions per cache miss, counted by valgrind's callgrind, by part.

    python benchmarks/miss_profile.py [--words FILE] [--steady] [--keep DIR]

Run it with an interpreter that has Morvane installed with symbols, as for
hit_profile.py:

    python -m pip install . --config-settings=install.strip=false \\
        --config-settings=cmake.define.CMAKE_CXX_FLAGS=-g

It does what bench.py's distinct-words case does: a fresh default stemmer
stems the 12,762 distinct words of benchmarks/data/distinct.txt in one
stemWords call, so that every word misses and the cache purges as it
fills.  Counting is on inside that call and inside the collections that
the call's allocations start: CPython 3.11 collects inside the allocation
that crosses the threshold, 3.12 and later at the next check of the eval
loop, right after the call returns (callgrind counts _Py_RunGC there);
what was counted before the call, collections of the start-up, is
dropped.
With --steady the stemmer first misses on 10,000 made-up words,
uncounted, so that the counted call runs with a full cache, as a long run
of new words does.

The report splits the instructions per miss into parts: the bytes key, the
entry list, the dictionary insert, the counter, finding and calling the
purge, the purges' scans and rebuilds, the collector's work, libstemmer
itself, and the rest; beside them, the same parts with a capacity that no
purge reaches (which tells the call of a purge from its scans) and per
word with the cache off (what a stemmer without a cache pays).  A part is
named by patterns of function names (PARTS below), not by files, so it
holds however the module's functions are split between sources or
inlined into each other: a function's cost
goes to the first part met on the way down the call graph from stemWords,
and stays there for everything that function calls (a dictionary insert
made by a purge belongs to the purge), except that the collector's work
is always the collector's.  Where callgrind only knows that f calls g, not
for whom f was called, g's costs are shared between f's callers in
proportion to their calls' costs.  Code inlined into the module's own
functions counts as theirs ("the module's own code"); functions that match
no part are listed by name under "other" so that the patterns can be
extended.  The interpreter's functions need names: pyenv's builds keep
them; Debian's packages need python3.X-dbg.
"""

import argparse
import collections
import os
import pathlib
import re
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from hit_profile import (  # noqa: E402
    Profile, check_tools, output_directory, short, stemwords_symbol)

WORDS = HERE / "data" / "distinct.txt"
STEADY_FILL = 10_000

# The parts of a miss: (part, pattern of the short function names that
# begin it).  The first matching pattern names a function's part.
PARTS = [
    ("collector",
     r"_Py_RunGC|_Py_ScheduleGC|_PyGC_Collect|gc_collect\w*|collect"
     r"|collect_generations|collect_with_callback|gc_collect_main"
     r"|_PyObject_GC_Link"),
    ("libstemmer", r"sb_stemmer_\w+"),
    ("purge: scans and rebuilds",
     r"(\w+::)*(purge_scan|word_cache_replace|key_index_reserve)"
     # The old cache, freed when the miss lets go of it.
     r"|dict_dealloc"),
    ("purge: finding and calling",
     # Any of the module's functions named for the purge, whatever its
     # file: the run where no purge scans splits this part anyway.
     r"morvane::(\w+::)*\w*[pP]urge\w*|(\w+::)*call_method"
     r"|PyObject_VectorcallMethod|_PyObject_GetMethod|PyObject_CallMethod\w*"),
    ("bytes key",
     r"PyBytes_FromStringAndSize|_PyBytes_FromSize|PyUnicode_AsUTF8String"
     r"|_PyUnicode_AsUTF8String|(\w+::)*word_bytes"),
    ("entry list", r"PyList_New|_PyObject_GC_New\w*|gc_alloc"),
    ("dict lookup that misses",
     r"PyDict_GetItemWithError|_PyDict_GetItem\w*|_Py_dict_lookup\w*"
     r"|PyObject_GetItem|(\w+::)*(catch_key_error|MissedKey::\w+)"),
    ("dict insert",
     r"PyDict_SetItem|_PyDict_SetItem\w*|insertdict|insert_to_emptydict"
     r"|setitem_take2_lock_held|setitem_lock_held|PyObject_SetItem"),
    ("counter",
     r"(\w+::)*(counter_successor|recycle_as_successor|exact_int_value)"
     r"|PyNumber_Add|long_add\w*|_PyLong_Add|PyLong_From\w+|_PyLong_New"
     r"|long_dealloc|_PyLong_FromMedium|PyLong_AsLongLong\w*"),
    ("key index", r"(\w+::)*key_index_\w+|PyObject_Hash|unicode_hash"),
    ("result str",
     r"PyUnicode_DecodeUTF8\w*|PyUnicode_FromStringAndSize|unicode_decode_utf8"
     r"|PyUnicode_New|_PyUnicode_\w+|ascii_decode|PyBytes_FromString\w*"),
    ("stemWords's result list",
     r"PyList_Append|_PyList_AppendTakeRef\w*|list_resize|app1"),
]
COMPILED = [(part, re.compile(f"(?:{pattern})")) for part, pattern in PARTS]
RESULT_LIST = "stemWords's result list"
RESULT_MAKER = re.compile(r"(\w+::)*stemming_stemWords(_impl)?")
COLLECTOR = "collector"
OWN = "the module's own code (with what it inlines)"
OTHER = "other"
OUTSIDE = "counted outside stemWords and its collections"
# A capacity that no purge reaches in these runs.
NO_PURGE = 1_000_000_000
# The order of the report.
ORDER = ["bytes key", "entry list", "dict lookup that misses", "dict insert",
         "counter", "key index", "purge: finding and calling",
         "purge: scans and rebuilds", COLLECTOR, "libstemmer", "result str",
         "stemWords's result list", OWN, OTHER, OUTSIDE]

# The interpreter's entry points of a collection that the counted call
# started: counted as roots beside stemWords.
COLLECTION_ROOTS = ("_Py_RunGC",)

CHILD = """
import gc, os, sys
import Morvane
with open(sys.argv[1], encoding="utf-8") as lines:
    words = lines.read().split()
stemmer = (Morvane.Morvane("english") if sys.argv[3] == "default"
           else Morvane.Morvane("english", int(sys.argv[3])))
if int(sys.argv[2]):
    for number in range(int(sys.argv[2])):
        stemmer.stemWord("q" + "".join(chr(97 + int(d)) for d in str(number)))
gc.collect()
# Steps of the eval loop, where 3.12 and later run a collection that is
# still scheduled: not the call's.
for number in range(100):
    pass
stems = stemmer.stemWords(words)
# A few steps of the eval loop, where 3.12 and later run the collection
# that the call's allocations scheduled (counted: _Py_RunGC).
total = 0
for number in range(3):
    total += number
# No collection after that one is the call's.
gc.disable()
print(len(words), flush=True)
os._exit(0)
"""


def part_of(name):
    """The part whose pattern matches a function's short name, or None."""
    for part, pattern in COMPILED:
        if pattern.fullmatch(name):
            return part
    return None


def name_of(function):
    """A function's short name, without callgrind's mark of recursion."""
    return re.sub(r"'\d+$", "", short(function))


def is_module_function(name):
    return name.startswith("morvane::") or "morvane::" in name[:40]


class Attribution:
    """Every counted instruction, assigned to a part.

    enter(function, part) is the share of function's inclusive cost that
    goes to each part when function is called inside part (None: the
    module's own code, no part yet).  Memoized per (function, part); a
    call back into a function still being worked out (recursion) goes
    whole to the part it is called in."""

    def __init__(self, profile):
        self.profile = profile
        self.memo = {}
        self.busy = set()

    def part_in(self, function, outer, caller=None):
        found = part_of(name_of(function))
        # The one list that stemWords itself makes is its result.
        if (found == "entry list" and caller is not None
                and RESULT_MAKER.fullmatch(name_of(caller))):
            return "stemWords's result list"
        if outer == OWN or isinstance(outer, tuple):
            outer = None
        if found == COLLECTOR:
            return COLLECTOR
        if outer is not None:
            # The purge's finding-and-calling gives way to its scan; every
            # other part keeps what it calls.
            if (outer == "purge: finding and calling"
                    and found == "purge: scans and rebuilds"):
                return found
            return outer
        return found

    def enter(self, function, outer):
        key = (function, outer)
        if key in self.memo:
            return self.memo[key]
        part = self.part_in(function, outer)
        inclusive = self.profile.inclusive(function)
        shares = collections.Counter()
        if inclusive <= 0:
            return shares
        self.busy.add(key)
        own = self.profile.self_cost[function]
        if part is None:
            # No part yet: the module's own code, or a function that no
            # pattern names, kept by name.
            part = (OWN if is_module_function(function)
                    else (OTHER, name_of(function)))
        shares[part] += own
        for callee, cost in self.profile.calls[function].items():
            if cost <= 0:
                continue
            inner = self.part_in(callee, part, function)
            if (callee, part) in self.busy or (callee, inner) in self.busy:
                shares[inner or (OTHER, name_of(callee))] += cost
                continue
            below = self.enter(callee, inner if inner == RESULT_LIST
                               else part)
            total = sum(below.values())
            if total <= 0:
                shares[inner or (OTHER, name_of(callee))] += cost
                continue
            for name, value in below.items():
                shares[name] += cost * value / total
        self.busy.discard(key)
        # Normalised to the function's inclusive cost, so that callers can
        # scale it by their own calls' costs.
        self.memo[key] = shares
        return shares


def profile_run(symbol, words, fill, capacity, out_file):
    """One counted stemWords call under callgrind, split into parts."""
    toggles = [f"--toggle-collect={name}"
               for name in (symbol, *COLLECTION_ROOTS)]
    done = subprocess.run(
        # Counting starts anew at the call: a collection of the start-up
        # or of the set-up, counted through _Py_RunGC, is dropped.
        ["valgrind", "--tool=callgrind", "--collect-atstart=no", *toggles,
         f"--zero-before={symbol}",
         f"--callgrind-out-file={out_file}", sys.executable, "-c", CHILD,
         str(words), str(fill), str(capacity)],
        check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    misses = int(done.stdout)
    profile = Profile(out_file)
    counted = sum(profile.self_cost.values())
    roots = [symbol] + [f for f in profile.self_cost
                        if name_of(f) in COLLECTION_ROOTS]
    attribution = Attribution(profile)
    parts = collections.Counter()
    for root in roots:
        parts.update(attribution.enter(root, None))
    others = collections.Counter()
    for key in [k for k in parts if isinstance(k, tuple)]:
        others[key[1]] += parts.pop(key)
    parts[OTHER] = sum(others.values())
    # Counted outside stemWords and the collections it started: nothing,
    # unless a root is missing from COLLECTION_ROOTS.
    parts[OUTSIDE] = counted - sum(parts.values())
    return {"misses": misses, "counted": counted, "parts": parts,
            "others": others, "profile": profile}


def report_rows(runs):
    """(part, per miss with the default capacity, per miss where no purge
    runs, per word with the cache off if that run is there) for the
    report, the purge's two parts split by the first two runs.

    Where the purge's scan is inlined into the purge (as it may be at -O3)
    no name tells its instructions from the call's: the run where no purge
    scans tells what calling a purge that finds nothing to do costs, and
    the scans and rebuilds are the rest of the default run's purge."""
    per = {column: {part: value / run["misses"]
                    for part, value in run["parts"].items()}
           for column, run in runs.items()}
    default, no_purge = per["default"], per["no purge"]
    off = per.get("cache off", {})
    purge = ("purge: finding and calling", "purge: scans and rebuilds")
    calling = sum(no_purge.get(p, 0) for p in purge)
    rows = []
    for part in ORDER:
        if part == purge[0]:
            rows.append((part, calling, calling,
                         sum(off.get(p, 0) for p in purge)))
        elif part == purge[1]:
            rows.append((part, sum(default.get(p, 0) for p in purge)
                         - calling, 0.0, 0.0))
        elif part == OUTSIDE and abs(default.get(part, 0)) < 0.5:
            continue
        else:
            rows.append((part, default.get(part, 0), no_purge.get(part, 0),
                         off.get(part, 0)))
    rows.append(("total", *(sum(r[i] for r in rows) for i in (1, 2, 3))))
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 2)[2])
    parser.add_argument("--words", type=pathlib.Path, default=WORDS,
                        metavar="FILE",
                        help="distinct words, one a line (default: "
                        "benchmarks/data/distinct.txt, made by "
                        "make_corpus.py)")
    parser.add_argument("--steady", action="store_true",
                        help=f"first miss on {STEADY_FILL} made-up words, "
                        "uncounted, so that the cache is full throughout")
    parser.add_argument("--keep", metavar="DIR",
                        help="keep callgrind's output file in DIR")
    parser.add_argument("--others", type=int, default=8,
                        help="functions of 'other' to list (default 8)")
    parser.add_argument("--top", type=int, default=15,
                        help="functions to list by own cost (default 15)")
    args = parser.parse_args(argv)
    check_tools("miss_profile.py")
    if not args.words.exists():
        sys.exit(f"miss_profile.py: error: no {args.words}; make it with "
                 "benchmarks/make_corpus.py")
    import Morvane
    symbol = stemwords_symbol(Morvane.__file__)
    fill = STEADY_FILL if args.steady else 0
    directory = output_directory(args.keep, "miss-profile.")
    runs = {column: profile_run(symbol, args.words, fill, capacity,
                                os.path.join(directory,
                                             f"callgrind.{column}.out"))
            for column, capacity in (("default", "default"),
                                     ("no purge", NO_PURGE), ("cache off", 0))}
    misses = runs["default"]["misses"]

    print(f"Python {sys.version.split()[0]} ({sys.executable}), "
          f"Morvane from {Morvane.__file__}")
    print(f"{misses} misses in one stemWords call over {args.words.name}"
          + (f", after {fill} made-up words filled the cache"
             if fill else ", on a fresh stemmer")
          + "; instructions per miss with the default capacity, with "
          f"a capacity ({NO_PURGE}) that no purge reaches, and per word "
          "with the cache off\n")
    rows = report_rows(runs)
    print(f"  {'part':<46} {'default':>9} {'share':>7} {'no purge':>9} "
          f"{'cache off':>9}")
    for part, default, no_purge, off in rows:
        print(f"  {part:<46} {default:9.1f} "
              f"{100 * default / rows[-1][1]:6.1f}% {no_purge:9.1f} "
              f"{off:9.1f}")
    others = runs["default"]["others"]
    if others:
        print("\n'other' with the default capacity, by function "
              "(instructions per miss, callees included):")
        for name, value in others.most_common(args.others):
            if value / misses < 0.5:
                break
            print(f"  {value / misses:8.1f}  {name}")
    profile = runs["default"]["profile"]
    counted = runs["default"]["counted"]
    print("\nown instructions per miss, by function, default capacity "
          "(inlined code counts as its caller's)")
    for function, count in profile.self_cost.most_common(args.top):
        print(f"  {count / misses:8.1f}  {100 * count / counted:5.1f}%  "
              f"{short(function)}")
    if not args.keep:
        shutil.rmtree(directory, ignore_errors=True)
    else:
        print(f"\ncallgrind's output: {directory} (callgrind_annotate "
              "--inclusive=yes gives every function's inclusive cost)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
