"""Stems agree with libstemmer's own output, for every algorithm.

A small reference program, built once per session against the same
libstemmer, prints sb_stemmer_stem's output for each input line; the module
must give the same stems through stemWords, with the cache on and off, for
str words and for bytes words. The words come from the Debian word lists in
/usr/share/dict that are installed (wamerican, wfrench, wngerman, ...), plus
a small built-in multilingual sample that every algorithm gets.
"""

import os
import random
import shutil
import subprocess

import pytest

import Morvane

REFERENCE_SOURCE = r"""
#include <stdio.h>
#include <stdlib.h>
#include <libstemmer.h>

/* Prints the stem of every stdin line, as hex, one per line. */
int
main(int argc, char **argv)
{
    if (argc != 2) {
        return 2;
    }
    struct sb_stemmer *stemmer = sb_stemmer_new(argv[1], "UTF_8");
    if (stemmer == NULL) {
        return 3;
    }
    char *line = NULL;
    size_t capacity = 0;
    ssize_t n;
    while ((n = getline(&line, &capacity, stdin)) >= 0) {
        if (n > 0 && line[n - 1] == '\n') {
            --n;
        }
        const sb_symbol *stem =
            sb_stemmer_stem(stemmer, (const sb_symbol *)line, (int)n);
        if (stem == NULL) {
            return 4;
        }
        int length = sb_stemmer_length(stemmer);
        for (int i = 0; i < length; ++i) {
            printf("%02x", stem[i]);
        }
        putchar('\n');
    }
    free(line);
    sb_stemmer_delete(stemmer);
    return 0;
}
"""

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
def reference(tmp_path_factory):
    """The path of the reference program, built once per session."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler (g++) to build the libstemmer reference")
    directory = tmp_path_factory.mktemp("stem_reference")
    source = directory / "stem_reference.cpp"
    program = directory / "stem_reference"
    source.write_text(REFERENCE_SOURCE)
    built = subprocess.run(
        [compiler, "-O1", "-o", str(program), str(source), "-lstemmer"],
        capture_output=True, text=True,
    )
    if built.returncode != 0:
        pytest.skip("cannot build the libstemmer reference program: "
                    + built.stderr.strip()[-500:])
    return str(program)


def reference_stems(program, algorithm, lines):
    """libstemmer's stems of the byte lines, as bytes."""
    assert not any(b"\n" in line for line in lines)
    done = subprocess.run(
        [program, algorithm], input=b"".join(line + b"\n" for line in lines),
        capture_output=True, check=True,
    )
    stems = [bytes.fromhex(h) for h in done.stdout.decode("ascii").split("\n")]
    assert stems.pop() == b""  # after the last newline
    assert len(stems) == len(lines)
    return stems


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

