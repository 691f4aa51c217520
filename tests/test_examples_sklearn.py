"""examples/stemming_analyzer.py: the stemming analyzer in scikit-learn's
vectorizers and pipelines, copied, cloned, sent to two worker processes by a
grid search and saved with joblib."""

import copy
import importlib.util
import json
import pickle
import subprocess
import sys
from pathlib import Path

import pytest

# scikit-learn and joblib are the example's requirements, not the module's:
# on a CPython for which they publish no wheel, these tests are skipped.
PYTHON = sys.version.split()[0]
for module, package in [("sklearn", "scikit-learn"), ("joblib", "joblib")]:
    pytest.importorskip(module, reason=(
        f"{package} is not installed (the examples extra; it may "
        f"have no wheel for CPython {PYTHON})"))

import joblib
from sklearn.base import clone
from sklearn.feature_extraction.text import TfidfVectorizer
from sklearn.model_selection import train_test_split

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"


def load_example():
    """The example module, importable by name (for pickle) without putting
    examples/ on this sys.path."""
    spec = importlib.util.spec_from_file_location(
        "stemming_analyzer", EXAMPLES / "stemming_analyzer.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module


example = load_example()
StemmingAnalyzer = example.StemmingAnalyzer
TEXTS, LABELS = example.load_reviews()


def run_python(source, tmp_path, stdin=None):
    """Run source as a script in a fresh interpreter that imports the
    examples as a user's own modules; its standard output, parsed as JSON."""
    script = tmp_path / "driver.py"
    script.write_text(f"import sys\nsys.path.insert(0, {str(EXAMPLES)!r})\n"
                      + source, encoding="utf-8")
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path,
                         input=stdin, capture_output=True, encoding="utf-8",
                         timeout=300)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def test_bundled_reviews_have_two_balanced_labels():
    assert len(TEXTS) == len(LABELS) >= 300
    assert LABELS.count("positive") == LABELS.count("negative")
    assert all(text.strip() for text in TEXTS)


def test_stemmed_vocabulary_merges_inflected_forms():
    plain = TfidfVectorizer().fit(TEXTS)
    stemmed = TfidfVectorizer(analyzer=StemmingAnalyzer()).fit(TEXTS)
    assert len(stemmed.vocabulary_) < len(plain.vocabulary_)
    assert plain.vocabulary_["connection"] != plain.vocabulary_["connections"]
    columns = [stemmed.transform([word]).nonzero()[1].tolist()
               for word in ("connection", "connections", "connected")]
    assert columns[0] == columns[1] == columns[2]
    assert len(columns[0]) == 1


# CountVectorizer's tokens (lowercased, two or more word characters), stemmed
@pytest.mark.parametrize(("algorithm", "doc", "stems"), [
    ("english", "The Connections were CONNECTING, connected!",
     ["the", "connect", "were", "connect", "connect"]),
    ("english", "Generously given, generously taken",
     ["generous", "given", "generous", "taken"]),
    ("porter", "Generously given, generously taken",
     ["gener", "given", "gener", "taken"]),
    ("french", "Éternellement connectés; les connexions",
     ["éternel", "connect", "le", "connex"]),
    ("english", "a I x 42 running_fast O'Neill's",
     ["42", "running_fast", "neill"]),
    ("english", "", []),
], ids=["case and inflection", "english", "porter", "french",
        "short tokens and digits", "empty"])
def test_analyzer_stems_the_default_tokens(algorithm, doc, stems):
    assert StemmingAnalyzer(algorithm)(doc) == stems


# ways in which scikit-learn, joblib and the standard library copy it
@pytest.mark.parametrize("duplicate", [
    lambda analyzer: pickle.loads(pickle.dumps(analyzer)),
    copy.deepcopy,
    copy.copy,
    lambda analyzer: clone(TfidfVectorizer(analyzer=analyzer)).analyzer,
], ids=["pickle", "deepcopy", "copy", "clone"])
def test_analyzer_copies_after_it_has_stemmed(duplicate):
    """The copy leaves the stemmer behind and makes its own."""
    analyzer = StemmingAnalyzer("porter")
    before = analyzer(TEXTS[0])
    twin = duplicate(analyzer)
    assert twin is not analyzer
    assert twin.algorithm == "porter"
    assert repr(twin) == "StemmingAnalyzer('porter')"
    assert twin(TEXTS[0]) == before
    assert analyzer(TEXTS[0]) == before


# Reports each fitted candidate's scores and the process that computed them.
GRID_SEARCH = """\
import json, os
from sklearn.model_selection import GridSearchCV
from stemming_analyzer import StemmingAnalyzer, load_reviews, make_pipeline


def score(pipeline, texts, labels):
    return {"accuracy": pipeline.score(texts, labels), "pid": os.getpid()}


if __name__ == "__main__":
    texts, labels = load_reviews()
    grid = {"tfidf__analyzer": [StemmingAnalyzer("english"),
                                StemmingAnalyzer("porter"), "word"],
            "clf__alpha": [0.1, 1.0]}
    search = GridSearchCV(make_pipeline(), grid, cv=3, n_jobs=2,
                          scoring=score, refit="accuracy")
    search.fit(texts, labels)
    results = search.cv_results_
    json.dump({
        "pid": os.getpid(),
        "analyzers": [repr(params["tfidf__analyzer"])
                      for params in results["params"]],
        "accuracy": results["mean_test_accuracy"].tolist(),
        "pids": [sorted({int(results[f"split{split}_test_pid"][index])
                         for split in range(3)})
                 for index in range(len(results["params"]))],
    }, sys.stdout)
"""


def test_grid_search_fits_on_two_processes(tmp_path):
    """Every candidate, the stemming ones included, was fitted and scored
    in a worker process, so its analyzer was pickled there."""
    report = run_python(GRID_SEARCH, tmp_path)
    assert sorted(set(report["analyzers"])) == [
        "'word'", "StemmingAnalyzer('english')", "StemmingAnalyzer('porter')"]
    assert len(report["analyzers"]) == 6
    # Two balanced labels: chance is 0.5, and a classifier that saw no
    # stems would be no better.
    assert all(accuracy > 0.6 for accuracy in report["accuracy"])
    workers = {pid for pids in report["pids"] for pid in pids}
    assert report["pid"] not in workers
    assert 1 <= len(workers) <= 2


LOAD_AND_PREDICT = """\
import json
import joblib

texts = json.load(sys.stdin)
model = joblib.load("model.joblib")
json.dump(model.predict(texts).tolist(), sys.stdout)
"""


def test_saved_pipeline_predicts_the_same_in_a_new_process(tmp_path):
    train_texts, test_texts, train_labels, _ = train_test_split(
        TEXTS, LABELS, test_size=0.25, random_state=0, stratify=LABELS)
    model = example.make_pipeline(StemmingAnalyzer())
    model.fit(train_texts, train_labels)
    predictions = model.predict(test_texts).tolist()
    # The fitted analyzer holds a stemmer now, which must stay behind.
    joblib.dump(model, tmp_path / "model.joblib")
    loaded = run_python(LOAD_AND_PREDICT, tmp_path, json.dumps(test_texts))
    assert loaded == predictions
    assert set(predictions) == {"positive", "negative"}
