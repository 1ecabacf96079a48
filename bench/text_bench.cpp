// Text utilities against the usual ways of doing the same job, side by side:
// strsub against a std::string rebuilt in one pass (and GLib's in-place
// replace when available), port_strcasecmp against strcasecmp on dictionary
// words in three locales, buf2hex and comma_number against snprintf loops.
#include <benchmark/benchmark.h>

#include <kelp.h>

#include "dictionary.h"

#include <cctype>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <langinfo.h>
#include <strings.h>
#include <vector>

#ifdef KELP_HAVE_GLIB
#include <glib.h>
#endif

namespace {

constexpr const char *needle = "needle";  // 6 bytes
constexpr const char *longer = "haystack";
constexpr const char *shorter = "pin";

// Text of n bytes where about a tenth of the bytes are occurrences of needle.
std::string make_text(size_t n) {
    static const char *words[] = {"alpha ", "november ", "charlie ", "needs ", "echo ", "india ", "golf "};
    std::string s;
    s.reserve(n + 16);
    unsigned seed = 12345;
    size_t filler = 0;
    while (s.size() < n) {
        seed = seed * 1103515245 + 12345;
        if (filler >= 54) {  // 6 needle bytes per ~60 bytes
            s += needle;
            s += ' ';
            filler = 0;
        } else {
            const char *w = words[(seed >> 16) % 7];
            s += w;
            filler += std::strlen(w);
        }
    }
    s.resize(n);
    return s;
}

std::string rebuild(std::string_view in, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(in.size() + in.size() / 4);
    size_t pos = 0;
    for (size_t at; (at = in.find(from, pos)) != std::string_view::npos; pos = at + from.size()) {
        out.append(in, pos, at - pos);
        out.append(to);
    }
    out.append(in, pos);
    return out;
}

// Times the work of one iteration alone, with two reads of the wall clock
// for every peer. Set-up between iterations (restoring the text) stays
// outside without stopping the benchmark's timers: each stop is a system
// call, and under load a process preempted in one is charged for the wait,
// which only the peers that need set-up would pay.
template <typename Work>
void time_work(benchmark::State &state, Work work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void bm_strsub(benchmark::State &state, const char *to) {
    const std::string text = make_text(static_cast<size_t>(state.range(0)));
    std::vector<char> buf(text.size() + text.size() / 2 + 1);
    for (auto _ : state) {
        std::memcpy(buf.data(), text.c_str(), text.size() + 1);
        time_work(state, [&] {
            benchmark::DoNotOptimize(strsub(buf.data(), static_cast<int>(buf.size()), needle, to, 0));
        });
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void bm_rebuild(benchmark::State &state, const char *to) {
    const std::string text = make_text(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::string out;
        time_work(state, [&] { out = rebuild(text, needle, to); });
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

#ifdef KELP_HAVE_GLIB
void bm_glib(benchmark::State &state, const char *to) {
    const std::string text = make_text(static_cast<size_t>(state.range(0)));
    GString *g = g_string_sized_new(text.size() + text.size() / 2 + 1);
    for (auto _ : state) {
        g_string_assign(g, text.c_str());
        time_work(state, [&] { benchmark::DoNotOptimize(g_string_replace(g, needle, to, 0)); });
    }
    g_string_free(g, TRUE);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
#endif

// Pairs to compare, 4096 of them: dictionary words against the same words
// with each letter's case flipped at random (equal ignoring case), against
// other dictionary words drawn at random, or long keys against the same
// keys that differ only in their last letter's case.
enum class Pairs { random_flips, random_pairs, same_case };

std::pair<std::vector<std::string>, std::vector<std::string>> pairs(Pairs how) {
    std::mt19937 rng(11);
    std::vector<std::string> a, b, words = bench::dictionary_words(100000);
    for (int i = 0; i < 4096; ++i) {
        std::string w = words[rng() % words.size()];
        if (how == Pairs::same_case)
            w = "Configuration-Key-" + w + "-" + std::to_string(i * 7919) + "-Value";
        std::string v = how == Pairs::random_pairs ? words[rng() % words.size()] : w;
        for (size_t k = 0; k < v.size(); ++k) {
            const bool flip = how == Pairs::random_flips ? rng() % 2 != 0 : k + 1 == v.size();
            if (how != Pairs::random_pairs && flip && std::isalpha(static_cast<unsigned char>(v[k])))
                v[k] = static_cast<char>(v[k] ^ 0x20);
        }
        a.push_back(w);
        b.push_back(v);
    }
    return {a, b};
}

// Each row runs in its own locale, set around it: the C locale, a UTF-8 one
// (whose case table is plain ASCII too) and one where bytes above 127 have
// case.
template <int (*Cmp)(const char *, const char *)>
void bm_casecmp(benchmark::State &state, Pairs how, const char *locale) {
    const auto [a, b] = pairs(how);
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    if (std::setlocale(LC_CTYPE, locale) == nullptr) {
        state.SkipWithError("locale not installed");
        return;
    }
    for (auto _ : state)
        for (size_t i = 0; i < a.size(); ++i)
            benchmark::DoNotOptimize(Cmp(a[i].c_str(), b[i].c_str()));
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(a.size()));
    std::setlocale(LC_CTYPE, before.c_str());
}

int port_ncmp(const char *a, const char *b) { return port_strncasecmp(a, b, 24); }
int libc_ncmp(const char *a, const char *b) { return strncasecmp(a, b, 24); }
// What every comparison must ask before it can trust a case table: which
// locale the calling thread is in (the call port_strcasecmp makes).
int locale_check(const char *a, const char *) {
    return nl_langinfo(NL_LOCALE_NAME(LC_CTYPE))[0] + a[0];
}

void bm_buf2hex(benchmark::State &state) {
    unsigned char bytes[64];
    for (int i = 0; i < 64; ++i)
        bytes[i] = static_cast<unsigned char>(i * 37);
    char out[200];
    for (auto _ : state)
        benchmark::DoNotOptimize(buf2hex(bytes, 64, out, sizeof out));
}

void bm_snprintf_hex(benchmark::State &state) {
    unsigned char bytes[64];
    for (int i = 0; i < 64; ++i)
        bytes[i] = static_cast<unsigned char>(i * 37);
    char out[200];
    for (auto _ : state) {
        int n = 0;
        for (int i = 0; i < 64; ++i)
            n += std::snprintf(out + n, sizeof out - static_cast<size_t>(n), "%s%02X", i ? ":" : "", bytes[i]);
        benchmark::DoNotOptimize(out);
    }
}

void bm_comma_number(benchmark::State &state) {
    char out[16];
    int v = -2000000000;
    for (auto _ : state) {
        benchmark::DoNotOptimize(comma_number(v, out, 1));
        v = static_cast<int>(static_cast<unsigned>(v) + 1234567U);  // wraps, defined
    }
}

void bm_snprintf_comma(benchmark::State &state) {
    char out[16], digits[16];
    int v = -2000000000;
    for (auto _ : state) {
        int n = std::snprintf(digits, sizeof digits, "%d", v);
        const char *d = digits;
        char *p = out;
        if (*d == '-') {
            *p++ = *d++;
            --n;
        }
        for (int i = n; i > 0; --i) {
            *p++ = *d++;
            if (i > 1 && (i - 1) % 3 == 0)
                *p++ = ',';
        }
        *p = '\0';
        benchmark::DoNotOptimize(out);
        v = static_cast<int>(static_cast<unsigned>(v) + 1234567U);  // wraps, defined
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    const bool smoke = std::getenv("KELP_BENCH_SMOKE") != nullptr;
    std::vector<int64_t> sizes{1 << 20};
    if (!smoke)
        sizes = {1 << 20, 2 << 20, 4 << 20, 8 << 20, 16 << 20};
    struct Way {
        const char *name;
        void (*fn)(benchmark::State &, const char *);
    };
    std::vector<Way> ways{{"strsub", bm_strsub}, {"std_string_rebuild", bm_rebuild}};
#ifdef KELP_HAVE_GLIB
    ways.push_back({"g_string_replace", bm_glib});
#endif
    for (const char *to : {longer, shorter})
        for (const Way &w : ways)
            for (int64_t n : sizes) {
                // GLib moves the tail once per occurrence: quadratic, about a
                // minute per run at 16 MiB. Its series stops at 4 MiB.
                if (std::strcmp(w.name, "g_string_replace") == 0 && n > (4 << 20))
                    continue;
                std::string name = std::string(w.name) + (to == longer ? "/grow" : "/shrink");
                benchmark::RegisterBenchmark(name.c_str(), w.fn, to)->Arg(n)->UseManualTime()->Unit(benchmark::kMillisecond);
            }
    for (const char *locale : {"C", "C.UTF-8", "fr_FR.ISO-8859-1"})
        for (auto [how, label] : {std::pair{Pairs::random_flips, "/random_flips"},
                                  std::pair{Pairs::random_pairs, "/random_pairs"},
                                  std::pair{Pairs::same_case, "/same_case"}}) {
            const std::string l = std::string("/") + locale + label;
            benchmark::RegisterBenchmark(("port_strcasecmp" + l).c_str(), bm_casecmp<port_strcasecmp>, how, locale);
            benchmark::RegisterBenchmark(("strcasecmp" + l).c_str(), bm_casecmp<strcasecmp>, how, locale);
            benchmark::RegisterBenchmark(("port_strncasecmp" + l).c_str(), bm_casecmp<port_ncmp>, how, locale);
            benchmark::RegisterBenchmark(("strncasecmp" + l).c_str(), bm_casecmp<libc_ncmp>, how, locale);
            if (how == Pairs::random_pairs)
                benchmark::RegisterBenchmark(("locale_check" + l).c_str(), bm_casecmp<locale_check>, how, locale);
        }
    benchmark::RegisterBenchmark("buf2hex/64", bm_buf2hex);
    benchmark::RegisterBenchmark("snprintf_hex/64", bm_snprintf_hex);
    benchmark::RegisterBenchmark("comma_number", bm_comma_number);
    benchmark::RegisterBenchmark("snprintf_comma", bm_snprintf_comma);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
