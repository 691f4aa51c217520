"""Stem a corpus of text files on a Dask cluster, a stemmer per worker thread.

A Morvane object cannot be pickled, so no stemmer is ever sent to a worker.
A worker plugin carries the algorithm's name to each worker instead; there
every thread that runs a partition makes one stemmer on first use and keeps
it, with its cache, for all the partitions that it runs afterwards.

Usage:
    dask_corpus.py [--scheduler ADDRESS | --workers N] [--algorithm NAME]
                   [--out DIR] [FILE ...]

Without --scheduler a LocalCluster of single-threaded worker processes runs
on this machine. Each FILE (default: the bundled sample.txt) is read as UTF-8
and becomes DIR/NAME.tsv (DIR defaults to "stemmed"): every word of the text,
lowercased, beside its stem as "word<TAB>stem", one per line, in text order.
On a real cluster the workers must reach FILE and DIR under the same names,
on a shared file system or as fsspec URLs such as s3://bucket/corpus/a.txt.
"""

import argparse
import sys
import threading
from contextlib import ExitStack
from pathlib import Path

import dask.bag as db
from distributed import (Client, LocalCluster, WorkerPlugin, get_worker,
                         progress, wait)

import Morvane
from stem import words_of

EXAMPLES = Path(__file__).resolve().parent
SAMPLE = EXAMPLES / "sample.txt"
# The tokenizer's module, sent to the workers so that they can import it.
STEM_MODULE = EXAMPLES / "stem.py"
# Runs that are still going after this many seconds get a progress bar.
PROGRESS_AFTER = 2.0


class StemmerPlugin(WorkerPlugin):
    """Keeps a stemmer for each thread of the worker it is installed on."""

    name = "morvane-stemmer"

    def __init__(self, algorithm):
        # Only the algorithm's name goes over the wire: setup runs on the
        # worker, after the plugin has been unpickled there.
        self.algorithm = algorithm
        self._local = None

    def setup(self, worker):
        self._local = threading.local()

    def teardown(self, worker):
        self._local = None

    def stemmer(self):
        """The calling thread's stemmer, made on its first call."""
        # A stemmer must not be used by two threads at once, and a worker
        # may run several partitions at a time, one a thread.
        stemmer = getattr(self._local, "stemmer", None)
        if stemmer is None:
            stemmer = self._local.stemmer = Morvane.Morvane(self.algorithm)
        return stemmer


def stem_lines(lines):
    """The words of lines beside their stems, in order, as one string of
    "word<TAB>stem" lines: to_textfiles writes it in one call rather than
    two calls a word."""
    stemmer = get_worker().plugins[StemmerPlugin.name].stemmer()
    # The lines keep their line ends, so joined they are the text again,
    # tokenized in one call rather than one a line.
    words = words_of("".join(lines))
    return ["".join(f"{word}\t{stem}\n"
                    for word, stem in zip(words, stemmer.stemWords(words)))]


def output_paths(paths, out_dir):
    """Where the pairs of each input file go: out_dir/NAME.tsv."""
    outputs = [f"{out_dir}/{Path(path).stem}.tsv" for path in paths]
    if len(set(outputs)) < len(outputs):
        raise ValueError("two input files have the same name; their results "
                         "would go to the same file")
    return outputs


def stem_corpus(client, paths, out_dir, algorithm="english"):
    """Stem the text files paths on the client's cluster.

    Writes out_dir/NAME.tsv for each input file NAME.EXT and returns the
    paths written, in the order of paths.
    """
    outputs = output_paths(paths, out_dir)
    client.upload_file(str(STEM_MODULE))
    client.register_plugin(StemmerPlugin(algorithm))

    # One partition per file keeps each file's words together and in order,
    # so that partition i becomes output file i.
    lines = db.read_text([str(path) for path in paths], blocksize=None,
                         encoding="utf-8")
    pairs = lines.map_partitions(stem_lines)
    writes = pairs.to_textfiles(outputs, encoding="utf-8", compute=False)
    futures = client.compute(writes)
    try:
        wait(futures, timeout=PROGRESS_AFTER)
    except TimeoutError:
        progress(futures)  # Dask's own bar; returns when all are done
    client.gather(futures)  # raises a failed task's exception here
    return outputs


def connect(stack, args):
    """A client for the scheduler at args.scheduler, or for a new
    LocalCluster; stack closes both."""
    if args.scheduler:
        return stack.enter_context(Client(args.scheduler))
    # Stemming holds the interpreter's lock, so a worker gains nothing from
    # a second thread: use one process per core instead.
    cluster = stack.enter_context(LocalCluster(
        n_workers=args.workers, threads_per_worker=1, processes=True))
    return stack.enter_context(Client(cluster))


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Stem text files on a Dask cluster; write each word "
                    "beside its stem.")
    parser.add_argument(
        "files", nargs="*", default=[str(SAMPLE)], metavar="FILE",
        help="text files to stem (UTF-8); default: the bundled sample.txt")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="address of a running scheduler, such as "
             "tcp://scheduler-host:8786; "
             "default: start a LocalCluster on this machine")
    where.add_argument(
        "--workers", type=int, metavar="N",
        help="worker processes of the LocalCluster (default: one a core)")
    parser.add_argument(
        "--algorithm", "-a", default="english", metavar="NAME",
        help="stemming algorithm (default: english)")
    parser.add_argument(
        "--out", default="stemmed", metavar="DIR",
        help='directory for the results (default: "stemmed")')
    args = parser.parse_args(argv)

    # Check the name here rather than have every worker fail on it.
    try:
        Morvane.Morvane(args.algorithm)
    except KeyError:
        parser.error(f"unknown algorithm {args.algorithm!r}; choose one of: "
                     + ", ".join(Morvane.algorithms()))
    try:
        output_paths(args.files, args.out)
    except ValueError as exc:
        parser.error(str(exc))

    with ExitStack() as stack:
        client = connect(stack, args)
        print(f"Dask dashboard: {client.dashboard_link}", file=sys.stderr)
        outputs = stem_corpus(client, args.files, args.out, args.algorithm)
    print("\n".join(outputs))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
