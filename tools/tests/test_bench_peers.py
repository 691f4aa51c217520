"""The benchmark's peers, the miss profile's parts and the miss floor.

bench.py times other Snowball stemmers beside the module when they are
installed and names those that are not; versions.py tabulates them per
interpreter; miss_profile.py splits a callgrind profile into the parts of a
miss.  These tests use stand-in peers and a hand-written callgrind file, so
that they need neither the peers, nor valgrind, nor time: nothing here is
timed against anything.  miss_floor.py's library is built with the
compiler, as the script builds it, and checked for its stems.
"""

import importlib.util
import shutil
import statistics
import sys
import types
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BENCHMARKS = ROOT / "benchmarks"


def load(name):
    """A benchmark script as a module, without running its main."""
    spec = importlib.util.spec_from_file_location(
        f"_bench_{name}", BENCHMARKS / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.path.insert(0, str(BENCHMARKS))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(BENCHMARKS))
    return module


@pytest.fixture
def bench():
    pytest.importorskip("Morvane")
    return load("bench")


def fake_peers(monkeypatch, rust=None, snowball=None, nltk=None):
    """Stand-ins for the peers' modules; None makes a peer missing."""
    modules = {"py_rust_stemmers": rust, "snowballstemmer": snowball,
               "nltk.stem.snowball": nltk}
    for name, module in modules.items():
        # A None entry in sys.modules makes the import raise ImportError.
        monkeypatch.setitem(sys.modules, name, module)


def snowball_module(stem):
    module = types.ModuleType("snowballstemmer")

    class PurePythonStemmer:
        def stemWords(self, words):
            return [stem(w) for w in words]

    def stemmer(algorithm):
        if algorithm != "english":
            raise KeyError(algorithm)
        return PurePythonStemmer()

    module.stemmer = stemmer
    return module


def nltk_module(stem):
    module = types.ModuleType("nltk.stem.snowball")

    class SnowballStemmer:
        def __init__(self, algorithm):
            if algorithm != "english":
                raise ValueError(f"The language '{algorithm}' is not "
                                 "supported.")

        def stem(self, word):
            return stem(word)

    module.SnowballStemmer = SnowballStemmer
    return module


def rust_module(stem):
    module = types.ModuleType("py_rust_stemmers")

    class SnowballStemmer:
        def __init__(self, algorithm):
            if algorithm != "english":
                raise ValueError("Unsupported language")

        def stem_word(self, word):
            return stem(word)

        def stem_words(self, words):
            return [stem(w) for w in words]

        stem_words_parallel = stem_words

    module.SnowballStemmer = SnowballStemmer
    return module


def module_stem(word):
    import Morvane
    return Morvane.Morvane("english", 0).stemWord(word)


# bench.py: which peers take part


def test_a_missing_peer_is_named_and_the_others_still_run(bench,
                                                           monkeypatch):
    fake_peers(monkeypatch, rust=None, snowball=snowball_module(str.upper),
               nltk=nltk_module(module_stem))
    cases, versions, missing = bench.load_peers("english")
    assert set(missing) == {"py-rust-stemmers"}
    assert "not installed" in missing["py-rust-stemmers"]
    assert set(versions) == {"snowballstemmer", "nltk"}
    assert {c.peer for c in cases} == {"snowballstemmer", "nltk"}
    # Each case stems with its own peer.
    for case in cases:
        stems = list(case.make(["running", "cats"])())
        expected = (["RUNNING", "CATS"] if case.peer == "snowballstemmer"
                    else ["run", "cat"])
        assert stems == expected, case.name


def test_every_call_of_py_rust_stemmers_is_a_case(bench, monkeypatch):
    fake_peers(monkeypatch, rust=rust_module(module_stem))
    cases, versions, missing = bench.load_peers("english")
    rust = [c for c in cases if c.peer == "py-rust-stemmers"]
    assert [c.name for c in rust] == [
        "py-rust-stemmers stem_words", "py-rust-stemmers stem_words_parallel",
        "py-rust-stemmers loop stem_word"]
    # Compiled peers are timed on every word, the pure-Python ones on a
    # sample.
    assert not any(c.sampled for c in rust)
    assert all(c.sampled for c in cases if c.peer != "py-rust-stemmers")
    for case in rust:
        assert list(case.make(["running"])()) == ["run"]


def test_a_peer_without_the_algorithm_is_missing(bench, monkeypatch):
    fake_peers(monkeypatch, rust=rust_module(str), nltk=nltk_module(str),
               snowball=snowball_module(str))
    cases, versions, missing = bench.load_peers("klingon")
    assert cases == [] and versions == {}
    assert set(missing) == {"py-rust-stemmers", "snowballstemmer", "nltk"}
    assert all("cannot stem 'klingon'" in why for why in missing.values())


@pytest.mark.parametrize("wanted, expected", [
    (set(), set()),
    ({"nltk"}, {"nltk"}),
    (None, {"py-rust-stemmers", "snowballstemmer", "nltk"}),
])
def test_only_the_wanted_peers_load(bench, monkeypatch, wanted, expected):
    fake_peers(monkeypatch, rust=rust_module(str), nltk=nltk_module(str),
               snowball=snowball_module(str))
    _, versions, missing = bench.load_peers("english", wanted)
    assert set(versions) | set(missing) == expected


def test_differences_count_words_and_tokens(bench):
    words = ["cats", "evening", "added"]
    reference = ["cat", "evening", "add"]
    stems = ["cat", "even", "ad"]
    tokens = ["evening", "cats", "evening", "added", "cats"]
    d = bench.differences(reference, stems, words, tokens)
    assert d["words"] == 3 and d["differing_words"] == 2
    assert d["tokens"] == 5 and d["differing_tokens"] == 3
    assert d["examples"] == [["added", "add", "ad"],
                             ["evening", "evening", "even"]]
    assert "tokens" not in bench.differences(reference, stems, words)


def test_a_workload_times_the_peers_beside_the_module(bench, monkeypatch,
                                                      tmp_path):
    """bench_workload's report with stand-in peers and a stand-in C loop:
    every peer case is there, the sampled ones against the C loop on the
    sample, and each peer's differences are counted."""
    import Morvane
    fake_peers(monkeypatch, rust=rust_module(module_stem),
               snowball=snowball_module(module_stem),
               nltk=nltk_module(lambda w: "x" if w == "cats" else
                                module_stem(w)))
    words = ["cats", "running", "cats", "the", "running", "ponies"] * 5
    checksum = sum(map(len, Morvane.Morvane("english", 0).stemWords(
        [w.encode() for w in words])))
    calls = []

    def c_loop(path, algorithm, repetitions):
        calls.append(Path(path).name)
        # The sample's C loop is told apart by its own, faster, time.
        return (50.0 if "sample" in Path(path).name else 100.0), checksum

    monkeypatch.setattr(bench, "time_c_loop", c_loop)
    monkeypatch.setattr(bench, "PEER_SAMPLE", 10)
    monkeypatch.setattr(bench, "BUILD", tmp_path)
    monkeypatch.setattr(bench, "WORDS_PER_SAMPLE", 30)
    path = tmp_path / "running.txt"
    path.write_text("".join(w + "\n" for w in words))
    cases, _, _ = bench.load_peers("english")
    result = bench.bench_workload("running", words, path, "english", 2,
                                  True, cases)
    summary = result["cases"]
    for case in cases:
        assert len(summary[case.name]["ns_per_word"]) == 2
        assert summary[case.name]["median_ns"] > 0
    sample_c = summary["C loop, peers' sample"]
    assert sample_c["tokens"] == 10 and sample_c["median_ns"] == 50.0
    nltk = summary["nltk SnowballStemmer.stem"]
    assert nltk["tokens"] == 10
    assert nltk["median_ratio"] == pytest.approx(
        statistics.median(t / 50.0 for t in nltk["ns_per_word"]))
    rust = summary["py-rust-stemmers stem_words"]
    assert "tokens" not in rust
    assert rust["median_ratio"] == pytest.approx(
        statistics.median(t / 100.0 for t in rust["ns_per_word"]))
    assert summary["_default_cache_vs_rust_stem_words"] > 0
    # The C loop ran on the whole list and on the sample every round.
    assert calls.count("running.txt") == 3
    assert calls.count("sample_running.txt") == 2
    differences = result["peer_differences"]
    assert differences["py-rust-stemmers"]["differing_words"] == 0
    assert differences["nltk"]["differing_words"] == 1
    assert differences["nltk"]["differing_tokens"] == 10


# versions.py: the peers' table


def test_the_peers_table_marks_a_missing_peer(monkeypatch):
    versions = load("versions")

    def run(peers, missing, ratio):
        workloads = {}
        for workload in ("running", "distinct"):
            cases = {"stemWords str, cache": {"median_ratio": ratio},
                     "stemWords str, cache off": {"median_ratio": 1.1}}
            cases.update({p: {"median_ratio": 2.0} for p in peers})
            workloads[workload] = {"cases": cases, "peer_differences": {
                "nltk": {"words": 10, "differing_words": 1}}}
        return {"workloads": workloads,
                "peers": {"versions": {"nltk": "3.9"},
                          "missing": missing}}

    def bench(key):
        return types.SimpleNamespace(interpreter=types.SimpleNamespace(
            key=key, sid=None, exe=f"/usr/bin/python{key}"))

    results = {
        "3.14": [run(["py-rust-stemmers stem_words"], {}, r)
                 for r in (0.5, 0.7, 0.6)],
        "3.15": [run([], {"py-rust-stemmers": "not installed; no wheel"},
                     0.4)],
    }
    for result in results["3.15"] + results["3.14"]:
        result["libstemmer"] = {"package": "libstemmer0d 3.1.1-1"}
    benches = [bench("3.14"), bench("3.15")]
    table = versions.table(benches, results, versions.PEER_ROWS)
    rows = {line.split(" | ")[1] + "/" + line.split(" | ")[0]: line
            for line in table.splitlines()[2:]}
    rust = rows["py-rust-stemmers `stem_words`/| running text"]
    assert rust.endswith("| 2.00 | missing |")
    default = rows["Morvane `stemWords`, default cache/| running text"]
    assert default.endswith("| 0.60 | 0.40 |")
    notes = versions.peer_notes(benches, results)
    assert "3.15: py-rust-stemmers missing: not installed; no wheel" in notes
    assert "3.14: nltk 3.9; stems differently from the module: " \
        "running text 1 of 10 words; distinct words 1 of 10 words" in notes


# miss_profile.py: a profile's parts

# A miss as callgrind records it, by hand: stemWords calls the module's
# miss, which makes the key, the entry (whose allocation starts a
# collection), looks the key up, inserts it, stems and calls the purge,
# which inserts again for its rebuild; 3.12's collection after the call is
# a root of its own.  Function names follow MODULE's spelling.
PROFILE = """\
version: 1
events: Ir
fn=(1) {m}stemming_stemWords(_object*)
0 10
cfn=(2) {m}cache_miss(_object*)
calls=1 0
0 990
fn=(2)
0 100
cfn=(3) PyBytes_FromStringAndSize
calls=1 0
0 50
cfn=(4) PyList_New
calls=1 0
0 120
cfn=(5) PyDict_SetItem
calls=1 0
0 60
cfn=(6) sb_stemmer_stem
calls=1 0
0 400
cfn=(7) {m}stemming_purgeCache_impl(StemmingObject*)
calls=1 0
0 200
cfn=(8) unknown_function
calls=1 0
0 60
fn=(3)
0 30
cfn=(9) PyObject_Malloc
calls=1 0
0 20
fn=(9)
0 20
fn=(4)
0 20
cfn=(10) _PyObject_GC_Link
calls=1 0
0 100
fn=(10)
0 10
cfn=(11) gc_collect_main
calls=1 0
0 90
fn=(11)
0 90
fn=(5)
0 160
fn=(6)
0 100
cfn=(12) 0x0000000000048e30
calls=1 0
0 300
fn=(12)
0 300
fn=(7)
0 50
cfn=(5)
calls=1 0
0 100
cfn=(13) PyObject_Size
calls=1 0
0 50
fn=(13)
0 50
fn=(8)
0 60
fn=(14) _Py_RunGC
0 50
"""


@pytest.mark.parametrize("module_prefix", [
    "morvane::(anonymous namespace)::",
    "morvane::cache::",
], ids=["anonymous namespace", "another namespace"])
def test_a_miss_splits_into_its_parts(tmp_path, module_prefix):
    profile_module = load("miss_profile")
    path = tmp_path / "callgrind.out"
    path.write_text(PROFILE.format(m=module_prefix))
    profile = profile_module.Profile(str(path))
    attribution = profile_module.Attribution(profile)
    parts = {}
    for root in profile.self_cost:
        if profile_module.name_of(root).endswith("stemming_stemWords") \
                or profile_module.name_of(root) == "_Py_RunGC":
            for part, value in attribution.enter(root, None).items():
                parts[part] = parts.get(part, 0) + value
    assert parts == pytest.approx({
        profile_module.OWN: 110,
        "bytes key": 50,
        "entry list": 20,
        # The collection the entry's allocation started, and 3.12's.
        "collector": 150,
        # Only the miss's own insert: the purge's is the purge's.
        "dict insert": 60,
        "libstemmer": 400,
        "purge: finding and calling": 200,
        (profile_module.OTHER, "unknown_function"): 60,
    })
    assert sum(parts.values()) == pytest.approx(
        sum(profile.self_cost.values()))


def test_the_purge_splits_by_the_run_where_no_purge_scans():
    profile_module = load("miss_profile")
    calling = "purge: finding and calling"
    scans = "purge: scans and rebuilds"
    runs = {
        "default": {"misses": 10, "parts": {
            "libstemmer": 1000, calling: 700, scans: 100, "dict insert": 50}},
        "no purge": {"misses": 10, "parts": {
            "libstemmer": 1000, calling: 60, "dict insert": 80}},
    }
    runs["cache off"] = {"misses": 10, "parts": {"libstemmer": 1000}}
    rows = {part: values
            for part, *values in profile_module.report_rows(runs)}
    assert rows[calling] == [6, 6, 0]
    assert rows[scans] == [74, 0, 0]
    assert rows["dict insert"] == [5, 8, 0]
    assert rows["total"] == [185, 114, 100]


# miss_floor.py: the cache's data model through the C API alone. Its times
# bound the module's only if it does the same job: the same stems, through
# hits, misses and purges alike.

@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("capacity", [10000, 10, 3, 1, -1, 0])
def test_the_floor_stems_as_the_module_does(capacity):
    import Morvane
    floor = load("miss_floor")
    stem_words = floor.floor_function(floor.build())
    # Repeats, so that small capacities both hit and purge.
    words = [f"{stem}{ending}" for stem in ("connect", "run", "happy", "gener")
             for ending in ("", "ed", "ing", "s", "ion", "ally")] * 3
    assert stem_words(words, capacity) == \
        Morvane.Morvane("english", 0).stemWords(words)
