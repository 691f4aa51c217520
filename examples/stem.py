"""Stem the words of a text with Morvane and print each word beside its stem.

Usage:
    stem.py [--algorithm NAME] [FILE | -]
    stem.py --list

With no FILE the bundled sample.txt is stemmed; "-" reads standard input.
Text is read as UTF-8. Each word of the text, lowercased, is printed in text
order as "word<TAB>stem", one per line.
"""

import argparse
import re
import sys
import unicodedata
from pathlib import Path

import Morvane

SAMPLE = Path(__file__).with_name("sample.txt")

# A word is a run of letters, possibly joined by apostrophes ("didn't",
# "water's"); digits, underscores and punctuation separate words. [^\W\d_]
# is \w without digits and underscore, so it matches letters of any script.
WORD = re.compile(r"[^\W\d_]+(?:['\u2019][^\W\d_]+)*")


def words_of(text):
    """The lowercased words of text, in order."""
    # Compose accents first: a decomposed "é" is "e" plus a combining mark,
    # and the mark is not a letter, so it would split the word.
    text = unicodedata.normalize("NFC", text)
    return [match.group().lower() for match in WORD.finditer(text)]


def read_text(source):
    if source == "-":
        return sys.stdin.buffer.read().decode("utf-8")
    return Path(source).read_text(encoding="utf-8")


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Print each word of a text beside its stem.")
    parser.add_argument(
        "file", nargs="?", default=str(SAMPLE),
        help='text file to stem (UTF-8); "-" reads standard input; '
             "default: the bundled sample.txt")
    parser.add_argument(
        "--algorithm", "-a", default="english", metavar="NAME",
        help="stemming algorithm (default: english); see --list")
    parser.add_argument(
        "--list", action="store_true",
        help="print the available algorithms and exit")
    args = parser.parse_args(argv)

    if args.list:
        print("\n".join(Morvane.algorithms()))
        return 0

    try:
        stemmer = Morvane.Morvane(args.algorithm)
    except KeyError:
        parser.error(f"unknown algorithm {args.algorithm!r}; choose one of: "
                     + ", ".join(Morvane.algorithms()))

    try:
        text = read_text(args.file)
    except (OSError, UnicodeDecodeError) as exc:
        parser.error(f"cannot read {args.file}: {exc}")

    words = words_of(text)
    for word, stem in zip(words, stemmer.stemWords(words)):
        print(f"{word}\t{stem}")
    return 0


if __name__ == "__main__":
    # Words can be in any script: write UTF-8 whatever the locale says.
    sys.stdout.reconfigure(encoding="utf-8")
    try:
        sys.exit(main())
    except BrokenPipeError:
        # Output piped into head and the like: stop quietly. Point stdout at
        # devnull so the interpreter's final flush does not fail again.
        import os

        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
