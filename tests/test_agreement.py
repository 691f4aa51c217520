"""Stems agree with libstemmer's own output, and with snowballstemmer's, for
every algorithm.

The first reference is the very libstemmer that the module loaded, called
through ctypes: sb_stemmer_stem's output for each word. The module must
give the same stems through stemWords, with the cache on and off, for str
words and for bytes words.

The second is snowballstemmer, the pure-Python stemmers that the Snowball
project generates from the same algorithm sources: it shares no code with
libstemmer, so it also catches a fault that the module and the ctypes
reference would have in common. It only counts when it is the linked
library's release.

The words come from the word lists that are installed: the plain lists in
/usr/share/dict (wamerican, wfrench, wngerman, wpolish, wesperanto, ...),
the Hunspell dictionaries in /usr/share/hunspell (hunspell-cs, myspell-et,
hunspell-ru, ...), and small samples in tests/data for the languages that
Debian has no list of; plus a small built-in multilingual sample that every
algorithm gets.
"""

import codecs
import ctypes
import dataclasses
import functools
import gzip
import importlib
import importlib.metadata
import os
import random
import re

import pytest

import Morvane


# libstemmer.so.0d as installed, or libstemmer-1a2b3c4d.so.0d.0.0 as a
# wheel carries it (auditwheel renames what it grafts).
LIBSTEMMER_FILE = re.compile(r"libstemmer(-[0-9a-f]+)?\.so")


def loaded_libstemmer():
    """The path of the libstemmer shared library in this process: the one
    the module was linked with and found, whichever that is."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                if len(fields) == 6 and LIBSTEMMER_FILE.match(
                        os.path.basename(fields[5].strip())):
                    return fields[5].strip()
    except OSError:
        pass
    return None


DICT_DIR = "/usr/share/dict"
HUNSPELL_DIR = "/usr/share/hunspell"
DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

# Plain word lists in /usr/share/dict, one word a line -> the algorithms
# for their language.
DICTIONARIES = {
    "american-english": ("english", "porter"),
    "french": ("french",),
    "ngerman": ("german",),
    "spanish": ("spanish",),
    "italian": ("italian",),
    "portuguese": ("portuguese",),
    "swedish": ("swedish",),
    "danish": ("danish",),
    "bokmaal": ("norwegian",),
    "nynorsk": ("norwegian",),
    "dutch": ("dutch", "dutch_porter"),
    "catalan": ("catalan",),
    "irish": ("irish",),
    "polish": ("polish",),
    "esperanto": ("esperanto",),
}

# Hunspell dictionaries in /usr/share/hunspell -> the algorithms for their
# language. The key lists the names that the packages install a dictionary
# under, from one Debian release to the next; the first one found is read.
HUNSPELL = {
    ("ar",): ("arabic",),
    ("hy_AM", "hy"): ("armenian",),
    ("eu",): ("basque",),
    ("cs_CZ",): ("czech",),
    ("et_EE",): ("estonian",),
    ("el_GR",): ("greek",),
    ("hi_IN",): ("hindi",),
    ("hu_HU",): ("hungarian",),
    ("id_ID",): ("indonesian",),
    ("lt_LT",): ("lithuanian",),
    ("ne_NP",): ("nepali",),
    ("fa_IR", "fa-IR", "fa"): ("persian",),
    ("ro_RO",): ("romanian",),
    ("ru_RU",): ("russian",),
    ("sr_RS",): ("serbian",),  # Cyrillic
    ("sr_Latn_RS",): ("serbian",),  # Latin
    ("ta_IN",): ("tamil",),
    ("tr_TR",): ("turkish",),
}

# Samples in tests/data, for the languages that some Debian release has no
# word list of: whitespace-separated words, # starts a comment line.
SAMPLES = {
    "finnish.txt": ("finnish",),
    "sesotho.txt": ("sesotho",),
    "yiddish.txt": ("yiddish",),
    "armenian.txt": ("armenian",),
    "tamil.txt": ("tamil",),
}

# valgrind checks every instruction, the interpreter's too: under it a
# tenth of the words still runs every path of the module, in a tenth of
# the time.
UNDER_VALGRIND = "vgpreload" in os.environ.get("LD_PRELOAD", "")
# words from each word list of the algorithm's language
PER_LANGUAGE = 2000 if UNDER_VALGRIND else 20000
PER_LIST_FOR_ALL = 150  # words from each word list, for every algorithm
RAW_FOR_ALL = 200  # non-ASCII words of each list not in UTF-8, as bytes

# A few inflected words per language the library offers, and some
# awkward ones: empty, one letter, digits, punctuation, combining marks.
BUILT_IN = """
الكتاب والمدرسة يكتبون المعلمين بالقلم كتابات سيذهبون فقالوا
գրքերը մարդկանց տներում աշխատում գեղեցիկ երեխաներին
etxeetan mendiak gizonarekin liburuak ikastolan herrietako
cases llibres cantàvem nacionalitat treballadors històrics
bøgerne hundene løbende købmændenes arbejdede forskellige
huizen lopende kinderen gelukkig mogelijkheden fietsen
running generously connections happiness ponies caresses relational
hopefulness skies dying agreed feed sky news inning outing canning
taloissa kirjoittamassa ystävällisyys koirillemme järvien kaupungeissa
continuellement nationalité mangeaient chevaux heureusement intéressantes
œuvres
Häuser laufenden Möglichkeiten Straßen aufeinanderfolgenden
glücklicherweise Kindern
ανθρώπους καλημέρα τραγουδούσαν πόλεων γυναίκες ελληνικά ΑΝΘΡΩΠΟΙ
किताबें लड़कियों खेलते भारतीय जाएगा बच्चों
házakban könyveket emberekkel szépségét gyerekeknek városokból
membaca pembangunan kebersihan bermain mempermainkan ketidakadilan bukunya
bhfear gcathrach tithe hÉireann leabhair mbád t-uisce
abbandonata cantavano nazionalità felicemente libri città perché
namuose knygomis gražiausias vaikščiojo lietuviškai žmonėms
किताबहरू मानिसहरूलाई गर्नुहुन्छ नेपालमा घरबाट विद्यार्थीहरूको
bøkene jentene hyggelig løpende kjærligheten spørsmålene
corações nacionalidade cantávamos livros felizmente irmãos estação
copiilor frumoasele țărilor câinii cărțile naționalitate ştiinţă
книгами бегающих красивейший человечество ёлках говорили сделанными
knjigama ljudima čitanje ћирилица градовима đacima radovali
canciones nacionalidad corriendo felizmente árboles niños comeríamos
böckerna flickorna lyckligtvis springande kärleken städerna åren
புத்தகங்கள் வீடுகளில் மக்களுக்கு படித்தான் தமிழ்நாட்டில் செய்தார்கள்
kitaplarımızdan evlerde çocukların güzelleştirmek İstanbul'da gözlükçü
ağaçlar
ביכער געגאנגען קינדער שרייבן אַרבעטער ייִדישע
a I 1984 well-being don't RUNNING Running café café 東京 straße ﬁnancial
""".split() + ["", "x" * 300 + "ations", "ing" * 50, "e\u0301s\u0301"]

# Bytes that are not valid UTF-8, or hold NUL: compared at the byte level.
BUILT_IN_RAW = [
    b"\xff", b"\xff\xfe", b"caf\xc3s", b"caf\xc3", b"\xc3\xa9\xc3",
    b"r\xe9sum\xe9s", b"stra\xdfen", b"xx\xe2\x82s", b"\xe2\x82ings",
    b"cats\x00", b"\x00running", b"run\x00ning", b"\x00",
]


@pytest.fixture(scope="session")
def reference():
    """libstemmer's own functions, from the library the module uses."""
    path = loaded_libstemmer()
    if path is None:
        pytest.skip("cannot tell which libstemmer the module loaded "
                    "(no /proc/self/maps)")
    lib = ctypes.CDLL(path)
    lib.sb_stemmer_new.restype = ctypes.c_void_p
    lib.sb_stemmer_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.sb_stemmer_stem.restype = ctypes.POINTER(ctypes.c_ubyte)
    lib.sb_stemmer_stem.argtypes = [ctypes.c_void_p, ctypes.c_char_p,
                                    ctypes.c_int]
    lib.sb_stemmer_length.restype = ctypes.c_int
    lib.sb_stemmer_length.argtypes = [ctypes.c_void_p]
    lib.sb_stemmer_delete.restype = None
    lib.sb_stemmer_delete.argtypes = [ctypes.c_void_p]
    return lib


def reference_stems(lib, algorithm, lines):
    """libstemmer's stems of the byte lines, as bytes."""
    stemmer = lib.sb_stemmer_new(algorithm.encode("ascii"), b"UTF_8")
    assert stemmer, algorithm
    try:
        stems = []
        for line in lines:
            stem = lib.sb_stemmer_stem(stemmer, line, len(line))
            assert stem, line
            stems.append(ctypes.string_at(stem,
                                          lib.sb_stemmer_length(stemmer)))
        return stems
    finally:
        lib.sb_stemmer_delete(stemmer)


def test_reference_is_the_library_the_module_uses(reference):
    # The module lists exactly what this library lists, so the reference
    # is not some other libstemmer on the machine.
    lib = reference
    lib.sb_stemmer_list.restype = ctypes.POINTER(ctypes.c_char_p)
    names, listed = [], lib.sb_stemmer_list()
    while listed[len(names)] is not None:
        names.append(listed[len(names)].decode("ascii"))
    assert Morvane.algorithms() == names


@dataclasses.dataclass(frozen=True)
class WordList:
    """An installed word list: its file, the algorithms of its language,
    and its layout: "plain" (a word a line), "hunspell" (a count, then a
    stem a line with /flags and fields after it) or "sample" (one of ours:
    words apart by white space, # starting a comment line)."""
    name: str
    path: str
    algorithms: tuple
    layout: str


def installed_lists():
    found = []
    for name, algorithms in DICTIONARIES.items():
        path = os.path.join(DICT_DIR, name)
        if os.path.isfile(path):
            found.append(WordList(name, path, algorithms, "plain"))
    for names, algorithms in HUNSPELL.items():
        for name in names:
            path = os.path.join(HUNSPELL_DIR, name + ".dic")
            if os.path.isfile(path):
                found.append(WordList(name, path, algorithms, "hunspell"))
                break
    for name, algorithms in SAMPLES.items():
        found.append(WordList(name, os.path.join(DATA_DIR, name),
                              algorithms, "sample"))
    return found


INSTALLED = installed_lists()


@functools.cache
def contents(word_list):
    """(data, start, encoding): the list's bytes with one word a line from
    offset start on, and the encoding of its words."""
    with open(word_list.path, "rb") as f:
        data = f.read()
    if word_list.layout == "sample":
        words = [word for line in data.splitlines()
                 if not line.startswith(b"#") for word in line.split()]
        return b"\n".join(words), 0, "utf-8"
    if word_list.layout == "hunspell":
        # The first line holds the number of entries.
        return data, data.find(b"\n") + 1, hunspell_encoding(word_list.path)
    # The older plain lists are in Latin-1.
    return data, 0, "utf-8" if is_utf8(data) else "latin-1"


def hunspell_encoding(dic_path):
    """The encoding that the .aff file beside a .dic declares (SET); when it
    declares none, UTF-8 if the words decode as such, else Hunspell's
    default, Latin-1."""
    try:
        with open(dic_path[:-len(".dic")] + ".aff", "rb") as f:
            for line in f:
                fields = line.lstrip(b"\xef\xbb\xbf").split()
                if len(fields) >= 2 and fields[0] == b"SET":
                    return codecs.lookup(fields[1].decode("ascii")).name
    except (OSError, LookupError, UnicodeDecodeError):
        pass
    with open(dic_path, "rb") as f:
        return "utf-8" if is_utf8(f.read()) else "latin-1"


def hunspell_word(line):
    """The word of a .dic line: what stands before its flags ("/...", where
    "\\/" is a slash of the word) and before its morphological fields."""
    fields = line.split(None, 1)
    if not fields:
        return b""
    word = fields[0].replace(b"\\/", b"\0")
    return word.split(b"/", 1)[0].replace(b"\0", b"/")


def is_utf8(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def sample_lines(data, start, count, seed):
    """Up to count distinct non-empty lines of data from offset start on,
    the same from run to run. A long list is not split: its lines are those
    that hold random offsets, which reads millions of lines in no time and
    favours long lines a little, which does no harm here."""
    rng = random.Random(seed)
    if data.count(b"\n", start) < 4 * count:
        lines = [line for line in data[start:].split(b"\n") if line]
        return lines if len(lines) <= count else rng.sample(lines, count)
    chosen = {}
    for _ in range(2 * count):
        offset = rng.randrange(start, len(data))
        begin = max(data.rfind(b"\n", start, offset) + 1, start)
        end = data.find(b"\n", offset)
        chosen[begin] = data[begin:end if end >= 0 else len(data)]
        if len(chosen) == count:
            break
    return [line for line in chosen.values() if line]


@functools.cache
def raw_words(word_list, count, seed):
    """Up to count words of the list, as the bytes in the file."""
    data, start, _ = contents(word_list)
    lines = sample_lines(data, start, count, seed)
    if word_list.layout == "hunspell":
        lines = [word for word in map(hunspell_word, lines) if word]
    return lines


@functools.cache
def text_words(word_list, count, seed):
    """Up to count words of the list, as str; a word that its encoding
    cannot decode is left out."""
    _, _, encoding = contents(word_list)
    words = []
    for word in raw_words(word_list, count, seed):
        try:
            words.append(word.decode(encoding))
        except UnicodeDecodeError:
            pass
    return tuple(words)


@functools.cache
def undecodable_words():
    """Words of the lists that are not in UTF-8, handed over as the bytes in
    the file: mostly not UTF-8."""
    raw = []
    for word_list in INSTALLED:
        if contents(word_list)[2] != "utf-8":
            drawn = raw_words(word_list, 20 * RAW_FOR_ALL,
                              f"raw:{word_list.name}")
            raw += [word for word in drawn if not word.isascii()][
                :RAW_FOR_ALL]
    return tuple(raw)


def words_for(algorithm, per_language=PER_LANGUAGE,
              per_list=PER_LIST_FOR_ALL):
    """The str words to compare for one algorithm: the built-in sample, a
    few words of every installed list, and many of its language's lists."""
    words = list(BUILT_IN)
    for word_list in INSTALLED:
        words += text_words(word_list, per_list, f"all:{word_list.name}")
        if algorithm in word_list.algorithms:
            words += text_words(word_list, per_language,
                                f"{algorithm}:{word_list.name}")
    return words


def test_every_algorithm_has_words_of_its_language():
    # An algorithm of the linked library that no list is for would only be
    # compared on the few words of other languages: its language needs a
    # Debian list in the tables, or a sample in tests/data.
    listed = {algorithm for table in (DICTIONARIES, HUNSPELL, SAMPLES)
              for algorithms in table.values() for algorithm in algorithms}
    assert sorted(set(Morvane.algorithms()) - listed) == []


def mismatches(words, wanted, got, limit=10):
    assert len(got) == len(wanted)
    return [(w, e, g) for w, e, g in zip(words, wanted, got) if e != g][:limit]


@pytest.mark.parametrize("algorithm", Morvane.algorithms())
def test_stems_agree_with_libstemmer(reference, algorithm):
    texts = words_for(algorithm)
    raw = [*BUILT_IN_RAW, *undecodable_words()]
    lines = [t.encode("utf-8") for t in texts] + raw
    stems = reference_stems(reference, algorithm, lines)
    decodable = [i for i, stem in enumerate(stems) if is_utf8(stem)]

    # str words, cache on (twice: misses, then mostly hits) and off.
    text_words = [texts[i] for i in decodable if i < len(texts)]
    wanted = [stems[i].decode("utf-8")
              for i in decodable if i < len(texts)]
    cached = Morvane.Morvane(algorithm)
    uncached = Morvane.Morvane(algorithm, 0)
    for stemmer in (cached, cached, uncached):
        got = stemmer.stemWords(text_words)
        assert mismatches(text_words, wanted, got) == []
        assert all(type(g) is str for g in got)

    # bytes words, cache off: every stem byte for byte; a stem that is not
    # UTF-8 shows up as the object of the decoding error.
    byte_words = [lines[i] for i in decodable]
    got = uncached.stemWords(byte_words)
    assert mismatches(byte_words, [stems[i] for i in decodable], got) == []
    failed = []
    skip = set(decodable)
    for i, (line, stem) in enumerate(zip(lines, stems)):
        if i in skip:
            continue
        with pytest.raises(UnicodeDecodeError) as excinfo:
            uncached.stemWord(line)
        if excinfo.value.object != stem:
            failed.append((line, stem, excinfo.value.object))
    assert failed == []


# snowballstemmer as a second, independent reference.

ORACLE_PER_LANGUAGE = 2000  # pure Python is slow: fewer words
ORACLE_PER_LIST_FOR_ALL = 20


def release(version):
    """The first three numbers of a version string, as a tuple."""
    return tuple(int(n) for n in re.findall(r"\d+", version)[:3])


def linked_release():
    """The Snowball release of the libstemmer that the module loaded, as
    its Debian package states it (share/doc/libstemmer0d beside the lib
    directory, as on the system and in an extracted package); None for a
    library that no such package brought."""
    path = loaded_libstemmer()
    if path is None:
        return None
    directory = os.path.dirname(os.path.realpath(path))
    for _ in range(3):
        directory = os.path.dirname(directory)
        changelog = os.path.join(directory, "share", "doc", "libstemmer0d",
                                 "changelog.Debian.gz")
        if os.path.isfile(changelog):
            with gzip.open(changelog, "rt", errors="replace") as f:
                match = re.match(r"snowball \((?:\d+:)?([\d.]+)",
                                 f.readline())
            return release(match.group(1)) if match else None
    return None


@pytest.fixture(scope="session")
def snowball():
    """The snowballstemmer module, when it can stand for the linked
    library: the same algorithms, and the same release where the library's
    is known. Without that, a newer or older release would disagree on
    some words, which is no fault of the module's."""
    if UNDER_VALGRIND:
        # Minutes of pure-Python stemming there would check nothing of the
        # module's memory use that the libstemmer comparison does not.
        pytest.skip("under valgrind: snowballstemmer's pure-Python stemming "
                    "is too slow there; the libstemmer comparison checks "
                    "the same calls of the module")
    try:
        module = importlib.import_module("snowballstemmer")
    except ImportError:
        pytest.skip("snowballstemmer is not installed")
    try:
        version = importlib.metadata.version("snowballstemmer")
    except importlib.metadata.PackageNotFoundError:
        version = "(version unknown)"
    theirs, ours = sorted(module.algorithms()), sorted(Morvane.algorithms())
    linked = linked_release()
    if theirs != ours or (linked and release(version) != linked):
        only = sorted(set(theirs) ^ set(ours))
        pytest.skip(
            f"snowballstemmer {version} ({len(theirs)} algorithms) is not "
            f"the release of the linked libstemmer "
            f"({'.'.join(map(str, linked)) if linked else 'release unknown'}"
            f", {len(ours)} algorithms)"
            + (f"; in one only: {', '.join(only)}" if only else ""))
    return module


@pytest.mark.parametrize("algorithm", Morvane.algorithms())
def test_stems_agree_with_snowballstemmer(snowball, algorithm):
    # snowballstemmer takes str only, so the words are str; every one of
    # them is valid Unicode, and case is left as it is: both stem what they
    # are given, letters of either case, digits and marks alike.
    words = words_for(algorithm, ORACLE_PER_LANGUAGE,
                      ORACLE_PER_LIST_FOR_ALL)
    oracle = snowball.stemmer(algorithm)
    wanted = [oracle.stemWord(word) for word in words]
    for stemmer in (Morvane.Morvane(algorithm), Morvane.Morvane(algorithm, 0)):
        assert mismatches(words, wanted, stemmer.stemWords(words)) == []
