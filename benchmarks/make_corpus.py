"""Build the benchmark word lists from a book of real running English text.

The text is the King James Version of the Bible, as Debian's `bible-kjv`
package ships it (about 790,000 words of prose in one fixed edition, so every
machine benchmarks the same words).  Its `bible` program prints the whole
text, one verse per line, from its compressed data file.

Writes, under benchmarks/data/ (or --out):

running.txt    the text's word tokens, lowercased, in text order, one a line
distinct.txt   the same text's distinct words, shuffled with a fixed seed

Run it with any Python 3; it needs nothing but the package.
"""

import argparse
import pathlib
import random
import re
import shutil
import subprocess
import sys

PACKAGE = "bible-kjv"
PROGRAM = "bible"
# Genesis 1:1 to Revelation 22:21, without the pretty-printing (-f toggles
# it off): one verse a line, each after its reference ("Ge1:1 In the ...").
PROGRAM_ARGS = ["-f", "gen1:1-rev22:21"]
MIN_TOKENS = 500_000
SEED = 20240601
DEFAULT_OUT = pathlib.Path(__file__).resolve().parent / "data"

# A word is a run of letters, with inner apostrophes kept ("lord's").
WORD = re.compile(r"[a-z]+(?:'[a-z]+)*")
REFERENCE = re.compile(r"^\S+\d+:\d+\s")


def read_text():
    program = shutil.which(PROGRAM)
    if program is None:
        sys.exit(
            f"make_corpus: the program {PROGRAM!r} is missing.\n"
            f"Install the text with: apt-get install {PACKAGE}"
        )
    done = subprocess.run(
        [program, *PROGRAM_ARGS],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        check=True,
    )
    return done.stdout.decode("utf-8")


def tokens_of(text):
    words = []
    for line in text.splitlines():
        words.extend(WORD.findall(REFERENCE.sub("", line).lower()))
    return words


def write_lines(path, words):
    path.write_text("".join(w + "\n" for w in words), encoding="utf-8")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path, default=DEFAULT_OUT,
                        help="output directory (default: %(default)s)")
    args = parser.parse_args(argv)

    running = tokens_of(read_text())
    if len(running) < MIN_TOKENS:
        sys.exit(f"make_corpus: only {len(running)} tokens, "
                 f"fewer than {MIN_TOKENS}")
    distinct = sorted(set(running))
    random.Random(SEED).shuffle(distinct)

    args.out.mkdir(parents=True, exist_ok=True)
    write_lines(args.out / "running.txt", running)
    write_lines(args.out / "distinct.txt", distinct)
    print(f"make_corpus: {len(running)} tokens, {len(distinct)} distinct "
          f"words from {PACKAGE}, written to {args.out}")


if __name__ == "__main__":
    main()
