"""Stems agree with libstemmer's own output, for every algorithm.

The reference is the very libstemmer that the module loaded, called through
ctypes: sb_stemmer_stem's output for each word. The module must give the
same stems through stemWords, with the cache on and off, for str words and
for bytes words. The words come from the Debian word lists in
/usr/share/dict that are installed (wamerican, wfrench, wngerman, ...), plus
a small built-in multilingual sample that every algorithm gets.
"""

import ctypes
import os
import random

import pytest

import Morvane


def loaded_libstemmer():
    """The path of the libstemmer shared library in this process: the one
    the module was linked with and found, whichever that is."""
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split(maxsplit=5)
                if len(fields) == 6 and os.path.basename(
                        fields[5].strip()).startswith("libstemmer.so"):
                    return fields[5].strip()
    except OSError:
        pass
    return None


DICT_DIR = "/usr/share/dict"

# Word list file -> the algorithms for its language.
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
    "dutch": ("dutch",),
    "catalan": ("catalan",),
    "irish": ("irish",),
}

PER_LANGUAGE = 20000  # words from each matching word list
PER_LIST_FOR_ALL = 150  # words from each word list, for every algorithm
RAW_FOR_ALL = 200  # undecodable lines of Latin-1 lists, as bytes

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


_lists = {}


def word_list(name):
    """The lines of an installed word list, as bytes; its encoding (UTF-8,
    or Latin-1 for the older lists); and, for Latin-1, the lines that are
    not plain ASCII."""
    if name not in _lists:
        with open(os.path.join(DICT_DIR, name), "rb") as f:
            data = f.read()
        lines = [line for line in data.split(b"\n") if line]
        if is_utf8(data):
            _lists[name] = (lines, "utf-8", [])
        else:
            non_ascii = [line for line in lines if not line.isascii()]
            _lists[name] = (lines, "latin-1", non_ascii)
    return _lists[name]


def is_utf8(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def sample(items, count, seed):
    """A sample that stays the same from run to run."""
    if len(items) <= count:
        return list(items)
    return random.Random(seed).sample(items, count)


INSTALLED = [name for name in DICTIONARIES
             if os.path.isfile(os.path.join(DICT_DIR, name))]


def words_for(algorithm):
    """(str words, byte words) to compare for one algorithm."""
    texts = list(BUILT_IN)
    raw = list(BUILT_IN_RAW)
    for name in INSTALLED:
        lines, encoding, non_ascii = word_list(name)
        chosen = sample(lines, PER_LIST_FOR_ALL, f"all:{name}")
        if algorithm in DICTIONARIES[name]:
            chosen += sample(lines, PER_LANGUAGE, f"{algorithm}:{name}")
        texts += [line.decode(encoding) for line in chosen]
        # Latin-1 bytes handed over as they are: mostly not UTF-8.
        raw += sample(non_ascii, RAW_FOR_ALL, f"raw:{name}")
    return texts, raw


def mismatches(words, wanted, got, limit=10):
    assert len(got) == len(wanted)
    return [(w, e, g) for w, e, g in zip(words, wanted, got) if e != g][:limit]


@pytest.mark.parametrize("algorithm", Morvane.algorithms())
def test_stems_agree_with_libstemmer(reference, algorithm):
    texts, raw = words_for(algorithm)
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

