"""What libstemmer cannot do, as the module reports it: a word whose byte
count does not fit libstemmer's int (OverflowError), and libstemmer running
out of memory while stemming (MemoryError) or while making a stemmer. A
word that fails is never cached nor counted, and the instance goes on
stemming afterwards; a stemmer that could not be made leaves no instance
that stems."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import Morvane
from conftest import assert_unchanged, snapshot

INT_MAX = 2**31 - 1
GiB = 2**30

UNDER_CHECKERS = os.environ.get("PYTHONMALLOC") == "malloc"


def mem_available():
    """MemAvailable from /proc/meminfo, in bytes; None where unknown."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def warmed(capacity):
    """An instance with one word stemmed (and cached, with the cache on)."""
    s = Morvane.Morvane("english", capacity)
    assert s.stemWord("running") == "run"
    return s


def assert_unchanged_and_stemming(s, before):
    """The cache and counter are as they were, and s still stems words old
    and new."""
    assert_unchanged(s, before)
    assert s.stemWord("running") == "run"
    assert s.stemWord("generalizations") == "general"
    assert s.stemWord(b"jumping") == b"jump"


# Words longer than libstemmer's int count

# Each kind of word takes its own path to libstemmer: bytes as they are; an
# ASCII str straight from its own storage with the cache off, but copied to
# bytes for the cache; any other str encoded to UTF-8 first. Each word has
# 2**31 bytes, one more than libstemmer takes, and is made in its test so
# that no two of them are alive at once. The bytes word is bytes(2**31),
# zero pages that are never written: it costs no memory and a few seconds
# of hashing, so it goes through every way in, in every run. A str has to
# be written out (2 or 1 GiB), and is copied or encoded anew on each call:
# peak is the word plus that copy, some seconds a call, so each str goes
# through each of its paths once, in the full gate only.
LONG = os.environ.get("MORVANE_LONG_TESTS") == "1"
STR_WORD = [
    pytest.mark.skipif(
        bool(sysconfig.get_config_var("Py_DEBUG")),
        reason="a debug build copies and encodes a str of 2 GiB too slowly"),
    pytest.mark.skipif(
        not LONG, reason="a str of 2 GiB is written out, copied and "
                         "encoded: the full gate (MORVANE_LONG_TESTS=1) "
                         "checks its paths"),
]
STEMWORD_PATHS = [
    (True, lambda s, word: s.stemWord(word)),
    (False, lambda s, word: s.stemWord(word)),
]
EVERY_PATH = [
    *STEMWORD_PATHS,
    (True, lambda s, word: s.stemWord(word=word)),
    (True, lambda s, word: s.stemWords([word, "walked"])),
    (False, lambda s, word: s.stemWords((word, "walked"))),
]
LONG_WORDS = [
    pytest.param(lambda: bytes(2**31), 0, EVERY_PATH, id="bytes"),
    pytest.param(lambda: "a" * 2**31, 4 * GiB, STEMWORD_PATHS,
                 id="ascii-str", marks=STR_WORD),
    # One GiB of Latin-1 text that encodes to two bytes a character.
    pytest.param(lambda: "\xe9" * 2**30, 3 * GiB,
                 STEMWORD_PATHS, id="latin1-str", marks=STR_WORD),
]

# Room for the interpreter and the rest of the machine beside the word.
HEADROOM = 1 * GiB


@pytest.mark.skipif(UNDER_CHECKERS,
                    reason="words of 2 GiB are too slow under the memory "
                           "checkers (PYTHONMALLOC=malloc)")
@pytest.mark.skipif(sys.maxsize < 2**32,
                    reason="a word of 2**31 bytes needs a 64-bit build")
@pytest.mark.parametrize("make_word, peak, paths", LONG_WORDS)
def test_word_too_long_to_stem(make_word, peak, paths):
    available = mem_available()
    if available is None or available < peak + HEADROOM:
        shown = ("unknown" if available is None
                 else f"{available / GiB:.1f} GiB")
        pytest.skip(f"needs {(peak + HEADROOM) / GiB:.0f} GiB of available "
                    f"memory; MemAvailable is {shown}")
    word = make_word()
    message = (f"word of {2**31} bytes is too long to stem "
               f"(at most {INT_MAX})")
    cached, uncached = warmed(10000), warmed(0)
    for with_cache, call in paths:
        s = cached if with_cache else uncached
        before = snapshot(s)
        with pytest.raises(OverflowError) as excinfo:
            call(s, word)
        assert type(excinfo.value) is OverflowError
        assert str(excinfo.value) == message
        assert_unchanged_and_stemming(s, before)


# libstemmer out of memory

# CPython's fault injection (_testcapi.set_nomemory) fails the
# interpreter's allocations only, never libstemmer's own malloc. So a child
# interpreter runs with failing_malloc.c preloaded: armed, it fails the
# allocations whose caller lies in libstemmer's mappings, and nothing else.
# The child prints a JSON report on its last line; the test judges it.
CHILD = r"""
import ctypes
import gc
import json
import os
import sys

import Morvane

shim = ctypes.CDLL(sys.argv[1])


def var(name, ctype=ctypes.c_long):
    return ctype.in_dll(shim, name)


def libstemmer_range():
    lo = hi = None
    with open("/proc/self/maps") as f:
        for line in f:
            fields = line.split()
            if (len(fields) < 6
                    or not os.path.basename(fields[5]).startswith(
                        "libstemmer.so")):
                continue
            start, end = (int(x, 16) for x in fields[0].split("-"))
            lo = start if lo is None else min(lo, start)
            hi = end if hi is None else max(hi, end)
    return lo, hi


def failing(call, skip=0):
    # Runs call with libstemmer's allocations failing after the first skip;
    # gives what it returned or raised and how many allocations failed.
    var("failing_malloc_failed").value = 0
    var("failing_malloc_skip").value = skip
    try:
        outcome = {"returned": repr(call())}
    except Exception as exc:
        outcome = {"raised": type(exc).__name__, "message": str(exc)}
    finally:
        var("failing_malloc_skip").value = -1
    outcome["failed"] = var("failing_malloc_failed").value
    return outcome


def referents(s):
    cache, counter = [r for r in gc.get_referents(s)
                      if not isinstance(r, type)]
    return ({repr(k): [repr(x) for x in v] for k, v in cache.items()},
            counter)


def stem_failure(capacity, method, kind):
    s = Morvane.Morvane("english", capacity)
    s.stemWord("running")
    # Longer than any word this stemmer has seen: libstemmer must grow
    # its buffer for it.
    word = "generalizations" * 400
    if kind == "bytes":
        word = word.encode()
    expected = Morvane.Morvane("english", 0).stemWord(word)
    before = referents(s)
    if method == "stemWords":
        outcome = failing(lambda: s.stemWords([word, "walked"]))
    else:
        outcome = failing(lambda: s.stemWord(word))
    outcome["unchanged"] = referents(s) == before
    outcome["then"] = [s.stemWord(word) == expected,
                       s.stemWord("running"), s.stemWord("jumping")]
    return outcome


def new_failures(reinit, name):
    # Fails each allocation of making a stemmer in turn, until one is made
    # with none failing.
    s = Morvane.Morvane("english")
    s.stemWord("running")
    outcomes = []
    for skip in range(100):
        if reinit:
            outcome = failing(lambda: s.__init__(name), skip)
            # After a failed re-initialisation a word not in the cache
            # must be refused, not stemmed (nor crash); initialising again
            # mends it.
            if "raised" in outcome:
                try:
                    stem = s.stemWord("connections")
                    outcome["then"] = {"returned": repr(stem)}
                except Exception as exc:
                    outcome["then"] = {"raised": type(exc).__name__}
                s.__init__("english")
            outcome["stems"] = s.stemWord("jumping")
        else:
            outcome = failing(lambda: Morvane.Morvane(name), skip)
        outcomes.append(outcome)
        if outcome["failed"] == 0:
            break
    return {"outcomes": outcomes,
            "after": Morvane.Morvane("english").stemWord("running")}


lo, hi = libstemmer_range()
if lo is None:
    print(json.dumps({"skip": "libstemmer is not a shared library mapped "
                              "in this process"}))
    sys.exit(0)
var("failing_malloc_lo", ctypes.c_size_t).value = lo
var("failing_malloc_hi", ctypes.c_size_t).value = hi
case = json.loads(sys.argv[2])
report = globals()[case[0]](*case[1:])
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def failing_malloc(tmp_path_factory):
    """The shim, built for this machine."""
    if UNDER_CHECKERS:
        pytest.skip("the failing malloc and the memory checkers' allocator "
                    "would both replace malloc (PYTHONMALLOC=malloc)")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler (cc or gcc) on PATH to build the "
                    "failing malloc")
    try:
        import ctypes  # noqa: F401
    except ImportError:
        pytest.skip("the child sets the failing malloc through ctypes")
    source = Path(__file__).with_name("failing_malloc.c")
    library = tmp_path_factory.mktemp("failing_malloc") / "failing_malloc.so"
    done = subprocess.run(
        [compiler, "-shared", "-fPIC", "-O2", "-o", str(library), str(source)],
        capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return library


def run_child(library, *case):
    env = dict(os.environ, LD_PRELOAD=str(library))
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", CHILD, str(library),
         json.dumps(case)],
        capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout.splitlines()[-1])
    if "skip" in report:
        pytest.skip(report["skip"])
    return report


@pytest.mark.parametrize("capacity, method, kind", [
    (10000, "stemWord", "str"),
    (10000, "stemWord", "bytes"),
    (0, "stemWord", "str"),
    (10000, "stemWords", "str"),
])
def test_stem_out_of_memory(failing_malloc, capacity, method, kind):
    report = run_child(failing_malloc, "stem_failure", capacity, method, kind)
    # The growth failed inside libstemmer, and only there.
    assert report["failed"] >= 1, report
    assert report.get("raised") == "MemoryError", report
    # Nothing cached, counter unchanged (stemWords fails on its first word).
    assert report["unchanged"], report
    # Once malloc works again, the same instance stems the long word and
    # the words it knew.
    assert report["then"] == [True, "run", "jump"], report


# libstemmer answers null both for a name it does not know and when memory
# runs out. A name that algorithms() lists is known, so its failure is the
# memory's; an alias is not listed, and its failure stays "not found".
CREATION_FAILURES = {
    "english": {"raised": "MemoryError", "message": ""},
    "en": {"raised": "KeyError",
           "message": repr("Stemming algorithm 'en' not found")},
}


@pytest.mark.parametrize("name", CREATION_FAILURES)
@pytest.mark.parametrize("reinit", [False, True],
                         ids=["new-instance", "reinit"])
def test_stemmer_creation_out_of_memory(failing_malloc, reinit, name):
    assert "english" in Morvane.algorithms()
    assert "en" not in Morvane.algorithms()
    report = run_child(failing_malloc, "new_failures", reinit, name)
    outcomes = report["outcomes"]
    # Each allocation that libstemmer makes for a stemmer failed in turn,
    # then one was made with none failing.
    *failures, last = outcomes
    assert failures, outcomes
    assert last["failed"] == 0 and "raised" not in last, outcomes
    for outcome in failures:
        assert outcome["failed"] == 1, outcomes
        assert {key: outcome.get(key) for key in ("raised", "message")} \
            == CREATION_FAILURES[name], outcomes
        if reinit:
            # The instance that failed to re-initialise refused a word it
            # had not cached rather than stemming or crashing; initialised
            # again, it stems.
            assert "raised" in outcome["then"], outcomes
    if reinit:
        assert all(o["stems"] == "jump" for o in outcomes), outcomes
    assert report["after"] == "run"
