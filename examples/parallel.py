"""Stem a large word list on several processes, one stemmer per process.

A Morvane object cannot be pickled, so none can be sent to a worker: each
worker process makes its own in the pool's initializer and keeps it, with
its cache, for every chunk of words that it is given.

Usage: python parallel.py FILE [WORKERS]
FILE holds UTF-8 words separated by white space, such as a word list with
one word a line; each word is lowercased and printed beside its stem.
"""

import sys
from concurrent.futures import ProcessPoolExecutor

import Morvane

_stemmer = None  # this worker process's own stemmer


def init_worker(algorithm):
    global _stemmer
    _stemmer = Morvane.Morvane(algorithm)


def stem_chunk(words):
    return _stemmer.stemWords(words)


def stem_parallel(words, algorithm="english", workers=None, chunk_size=5000):
    """The stems of words, in order, computed by a pool of processes."""
    chunks = [words[i:i + chunk_size]
              for i in range(0, len(words), chunk_size)]
    with ProcessPoolExecutor(max_workers=workers, initializer=init_worker,
                             initargs=(algorithm,)) as pool:
        return [stem for stems in pool.map(stem_chunk, chunks)
                for stem in stems]


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as file:
        words = file.read().lower().split()
    workers = int(sys.argv[2]) if len(sys.argv) > 2 else None
    sys.stdout.reconfigure(encoding="utf-8")
    for word, stem in zip(words, stem_parallel(words, workers=workers)):
        print(f"{word}\t{stem}")
