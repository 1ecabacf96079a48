// The C++ layer against the C calls it wraps: word lookups through
// kelp::word_tree::find and through wtree_find_word on the same tree,
// checksums through the string_view forms and the pointer-length calls, and
// 1 MiB through cat with command::communicate and with the C calls and a
// poll loop written out.
#include <kelp.hpp>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <cstdio>
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

char *cat_argv[] = {const_cast<char *>("cat"), nullptr};

// What communicate does, in C: both descriptors non-blocking, poll on both,
// the input closed once written.
std::string communicate_c(const std::string &input, int *status) {
    int rfd, wfd, pid;
    std::string out;
    if (run_syscmd(nullptr, cat_argv, &rfd, &wfd, &pid, nullptr, nullptr, 0) != 0)
        return out;
    fcntl(rfd, F_SETFL, O_NONBLOCK);
    fcntl(wfd, F_SETFL, O_NONBLOCK);
    size_t sent = 0;
    char chunk[65536];
    for (;;) {
        pollfd p[2] = {{rfd, POLLIN, 0}, {wfd, POLLOUT, 0}};
        if (poll(p, wfd >= 0 ? 2 : 1, -1) < 0)
            continue;
        if (p[0].revents != 0) {
            ssize_t n = read(rfd, chunk, sizeof chunk);
            if (n == 0)
                break;
            if (n > 0)
                out.append(chunk, static_cast<size_t>(n));
        }
        if (wfd >= 0 && p[1].revents != 0) {
            ssize_t n =
                write(wfd, input.data() + sent, std::min(input.size() - sent, sizeof chunk));
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            if (sent == input.size()) {
                close(wfd);
                wfd = -1;
            }
        }
    }
    *status = close_syscmd(rfd, wfd, pid);
    return out;
}

void BM_CommunicateCat_C(benchmark::State &state) {
    const std::string input(static_cast<size_t>(state.range(0)), 'k');
    for (auto _ : state) {
        int status = -1;
        benchmark::DoNotOptimize(communicate_c(input, &status));
        benchmark::DoNotOptimize(status);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_CommunicateCat_Cxx(benchmark::State &state) {
    const std::string input(static_cast<size_t>(state.range(0)), 'k');
    for (auto _ : state) {
        auto cat = kelp::command::run({"cat"});
        benchmark::DoNotOptimize(cat->communicate(input));
    }
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

BENCHMARK(BM_CommunicateCat_C)->Apply([](auto *b) { sizes(b, {1 << 20}, 4096); });
BENCHMARK(BM_CommunicateCat_Cxx)->Apply([](auto *b) { sizes(b, {1 << 20}, 4096); });

int main(int argc, char **argv) {
    signal(SIGCHLD, SIG_DFL);  // close_syscmd needs the child's status
    signal(SIGPIPE, SIG_IGN);  // the C loop writes without guarding against it
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
