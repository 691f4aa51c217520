"""The module's docstrings, exactly as they must read."""

MODULE_DOC = "Morvane: stemming algorithms from the snowball project.\n\n"


ALGORITHMS_DOC = (
    "Get a list of the names of the available stemming algorithms.\n"
    "    \n"
    "    Note that there are also aliases for these algorithm"
    " names, which are not\n"
    "    included in this list by default.  If the 'aliases'"
    " keyword parameter is\n"
    "    False, this list is guaranteed to contain precisely one"
    " entry for each\n"
    "    available stemming algorithm.  Otherwise, all known"
    " aliases for algorithms\n"
    "    will be included in the list.\n"
    "\n"
    "    Note that the classic Porter stemming algorithm for English is\n"
    "    available by default: although this has been superseded"
    " by an improved\n"
    "    algorithm, the original algorithm may be of interest to information\n"
    "    retrieval researchers wishing to reproduce results of earlier\n"
    '    experiments.  Most users will want to use the "english" algorithm,\n'
    '    instead of the "porter" algorithm.\n'
    "\n"
    "    "
)


VERSION_DOC = (
    "Get the version string of the stemming module.\n"
    "\n"
    "    This version number is for the Morvane module as a"
    " whole (not for an\n"
    "    individual stemming algorithm).\n"
    "\n"
    "    "
)


CLASS_DOC = (
    "An instance of a stemming algorithm.\n"
    "\n"
    "    The algorithm has internal state, so must not be called"
    " concurrently.\n"
    "    ie, only a single thread should access the instance at"
    " any given time.\n"
    "\n"
    "    When creating a `Morvane` object, there is one required"
    " argument: the\n"
    "    name of the algorithm to use in the new stemmer.  A"
    " list of the valid\n"
    "    algorithm names may be obtained by calling the"
    " `algorithms()` function\n"
    "    in this module.  In addition, the appropriate stemming"
    " algorithm for a\n"
    "    given language may be obtained by using the 2 or 3 letter ISO 639\n"
    "    language codes.\n"
    "\n"
    "    A second optional argument to the constructor for"
    " `Morvane` is the size\n"
    "    of cache to use.  The cache implemented in this module"
    " is not terribly\n"
    "    efficient, but benchmarks show that it approximately doubles\n"
    "    performance for typical text processing operations,"
    " without too much\n"
    "    memory overhead.  The cache may be disabled by passing a size of 0.\n"
    "    The default size (10000 words) is probably appropriate in most\n"
    "    situations.  In pathological cases (for example, when no word is\n"
    "    presented to the stemming algorithm more than once, so the cache is\n"
    "    useless), the cache can severely damage performance.\n"
    "\n"
    '    The "benchmark.py" script supplied with the Tarnwick'
    " distribution can\n"
    "    be used to test the performance of the stemming"
    " algorithms with various\n"
    "    cache sizes.\n"
    "\n"
    "    "
)


INIT_DOC = (
    "Initialise a stemmer.\n"
    "\n"
    "        See the class documentation for details.\n"
    "\n"
    "        "
)


MAXCACHESIZE_DOC = (
    "Maximum number of entries to allow in the cache.\n"
    "\n"
    "        This may be set to zero to disable the cache entirely.\n"
    "\n"
    "        The maximum cache size may be set at any point - setting the\n"
    "        maximum size will purge entries from the cache if"
    " the new maximum\n"
    "        size is smaller than the current size.\n"
    "\n"
    "        "
)


STEMWORD_DOC = (
    "Stem a word.\n"
    "\n"
    "        This takes a single argument, ``word``, which"
    " should either be a UTF-8\n"
    "        encoded string, or a unicode object.\n"
    "\n"
    "        The result is the stemmed form of the word.  If the"
    " word supplied\n"
    "        was a unicode object, the result will be a unicode"
    " object: if the\n"
    "        word supplied was a string, the result will be a UTF-8 encoded\n"
    "        string.\n"
    "\n"
    "        "
)


STEMWORDS_DOC = (
    "Stem a list of words.\n"
    "\n"
    "        This takes a single argument, ``words``, which must"
    " be a sequence,\n"
    "        iterator, generator or similar.\n"
    "\n"
    "        The entries in ``words`` should either be UTF-8"
    " encoded strings, or a\n"
    "        unicode objects.\n"
    "\n"
    "        The result is a list of the stemmed forms of the words.  If the\n"
    "        word supplied was a unicode object, the stemmed form will be a\n"
    "        unicode object: if the word supplied was a string,"
    " the stemmed form\n"
    "        will be a UTF-8 encoded string.\n"
    "\n"
    "        "
)
