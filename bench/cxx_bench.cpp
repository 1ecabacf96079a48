// The C++ layer against the C calls it wraps: word lookups through
// kelp::word_tree::find and through wtree_find_word on the same tree, and
// checksums through the string_view forms and the pointer-length calls.
#include <kelp.hpp>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyz";

struct Corpus {
    kelp::word_tree tree;
    std::vector<std::string> words;
};

// n random words of 3 to 12 letters, every one stored, looked up in a
// shuffled order so both sides walk the same cold paths.
Corpus &corpus(int n) {
    static std::map<int, Corpus> made;
    auto [it, fresh] = made.try_emplace(n);
    Corpus *c = &it->second;
    if (!fresh)
        return *c;
    c->tree = *kelp::word_tree::create(alphabet);
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> len(3, 12), letter(0, 25);
    for (int i = 0; i < n; ++i) {
        std::string w;
        for (int k = len(rng); k > 0; --k)
            w += alphabet[letter(rng)];
        (void)c->tree.add(w, i % 30000 + 1);
        c->words.push_back(std::move(w));
    }
    std::shuffle(c->words.begin(), c->words.end(), rng);
    return *c;
}

void BM_WtreeFind_C(benchmark::State &state) {
    Corpus &c = corpus(static_cast<int>(state.range(0)));
    const wtree *t = c.tree.get();
    for (auto _ : state)
        for (const std::string &w : c.words)
            benchmark::DoNotOptimize(wtree_find_word(t, w.data(), static_cast<int>(w.size())));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c.words.size()));
}

void BM_WtreeFind_Cxx(benchmark::State &state) {
    Corpus &c = corpus(static_cast<int>(state.range(0)));
    const kelp::word_tree &t = c.tree;
    for (auto _ : state)
        for (const std::string &w : c.words)
            benchmark::DoNotOptimize(t.find(w));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c.words.size()));
}

void BM_ChksumS4xor_C(benchmark::State &state) {
    std::string bytes(static_cast<size_t>(state.range(0)), '\x5a');
    for (auto _ : state)
        benchmark::DoNotOptimize(chksum_s4xor(bytes.data(), static_cast<int>(bytes.size())));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ChksumS4xor_Cxx(benchmark::State &state) {
    std::string bytes(static_cast<size_t>(state.range(0)), '\x5a');
    for (auto _ : state)
        benchmark::DoNotOptimize(kelp::chksum_s4xor(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark *b, std::initializer_list<int64_t> full, int64_t smoke) {
    if (std::getenv("KELP_BENCH_SMOKE") != nullptr) {
        b->Arg(smoke);
        return;
    }
    for (int64_t n : full)
        b->Arg(n);
}

}  // namespace

BENCHMARK(BM_WtreeFind_C)->Apply([](auto *b) { sizes(b, {1000, 100000}, 100); });
BENCHMARK(BM_WtreeFind_Cxx)->Apply([](auto *b) { sizes(b, {1000, 100000}, 100); });
BENCHMARK(BM_ChksumS4xor_C)->Apply([](auto *b) { sizes(b, {64, 65536}, 64); });
BENCHMARK(BM_ChksumS4xor_Cxx)->Apply([](auto *b) { sizes(b, {64, 65536}, 64); });

BENCHMARK_MAIN();
