// The speed limit for the Python benchmarks: libstemmer called from a plain
// C++ loop over the same words, with nothing copied and no Python objects.
//
// Build: g++ -O2 -std=c++20 c_loop.cpp -o c_loop -lstemmer
// Usage: c_loop WORDFILE [ALGORITHM [REPETITIONS]]
//
// WORDFILE holds one UTF-8 word a line. Prints, one "key value" pair a line:
// words, repetitions, best_ns_per_word, median_ns_per_word, checksum (the
// sum of all stem lengths of one pass, so the loop cannot be dropped).
#include <libstemmer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string>
load_words(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "c_loop: cannot read %s\n", path);
        std::exit(2);
    }
    std::vector<std::string> words;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        words.push_back(line);
    }
    return words;
}

// One pass over every word; answers the sum of the stem lengths.
long long
stem_all(sb_stemmer *stemmer, const std::vector<std::string> &words)
{
    long long total = 0;
    for (const std::string &word : words) {
        const sb_symbol *stem = sb_stemmer_stem(
            stemmer, reinterpret_cast<const sb_symbol *>(word.data()),
            static_cast<int>(word.size()));
        if (stem == nullptr) {
            std::fprintf(stderr, "c_loop: sb_stemmer_stem failed\n");
            std::exit(3);
        }
        total += sb_stemmer_length(stemmer);
    }
    return total;
}

}  // namespace

int
main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr,
                     "usage: c_loop WORDFILE [ALGORITHM [REPETITIONS]]\n");
        return 2;
    }
    const char *algorithm = argc > 2 ? argv[2] : "english";
    const int repetitions = argc > 3 ? std::atoi(argv[3]) : 5;
    if (repetitions < 1) {
        std::fprintf(stderr, "c_loop: REPETITIONS must be at least 1\n");
        return 2;
    }
    const std::vector<std::string> words = load_words(argv[1]);
    if (words.empty()) {
        std::fprintf(stderr, "c_loop: no words in %s\n", argv[1]);
        return 2;
    }
    sb_stemmer *stemmer = sb_stemmer_new(algorithm, "UTF_8");
    if (stemmer == nullptr) {
        std::fprintf(stderr, "c_loop: unknown algorithm %s\n", algorithm);
        return 2;
    }

    // An untimed pass first: it faults in the words and lets libstemmer
    // grow its buffers, which a long-lived Python instance has done too.
    const long long checksum = stem_all(stemmer, words);
    std::vector<double> ns_per_word;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const long long total = stem_all(stemmer, words);
        const auto stop = std::chrono::steady_clock::now();
        if (total != checksum) {
            std::fprintf(stderr, "c_loop: checksum changed between passes\n");
            return 3;
        }
        const std::chrono::duration<double, std::nano> elapsed = stop - start;
        ns_per_word.push_back(elapsed.count() /
                              static_cast<double>(words.size()));
    }
    sb_stemmer_delete(stemmer);

    std::sort(ns_per_word.begin(), ns_per_word.end());
    const std::size_t n = ns_per_word.size();
    const double median = n % 2 == 1 ? ns_per_word[n / 2]
                                     : (ns_per_word[n / 2 - 1] +
                                        ns_per_word[n / 2]) / 2.0;
    std::printf("words %zu\n", words.size());
    std::printf("repetitions %d\n", repetitions);
    std::printf("best_ns_per_word %.3f\n", ns_per_word.front());
    std::printf("median_ns_per_word %.3f\n", median);
    std::printf("checksum %lld\n", checksum);
    return 0;
}
