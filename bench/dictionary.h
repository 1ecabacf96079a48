// Words for the benchmarks: the system dictionary (Debian's wamerican) in
// its own order, and beyond its size generated words of its shape.
#pragma once

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace bench {

// Words of a dictionary's shape: mostly lower case, some capitalised, a few
// possessives, lengths around eight; none of them in avoid.
inline std::vector<std::string> generated_words(size_t n, const std::set<std::string> &avoid) {
    static const char common[] = "eeeeeeaaaarrrriiiioooottttnnnnssssllllccuudpmhgbfywkvxzjq";
    std::mt19937 rng(42);
    std::set<std::string> seen;
    while (seen.size() < n) {
        std::string w(3 + rng() % 6 + rng() % 6, ' ');
        for (char &c : w)
            c = common[rng() % (sizeof common - 1)];
        if (rng() % 10 == 0)
            w[0] = static_cast<char>(w[0] - 'a' + 'A');
        if (rng() % 8 == 0)
            w += "'s";
        if (!avoid.contains(w))
            seen.insert(w);
    }
    return {seen.begin(), seen.end()};
}

// The system dictionary's distinct words, sorted; empty without one.
inline const std::vector<std::string> &system_dictionary() {
    static const std::vector<std::string> words = [] {
        std::set<std::string> all;
        std::ifstream in("/usr/share/dict/words");
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                all.insert(line);
        return std::vector<std::string>(all.begin(), all.end());
    }();
    return words;
}

// n distinct words in sorted order: an even spread over the dictionary
// when it has that many, else all of it and generated words to make up n.
inline std::vector<std::string> dictionary_words(size_t n) {
    const std::vector<std::string> &all = system_dictionary();
    std::vector<std::string> words;
    if (all.size() >= n) {
        for (size_t i = 0; i < n; ++i)
            words.push_back(all[i * all.size() / n]);
        return words;
    }
    words = all;
    for (std::string &w : generated_words(n - all.size(), {all.begin(), all.end()}))
        words.push_back(std::move(w));
    std::sort(words.begin(), words.end());
    return words;
}

}  // namespace bench
