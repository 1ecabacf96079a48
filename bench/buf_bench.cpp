// Checksums against a memchr scan, file2buf against a plain read, and
// port_mktime against the platform's timegm and mktime, each pair run side
// by side in one process over the same data.
#include <benchmark/benchmark.h>

#include <kelp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifdef KELP_HAVE_GLIB
#include <glib.h>
#endif

namespace {

bool smoke() { return std::getenv("KELP_BENCH_SMOKE") != nullptr; }

// ---- checksums -------------------------------------------------------

// Bytes 1..255 only, so memchr for 0 scans the whole buffer.
const std::vector<unsigned char> &region(size_t size) {
    static std::vector<unsigned char> data;
    if (data.size() != size) {
        data.assign(size, 0);
        for (size_t i = 0; i < size; ++i)
            data[i] = static_cast<unsigned char>(1 + i % 255);
    }
    return data;
}

void finish(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["GB"] = benchmark::Counter(static_cast<double>(bytes) / 1e9,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void BM_chksum_xor(benchmark::State &state) {
    const auto &d = region(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(chksum_xor(d.data(), static_cast<int>(d.size())));
    finish(state, d.size());
}

void BM_chksum_s4xor(benchmark::State &state) {
    const auto &d = region(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(chksum_s4xor(d.data(), static_cast<int>(d.size())));
    finish(state, d.size());
}

void BM_memchr_absent(benchmark::State &state) {
    const auto &d = region(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        const void *hit = std::memchr(d.data(), 0, d.size());
        benchmark::DoNotOptimize(hit);
    }
    finish(state, d.size());
}

// ---- file loading ----------------------------------------------------

// One file per size, written once and left in the page cache.
std::vector<std::string> bench_files;

const std::string &file_of(int64_t size) {
    static std::string dir;
    if (dir.empty()) {
        char tmpl[] = "/tmp/kelp-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            std::abort();
        dir = tmpl;
    }
    std::string path = dir + "/f" + std::to_string(size);
    for (const auto &f : bench_files)
        if (f == path)
            return f;
    const auto &d = region(static_cast<size_t>(size));
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(d.data(), 1, d.size(), f) != d.size())
        std::abort();
    std::fclose(f);
    bench_files.push_back(path);
    return bench_files.back();
}

void remove_files() {
    std::string dir;
    for (const auto &f : bench_files) {
        dir = f.substr(0, f.rfind('/'));
        ::unlink(f.c_str());
    }
    if (!dir.empty())
        ::rmdir(dir.c_str());
}

void BM_file2buf(benchmark::State &state) {
    const std::string &path = file_of(state.range(0));
    for (auto _ : state) {
        int len = 0;
        unsigned char *b = file2buf(-1, path.c_str(), nullptr, -1, &len, 0, 1);
        if (b == nullptr) {
            state.SkipWithError(gnl_usrmsg);
            break;
        }
        benchmark::DoNotOptimize(b);
        std::free(b);
    }
    finish(state, static_cast<size_t>(state.range(0)));
}

// The least a loader must do: open, stat, allocate, one read, close.
void BM_plain_read(benchmark::State &state) {
    const std::string &path = file_of(state.range(0));
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        ::fstat(fd, &st);
        auto *b = static_cast<unsigned char *>(std::malloc(static_cast<size_t>(st.st_size) + 1));
        ssize_t got = ::read(fd, b, static_cast<size_t>(st.st_size));
        ::close(fd);
        benchmark::DoNotOptimize(got);
        std::free(b);
    }
    finish(state, static_cast<size_t>(state.range(0)));
}

#ifdef KELP_HAVE_GLIB
void BM_g_file_get_contents(benchmark::State &state) {
    const std::string &path = file_of(state.range(0));
    for (auto _ : state) {
        gchar *b = nullptr;
        gsize len = 0;
        g_file_get_contents(path.c_str(), &b, &len, nullptr);
        benchmark::DoNotOptimize(b);
        g_free(b);
    }
    finish(state, static_cast<size_t>(state.range(0)));
}
#endif

// ---- portable mktime -------------------------------------------------

std::vector<struct tm> some_dates() {
    std::vector<struct tm> v;
    uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 1024; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        time_t t = static_cast<time_t>(x % 4294967296ull) - 2147483647;
        struct tm tm;
        gmtime_r(&t, &tm);
        tm.tm_isdst = 0;
        v.push_back(tm);
    }
    return v;
}

template <time_t (*convert)(struct tm *)>
void run_dates(benchmark::State &state) {
    setenv("TZ", "UTC", 1);
    tzset();
    const auto dates = some_dates();
    for (auto _ : state)
        for (struct tm tm : dates)
            benchmark::DoNotOptimize(convert(&tm));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * dates.size()));
}

time_t call_port_mktime(struct tm *tm) { return port_mktime(tm); }

void BM_port_mktime(benchmark::State &state) { run_dates<call_port_mktime>(state); }
void BM_timegm(benchmark::State &state) { run_dates<timegm>(state); }
void BM_mktime(benchmark::State &state) { run_dates<mktime>(state); }

}  // namespace

int main(int argc, char **argv) {
    const bool small = smoke();
    const int64_t region_size = small ? 4096 : int64_t{256} << 20;
    for (auto *fn : {BM_chksum_xor, BM_chksum_s4xor, BM_memchr_absent}) {
        const char *name = fn == BM_chksum_xor     ? "chksum_xor"
                           : fn == BM_chksum_s4xor ? "chksum_s4xor"
                                                   : "memchr_absent";
        benchmark::RegisterBenchmark(name, fn)->Arg(region_size)->Unit(benchmark::kMillisecond);
    }

    std::vector<int64_t> sizes = {4096};
    if (!small)
        sizes = {4096, 65536, 1 << 20, 16 << 20, 256 << 20};
    for (int64_t size : sizes) {
        benchmark::RegisterBenchmark("file2buf", BM_file2buf)->Arg(size)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("plain_read", BM_plain_read)->Arg(size)->Unit(benchmark::kMicrosecond);
#ifdef KELP_HAVE_GLIB
        benchmark::RegisterBenchmark("g_file_get_contents", BM_g_file_get_contents)
            ->Arg(size)
            ->Unit(benchmark::kMicrosecond);
#endif
    }

    benchmark::RegisterBenchmark("port_mktime", BM_port_mktime)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("timegm", BM_timegm)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("mktime", BM_mktime)->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    remove_files();
    return 0;
}
