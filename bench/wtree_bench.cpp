// Word tree against std::unordered_map<std::string, int16_t> (and a
// double-array trie when one is installed) on a dictionary: insertions and
// lookups per second, and the heap each structure holds per word.
#include <benchmark/benchmark.h>

#include <kelp.h>

#include <malloc.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#ifdef KELP_HAVE_DATRIE
#include <datrie/trie.h>
#endif

namespace {

struct Dictionary {
    std::vector<std::string> words;   // in insertion order
    std::vector<std::string> probes;  // the same words, shuffled
    std::string alphabet;             // every byte the words use
};

// Words of a dictionary's shape: mostly lower case, some capitalised, a few
// possessives, lengths around eight.
std::vector<std::string> generated(size_t n) {
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
        seen.insert(w);
    }
    return {seen.begin(), seen.end()};
}

const Dictionary &dictionary() {
    static const Dictionary dict = [] {
        const size_t want = std::getenv("KELP_BENCH_SMOKE") != nullptr ? 1000 : 100000;
        std::vector<std::string> all;
        std::ifstream in("/usr/share/dict/words");
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                all.push_back(line);
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        Dictionary d;
        if (all.size() < want / 2) {
            d.words = generated(want);
        } else {
            // An even spread keeps the list's shape at any size.
            size_t n = std::min(want, all.size());
            for (size_t i = 0; i < n; ++i)
                d.words.push_back(all[i * all.size() / n]);
        }
        std::set<unsigned char> bytes;
        for (const std::string &w : d.words)
            bytes.insert(w.begin(), w.end());
        d.alphabet.assign(bytes.begin(), bytes.end());
        d.probes = d.words;
        std::shuffle(d.probes.begin(), d.probes.end(), std::mt19937(7));
        return d;
    }();
    return dict;
}

size_t heap_in_use() {
    return mallinfo2().uordblks;
}

int16_t token_of(size_t i) {
    return static_cast<int16_t>(i % 32767 + 1);
}

wtree *build_wtree(const Dictionary &d) {
    wtree *t = wtree_create(d.alphabet.data(), static_cast<int>(d.alphabet.size()), 0);
    for (size_t i = 0; i < d.words.size(); ++i)
        wtree_add_word(t, d.words[i].c_str(), static_cast<int>(d.words[i].size()), token_of(i));
    return t;
}

using Map = std::unordered_map<std::string, int16_t>;

Map build_map(const Dictionary &d) {
    Map m;
    for (size_t i = 0; i < d.words.size(); ++i)
        m.emplace(d.words[i], token_of(i));
    return m;
}

void report(benchmark::State &state, size_t lookups, size_t heap) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lookups));
    state.counters["bytes/word"] =
        static_cast<double>(heap) / static_cast<double>(dictionary().words.size());
}

// Builds and releases the structure once per iteration; only the build is
// timed, and the heap it took is reported per word.
template <typename Build, typename Release>
void time_builds(benchmark::State &state, Build build, Release release) {
    size_t heap = 0;
    for (auto _ : state) {
        size_t before = heap_in_use();
        auto *built = build();
        heap = heap_in_use() - before;
        state.PauseTiming();
        release(built);
        state.ResumeTiming();
    }
    report(state, dictionary().words.size(), heap);
}

void wtree_insert(benchmark::State &state) {
    time_builds(
        state, [] { return build_wtree(dictionary()); }, wtree_destroy);
}

void wtree_lookup(benchmark::State &state) {
    const Dictionary &d = dictionary();
    size_t before = heap_in_use();
    wtree *t = build_wtree(d);
    size_t heap = heap_in_use() - before;
    for (auto _ : state) {
        long found = 0;
        for (const std::string &w : d.probes)
            found += wtree_find_word(t, w.data(), static_cast<int>(w.size())) != NOTOK;
        benchmark::DoNotOptimize(found);
    }
    wtree_counts c{};
    wtree_stats(t, &c);
    state.counters["counted/word"] = static_cast<double>(c.byte_cnt) / c.word_cnt;
    wtree_destroy(t);
    report(state, d.probes.size(), heap);
}

void map_insert(benchmark::State &state) {
    time_builds(
        state, [] { return new Map(build_map(dictionary())); }, [](Map *m) { delete m; });
}

void map_lookup(benchmark::State &state) {
    const Dictionary &d = dictionary();
    size_t before = heap_in_use();
    Map m = build_map(d);
    size_t heap = heap_in_use() - before;
    for (auto _ : state) {
        long found = 0;
        for (const std::string &w : d.probes)
            found += m.find(w) != m.end();
        benchmark::DoNotOptimize(found);
    }
    report(state, d.probes.size(), heap);
}

#ifdef KELP_HAVE_DATRIE
std::vector<std::vector<AlphaChar>> datrie_keys(const std::vector<std::string> &words) {
    std::vector<std::vector<AlphaChar>> keys;
    for (const std::string &w : words) {
        std::vector<AlphaChar> k(w.begin(), w.end());
        for (AlphaChar &c : k)
            c &= 0xFF;
        k.push_back(0);
        keys.push_back(std::move(k));
    }
    return keys;
}

Trie *build_datrie(const Dictionary &d, const std::vector<std::vector<AlphaChar>> &keys) {
    AlphaMap *alpha = alpha_map_new();
    for (unsigned char c : d.alphabet)
        alpha_map_add_range(alpha, c, c);
    Trie *trie = trie_new(alpha);
    alpha_map_free(alpha);
    for (size_t i = 0; i < keys.size(); ++i)
        trie_store(trie, keys[i].data(), token_of(i));
    return trie;
}

void datrie_insert(benchmark::State &state) {
    auto keys = datrie_keys(dictionary().words);
    time_builds(
        state, [&] { return build_datrie(dictionary(), keys); }, trie_free);
}

void datrie_lookup(benchmark::State &state) {
    const Dictionary &d = dictionary();
    auto keys = datrie_keys(d.words);
    auto probes = datrie_keys(d.probes);
    size_t before = heap_in_use();
    Trie *trie = build_datrie(d, keys);
    size_t heap = heap_in_use() - before;
    for (auto _ : state) {
        long found = 0;
        TrieData data;
        for (const auto &k : probes)
            found += trie_retrieve(trie, k.data(), &data);
        benchmark::DoNotOptimize(found);
    }
    trie_free(trie);
    report(state, probes.size(), heap);
}
#endif

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    const Dictionary &d = dictionary();
    benchmark::AddCustomContext("words", std::to_string(d.words.size()));
    benchmark::AddCustomContext("alphabet", std::to_string(d.alphabet.size()) + " bytes");
    benchmark::RegisterBenchmark("lookup/wtree", wtree_lookup)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("lookup/unordered_map", map_lookup)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("insert/wtree", wtree_insert)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("insert/unordered_map", map_insert)->Unit(benchmark::kMillisecond);
#ifdef KELP_HAVE_DATRIE
    benchmark::RegisterBenchmark("lookup/datrie", datrie_lookup)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("insert/datrie", datrie_insert)->Unit(benchmark::kMillisecond);
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
