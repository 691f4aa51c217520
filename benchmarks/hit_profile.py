"""Instructions per cache hit, counted by valgrind's callgrind.

    python benchmarks/hit_profile.py [--words FILE] [--keep DIR]

Run it with an interpreter that has Morvane installed, built with symbols
and not stripped, so that the module's own functions have names, e.g.

    python -m pip install . --config-settings=install.strip=false \\
        --config-settings=cmake.define.CMAKE_CXX_FLAGS=-g

(the Release build's -O3 stays: only debug information is added). It runs
the interpreter under callgrind with counting switched on only inside one
call of stemWords over a list of words that are all in the cache already,
so every lookup is a hit, and prints the instructions per word: in total,
each function's own (inlined code counts as its caller's), and the tree of
calls below stemWords with what each costs, callees included. Instruction
counts do not depend on the machine's load, unlike times. The interpreter's
internal functions have names where its binary or its debug symbols keep
them; elsewhere callgrind shows their addresses.
"""

import argparse
import collections
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
# Running English prose, one word a line: 100,000 words, 5,157 distinct, so
# the default cache holds them all.
WORDS = ROOT / "benchmark_words.txt.gz"

# A first pass through stemWord, where counting is off, leaves the cache as
# stemWords would (it takes the same steps for each word, in the same
# order); the second pass, the one stemWords call that is counted, then
# only hits.
#
# With --unindexed, every distinct word is first stemmed once right after
# 3,000 made-up words that all miss, as after a vocabulary list: the stemmer
# then leaves its key index alone, so the words are cached unindexed, as in
# the words met first in a run of new ones.
CHILD = """
import gzip, sys
import Morvane
with gzip.open(sys.argv[1], "rt", encoding="utf-8") as lines:
    words = lines.read().split()
stemmer = Morvane.Morvane("english")
if sys.argv[2] == "unindexed":
    for number in range(3000):
        stemmer.stemWord("q" + "".join(chr(97 + int(d)) for d in str(number)))
    for word in dict.fromkeys(words):
        stemmer.stemWord(word)
for word in words:
    stemmer.stemWord(word)
stems = stemmer.stemWords(words)
print(len(words))
"""


def stemwords_symbol(module_path):
    """stemWords's entry point, where callgrind switches counting on and
    off. Only one function may match: a second one inside it would switch
    counting off again."""
    done = subprocess.run(["nm", "-C", module_path], capture_output=True,
                          text=True, check=True)
    names = set()
    for line in done.stdout.splitlines():
        fields = line.split(None, 2)
        if (len(fields) == 3 and fields[1] in "tT"
                and "::stemming_stemWords(" in fields[2]):
            names.add(fields[2])
    if len(names) != 1:
        sys.exit("hit_profile.py: error: the module has no symbol for "
                 f"stemWords's entry point ({sorted(names)}); install "
                 "it with symbols (see --help)")
    return names.pop()


class Profile:
    """Instructions per function and per call arc, read from callgrind's
    output file (its format is documented with valgrind).

    self_cost[f] is what f's own instructions cost; calls[f][g] what f's
    calls of g cost, g's callees included. A function's name stands for it
    wherever its code sits, inlined copies in other files included.
    """

    def __init__(self, path):
        self.total = 0
        self.self_cost = collections.Counter()
        self.calls = collections.defaultdict(collections.Counter)
        names = {}
        function = callee = None
        call_follows = False
        with open(path, encoding="utf-8", errors="replace") as lines:
            for line in lines:
                line = line.rstrip("\n")
                key, eq, rest = line.partition("=")
                if eq and key in ("fn", "cfn"):
                    found = re.match(r"\((\d+)\)(?: (.*))?$", rest)
                    if found:
                        if found.group(2) is not None:
                            names[found.group(1)] = found.group(2)
                        name = names[found.group(1)]
                    else:
                        name = rest
                    if key == "fn":
                        function = name
                    else:
                        callee = name
                    continue
                if eq and key == "calls":
                    call_follows = True
                    continue
                if not line or not (line[0].isdigit() or line[0] in "+-*"):
                    if line.startswith("totals:") or \
                            line.startswith("summary:"):
                        self.total = int(line.split()[1])
                    continue
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if call_follows:
                    self.calls[function][callee] += cost
                    call_follows = False
                else:
                    self.self_cost[function] += cost

    def inclusive(self, function):
        return self.self_cost[function] + sum(
            self.calls[function].values())


def short(function):
    """A function's name without namespaces' clutter or C++ parameters."""
    name = function.replace("(anonymous namespace)::", "")
    name = re.sub(r"\(.*\)$", "", name)
    return re.sub(r"\.lto_priv\.\d+|\.constprop\.\d+|\.isra\.\d+", "",
                  name)


def print_tree(profile, function, per, depth, limit, indent="  ",
               seen=()):
    """function's callees by cost, and theirs, down to depth levels; the
    costs below the first level are the callee's over all its callers."""
    if depth == 0 or function in seen:
        return
    for callee, cost in profile.calls[function].most_common():
        if cost / per < limit:
            break
        own = profile.self_cost[callee]
        print(f"{indent}{cost / per:8.1f}  {short(callee)}  "
              f"(own {own / per:.1f})")
        print_tree(profile, callee, per, depth - 1, limit, indent + "    ",
                   (*seen, function))


def check_tools(script):
    """Exits with a message if valgrind or nm, which script needs, is
    missing."""
    for tool in ("valgrind", "nm"):
        if shutil.which(tool) is None:
            sys.exit(f"{script}: error: needs {tool} (Debian: "
                     "apt-get install valgrind binutils)")


def output_directory(keep, prefix):
    """Where callgrind writes: the --keep directory, or a new temporary
    one."""
    directory = keep or tempfile.mkdtemp(prefix=prefix)
    os.makedirs(directory, exist_ok=True)
    return directory


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=__doc__.split("\n\n", 2)[2])
    parser.add_argument("--words", type=pathlib.Path, default=WORDS,
                        metavar="FILE",
                        help="gzip-compressed words, one a line, fewer "
                        "distinct ones than the default cache holds "
                        "(default: benchmark_words.txt.gz)")
    parser.add_argument("--unindexed", action="store_true",
                        help="cache every word first while the key index is "
                        "left alone (after a run of new words)")
    parser.add_argument("--keep", metavar="DIR",
                        help="keep callgrind's output file in DIR")
    parser.add_argument("--top", type=int, default=25,
                        help="functions to list (default 25)")
    parser.add_argument("--depth", type=int, default=4,
                        help="levels of the call tree (default 4)")
    args = parser.parse_args(argv)
    check_tools("hit_profile.py")
    import Morvane
    symbol = stemwords_symbol(Morvane.__file__)

    directory = output_directory(args.keep, "hit-profile.")
    out_file = os.path.join(directory, "callgrind.out")
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--collect-atstart=no",
         f"--toggle-collect={symbol}", f"--callgrind-out-file={out_file}",
         sys.executable, "-c", CHILD, str(args.words),
         "unindexed" if args.unindexed else "indexed"],
        check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        text=True,
        # The same string hashes every run, so the dict probes do too.
        env=dict(os.environ, PYTHONHASHSEED="0"))
    hits = int(done.stdout)

    profile = Profile(out_file)
    total = profile.inclusive(symbol)
    print(f"Python {sys.version.split()[0]} ({sys.executable}), "
          f"Morvane from {Morvane.__file__}")
    if args.unindexed:
        print("every word first cached while the key index was left alone")
    print(f"{hits} hits in one stemWords call over {args.words.name}: "
          f"{total / hits:.1f} instructions per word\n")
    print("own instructions per word, by function, and share of the total")
    for function, count in profile.self_cost.most_common(args.top):
        if count / hits < 0.5:
            break
        print(f"  {count / hits:8.1f}  {100 * count / total:5.1f}%  "
              f"{short(function)}")
    print("\nthe calls from stemWords down, with what they call "
          "(instructions per word)")
    print(f"  {total / hits:8.1f}  {short(symbol)}  "
          f"(own {profile.self_cost[symbol] / hits:.1f})")
    print_tree(profile, symbol, hits, args.depth, 0.5, "      ")
    if not args.keep:
        shutil.rmtree(directory, ignore_errors=True)
    else:
        print(f"\ncallgrind's output: {out_file} (callgrind_annotate "
              "--auto=yes gives the cost of every source line)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
