// Word tree against std::unordered_map<std::string, int16_t> and a
// double-array trie (when one is installed) on a dictionary, in the
// situations a program meets:
//
// - insert/<peer>/repeated: one build after another in one process, each
//   released before the next (a later word tree takes the memory of the one
//   before);
// - insert/<peer>/first_in_process: the first build of a new process, which
//   touches all of its memory for the first time;
// - lookup/<peer>/warm: every word in a shuffled order, pass after pass over
//   one structure;
// - lookup/<peer>/fresh_process: one such pass right after the build, in a
//   new process.
//
// The fresh-process rows run this program again (fork and exec) with
// --child, once per timed iteration; the child writes its figures to a pipe:
// wall and CPU seconds of the timed part, and the memory the structure holds
// (malloc's blocks in use and the mappings made outside malloc).
#include <benchmark/benchmark.h>

#include <kelp.h>

#include "dictionary.h"

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
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
    std::vector<std::string> words;   // in the dictionary's (sorted) order
    std::vector<std::string> probes;  // the same words, shuffled
    std::string alphabet;             // every byte the words use
};

// The words of one series point, made once.
const Dictionary &dictionary(size_t n) {
    static std::map<size_t, Dictionary> made;
    auto [it, fresh] = made.try_emplace(n);
    Dictionary &d = it->second;
    if (!fresh)
        return d;
    d.words = bench::dictionary_words(n);
    std::set<unsigned char> bytes;
    for (const std::string &w : d.words)
        bytes.insert(w.begin(), w.end());
    d.alphabet.assign(bytes.begin(), bytes.end());
    d.probes = d.words;
    std::shuffle(d.probes.begin(), d.probes.end(), std::mt19937(7));
    return d;
}

// Memory the process holds for data: malloc's blocks in use plus every
// private writable mapping that is not malloc's (the word tree's big chunks).
double held_bytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    statm >> size >> resident >> shared >> text >> lib >> data;
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks) + static_cast<double>(data) * 4096.0 -
           static_cast<double>(m.arena);
}

int16_t token_of(size_t i) {
    return static_cast<int16_t>(i % 32767 + 1);
}

// The three structures behind one face: built from the dictionary,
// released by the destructor, and a pass of lookups over the probes.
class WordTree {
  public:
    explicit WordTree(const Dictionary &d)
        : t_(wtree_create(d.alphabet.data(), static_cast<int>(d.alphabet.size()), 0)) {
        for (size_t i = 0; i < d.words.size(); ++i)
            wtree_add_word(t_, d.words[i].data(), static_cast<int>(d.words[i].size()), token_of(i));
    }
    ~WordTree() { wtree_destroy(t_); }
    WordTree(const WordTree &) = delete;
    WordTree &operator=(const WordTree &) = delete;
    long find_all(const Dictionary &d) const {
        long found = 0;
        for (const std::string &w : d.probes)
            found += wtree_find_word(t_, w.data(), static_cast<int>(w.size())) != NOTOK;
        return found;
    }
    // The tree's own count of its bytes.
    double counted() const { return t_->counts.byte_cnt; }

  private:
    wtree *t_;
};

class Map {
  public:
    explicit Map(const Dictionary &d) {
        for (size_t i = 0; i < d.words.size(); ++i)
            m_.emplace(d.words[i], token_of(i));
    }
    long find_all(const Dictionary &d) const {
        long found = 0;
        for (const std::string &w : d.probes)
            found += m_.find(w) != m_.end();
        return found;
    }
    double counted() const { return 0; }

  private:
    std::unordered_map<std::string, int16_t> m_;
};

#ifdef KELP_HAVE_DATRIE
// Keys as the trie takes them: one AlphaChar per byte and a terminating 0,
// made before any timing starts.
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

const std::vector<std::vector<AlphaChar>> &keys_of(const std::vector<std::string> &words) {
    static std::map<const void *, std::vector<std::vector<AlphaChar>>> made;
    auto [it, fresh] = made.try_emplace(&words);
    if (fresh)
        it->second = datrie_keys(words);
    return it->second;
}

// Alphabet: the bytes the words use, each a range of its own.
class DaTrie {
  public:
    explicit DaTrie(const Dictionary &d) {
        const auto &keys = keys_of(d.words);
        AlphaMap *alpha = alpha_map_new();
        for (unsigned char c : d.alphabet)
            alpha_map_add_range(alpha, c, c);
        trie_ = trie_new(alpha);
        alpha_map_free(alpha);
        for (size_t i = 0; i < keys.size(); ++i)
            trie_store(trie_, keys[i].data(), token_of(i));
    }
    ~DaTrie() { trie_free(trie_); }
    DaTrie(const DaTrie &) = delete;
    DaTrie &operator=(const DaTrie &) = delete;
    long find_all(const Dictionary &d) const {
        long found = 0;
        TrieData data;
        for (const auto &k : keys_of(d.probes))
            found += trie_retrieve(trie_, k.data(), &data);
        return found;
    }
    double counted() const { return 0; }

  private:
    Trie *trie_;
};
#endif

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// What one child measured.
struct Figures {
    double wall = 0, cpu = 0, heap = 0, counted = 0;
};

// The child's work: one build ("insert": timed) or one build and one timed
// pass of lookups ("lookup"); the heap is what the build took.
template <class S>
Figures measure_once(const std::string &op, const Dictionary &d) {
    Figures f;
    const double heap_before = held_bytes();
    auto wall = std::chrono::steady_clock::now();
    double cpu = cpu_seconds();
    S s(d);
    if (op == "insert") {
        f.wall = seconds(wall), f.cpu = cpu_seconds() - cpu;
        f.heap = held_bytes() - heap_before;
    } else {
        f.heap = held_bytes() - heap_before;
        wall = std::chrono::steady_clock::now(), cpu = cpu_seconds();
        benchmark::DoNotOptimize(s.find_all(d));
        f.wall = seconds(wall), f.cpu = cpu_seconds() - cpu;
    }
    f.counted = s.counted();
    return f;
}

int child_main(const std::string &op, const std::string &peer, size_t n) {
    const Dictionary &d = dictionary(n);
#ifdef KELP_HAVE_DATRIE
    if (peer == "datrie")  // the keys are made before the heap is read
        keys_of(d.words), keys_of(d.probes);
#endif
    Figures f;
    if (peer == "wtree")
        f = measure_once<WordTree>(op, d);
    else if (peer == "unordered_map")
        f = measure_once<Map>(op, d);
#ifdef KELP_HAVE_DATRIE
    else if (peer == "datrie")
        f = measure_once<DaTrie>(op, d);
#endif
    else
        return 2;
    std::printf("%.9f %.9f %.0f %.0f\n", f.wall, f.cpu, f.heap, f.counted);
    return 0;
}

// Runs this program as a child that measures once; false when it failed.
bool run_child(const std::string &op, const std::string &peer, int64_t n, Figures &f) {
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        const std::string count = std::to_string(n);
        execl("/proc/self/exe", "wtree_bench", "--child", op.c_str(), peer.c_str(), count.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t got; (got = read(fds[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(got));
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    return std::sscanf(out.c_str(), "%lf %lf %lf %lf", &f.wall, &f.cpu, &f.heap, &f.counted) == 4;
}

void report(benchmark::State &state, size_t words) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(words));
}

// One child per iteration, timed by its own clock.
void fresh_process(benchmark::State &state, std::string op, std::string peer) {
    Figures f, sum;
    for (auto _ : state) {
        if (!run_child(op, peer, state.range(0), f)) {
            state.SkipWithError("the child failed");
            return;
        }
        state.SetIterationTime(f.wall);
        sum.cpu += f.cpu, sum.heap = f.heap, sum.counted = f.counted;
    }
    const auto words = static_cast<double>(state.range(0));
    report(state, static_cast<size_t>(state.range(0)));
    state.counters["cpu_ms"] = sum.cpu * 1e3 / static_cast<double>(state.iterations());
    state.counters["bytes/word"] = sum.heap / words;
    if (sum.counted > 0)
        state.counters["counted/word"] = sum.counted / words;
}

// Builds and releases the structure once per iteration; only the build is
// timed.
template <class S>
void insert_repeated(benchmark::State &state) {
    const Dictionary &d = dictionary(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        const auto wall = std::chrono::steady_clock::now();
        S s(d);
        state.SetIterationTime(seconds(wall));
    }
    report(state, d.words.size());
}

template <class S>
void lookup_warm(benchmark::State &state) {
    const Dictionary &d = dictionary(static_cast<size_t>(state.range(0)));
    S s(d);
    for (auto _ : state)
        benchmark::DoNotOptimize(s.find_all(d));
    report(state, d.words.size());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::string(argv[1]) == "--child")
        return child_main(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
    benchmark::Initialize(&argc, argv);
    // The whole dictionary is the point the table quotes; the others make
    // the series from a thousand words to a million.
    const size_t all = bench::system_dictionary().empty() ? 100000 : bench::system_dictionary().size();
    const bool smoke = std::getenv("KELP_BENCH_SMOKE") != nullptr;
    std::vector<int64_t> sizes{1000};
    if (!smoke)
        sizes = {1000, 10000, static_cast<int64_t>(all), 300000, 1000000};
    benchmark::AddCustomContext("dictionary_words", std::to_string(all));
    struct Way {
        std::string name;
        void (*fn)(benchmark::State &);
    };
    std::vector<Way> ways{{"lookup/wtree/warm", lookup_warm<WordTree>},
                          {"lookup/unordered_map/warm", lookup_warm<Map>},
                          {"insert/wtree/repeated", insert_repeated<WordTree>},
                          {"insert/unordered_map/repeated", insert_repeated<Map>}};
    std::vector<std::string> peers{"wtree", "unordered_map"};
#ifdef KELP_HAVE_DATRIE
    ways.push_back({"lookup/datrie/warm", lookup_warm<DaTrie>});
    ways.push_back({"insert/datrie/repeated", insert_repeated<DaTrie>});
    peers.push_back("datrie");
#endif
    for (int64_t n : sizes)
        for (const Way &w : ways) {
            auto *b = benchmark::RegisterBenchmark(w.name.c_str(), w.fn)->Arg(n);
            if (w.name.starts_with("insert"))
                b->UseManualTime();
            b->Unit(benchmark::kMillisecond);
        }
    // New processes at the dictionary's size only: each is a few tenths of
    // a second of loading the words before the timed part.
    for (const char *op : {"insert", "lookup"})
        for (const std::string &peer : peers) {
            const std::string name =
                std::string(op) + "/" + peer + (*op == 'i' ? "/first_in_process" : "/fresh_process");
            benchmark::RegisterBenchmark(name.c_str(), fresh_process, op, peer)
                ->Arg(smoke ? 1000 : static_cast<int64_t>(all))
                ->Iterations(smoke ? 1 : 3)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
