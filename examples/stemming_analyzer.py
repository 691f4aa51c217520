"""A stemming analyzer for scikit-learn's text vectorizers, and a short demo.

StemmingAnalyzer tokenizes as CountVectorizer does by default and stems the
tokens with Morvane, so that "connection" and "connections" count as one
feature. It pickles as its algorithm name alone: a Morvane object cannot be
pickled, so each process (and each thread) makes its own stemmer on first
use. That lets pipelines holding it be cloned, sent to joblib's worker
processes and saved with joblib.dump.

Usage: python stemming_analyzer.py [--save PATH]
Trains a classifier on the bundled reviews (data/reviews.tsv), with and
without stemming, searches a small grid of settings on two processes, and
prints what it found. With --save the chosen pipeline is written to PATH with
joblib and read back.
"""

import argparse
import csv
import threading
from pathlib import Path

from sklearn.feature_extraction.text import CountVectorizer, TfidfVectorizer
from sklearn.model_selection import GridSearchCV, train_test_split
from sklearn.naive_bayes import ComplementNB
from sklearn.pipeline import Pipeline

import Morvane

REVIEWS = Path(__file__).with_name("data") / "reviews.tsv"


class StemmingAnalyzer:
    """Callable analyzer: the stems of a document's words, in order.

    Use it as TfidfVectorizer(analyzer=StemmingAnalyzer("english")). The
    tokens are those of CountVectorizer's default analyzer (lowercased words
    of two or more letters or digits).
    """

    def __init__(self, algorithm="english"):
        self.algorithm = algorithm
        # One stemmer a thread: a stemmer must not be used by two threads
        # at once, and a fitted pipeline may serve several.
        self._local = threading.local()
        self._tokenize = CountVectorizer().build_analyzer()

    def __call__(self, doc):
        stemmer = getattr(self._local, "stemmer", None)
        if stemmer is None:
            stemmer = self._local.stemmer = Morvane.Morvane(self.algorithm)
        return stemmer.stemWords(self._tokenize(doc))

    def __getstate__(self):
        # Only the name travels; the stemmers stay behind, since they cannot
        # be pickled, and the receiving process makes its own when it stems.
        return {"algorithm": self.algorithm}

    def __setstate__(self, state):
        self.__init__(state["algorithm"])

    def __repr__(self):
        return f"{type(self).__name__}({self.algorithm!r})"


def load_reviews(path=REVIEWS):
    """The texts and labels of a label<TAB>text file with a header line."""
    with open(path, encoding="utf-8", newline="") as file:
        rows = list(csv.DictReader(file, delimiter="\t"))
    return [row["text"] for row in rows], [row["label"] for row in rows]


def make_pipeline(analyzer="word"):
    return Pipeline([
        ("tfidf", TfidfVectorizer(analyzer=analyzer)),
        ("clf", ComplementNB()),
    ])


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Classify the bundled reviews with stemmed features.")
    parser.add_argument(
        "--save", metavar="PATH",
        help="write the chosen pipeline to PATH with joblib and read it back")
    args = parser.parse_args(argv)

    texts, labels = load_reviews()
    train_texts, test_texts, train_labels, test_labels = train_test_split(
        texts, labels, test_size=0.25, random_state=0, stratify=labels)

    plain = TfidfVectorizer().fit(train_texts)
    stemmed = TfidfVectorizer(analyzer=StemmingAnalyzer()).fit(train_texts)
    print(f"vocabulary: {len(plain.vocabulary_)} words, "
          f"{len(stemmed.vocabulary_)} stems")
    analyze = stemmed.build_analyzer()
    for word in ("connection", "connections", "connected"):
        [stem] = analyze(word)
        print(f"  {word} -> {stem}, column {stemmed.vocabulary_[stem]}")

    # Each candidate is cloned, pickled to one of two worker processes and
    # fitted there; the analyzers arrive without stemmers and make them.
    search = GridSearchCV(
        make_pipeline(),
        {"tfidf__analyzer": ["word", StemmingAnalyzer("english"),
                             StemmingAnalyzer("porter")],
         "clf__alpha": [0.1, 1.0]},
        cv=3, n_jobs=2)
    search.fit(train_texts, train_labels)
    print(f"best of {len(search.cv_results_['params'])} settings "
          f"(cross-validated accuracy {search.best_score_:.3f}):",
          search.best_params_)
    print(f"test accuracy: {search.score(test_texts, test_labels):.3f}")

    if args.save:
        import joblib

        model = search.best_estimator_
        joblib.dump(model, args.save)
        again = joblib.load(args.save)
        same = list(again.predict(test_texts)) == list(
            model.predict(test_texts))
        print(f"saved to {args.save}; read back, it predicts "
              + ("the same" if same else "differently"))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
