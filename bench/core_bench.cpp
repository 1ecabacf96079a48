// Trace records in held mode, to a file: from one thread against the plain
// loop a program would write itself (fprintf, then fflush) and against
// spdlog's file sink flushed on every record; from 1, 2, 4 and 8 threads
// into one file against spdlog's multi-threaded sink and against the two
// writers of trace_peers.h, which make the same records.
#include "trace_peers.h"

#include <kelp.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <sys/time.h>
#include <unistd.h>

#ifdef KELP_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

std::string bench_file(const char *what) {
    return "/tmp/kelp-bench-" + std::to_string(getpid()) + "-" + what + ".log";
}

void BM_trace_record_kelp(benchmark::State &state) {
    const std::string path = bench_file("kelp");
    if (dbginit(path.c_str(), nullptr, -1) != 0) {
        state.SkipWithError("dbginit failed");
        return;
    }
    long n = 0;
    for (auto _ : state)
        dbgtrc(3, 0, "bench: record %ld of the held stream (%s)", ++n, "payload");
    dbginit(nullptr, stderr, -1);
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trace_record_kelp);

// The limit: the record written by hand, each out at once.
void BM_trace_record_bare(benchmark::State &state) {
    const std::string path = bench_file("bare");
    FILE *f = std::fopen(path.c_str(), "a");
    long n = 0;
    const long pid = getpid();
    for (auto _ : state) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        struct tm tm;
        localtime_r(&tv.tv_sec, &tm);
        std::fprintf(f, "%04d%02d%02d-%02d:%02d:%02d.%03ld (%s-%ld): bench: record %ld of the held stream (%s)\n",
                     tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<long>(tv.tv_usec) / 1000, "INFO", pid, ++n, "payload");
        std::fflush(f);
    }
    std::fclose(f);
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trace_record_bare);

#ifdef KELP_HAVE_SPDLOG
void BM_trace_record_spdlog(benchmark::State &state) {
    const std::string path = bench_file("spdlog");
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(path, true);
    spdlog::logger log("bench", sink);
    log.set_pattern("%Y%m%d-%H:%M:%S.%e (%l-%P): %v");
    log.flush_on(spdlog::level::trace);
    long n = 0;
    for (auto _ : state)
        log.info("bench: record {} of the held stream ({})", ++n, "payload");
    unlink(path.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trace_record_spdlog);
#endif

// ---- From several threads at once ------------------------------------------
//
// Every thread writes records into one file; items per second is the total
// over the threads.

std::string threads_path;

void kelp_threads_open(const benchmark::State &) {
    threads_path = bench_file("kelp-threads");
    dbginit(threads_path.c_str(), nullptr, -1);
}

void kelp_threads_close(const benchmark::State &) {
    dbginit(nullptr, stderr, -1);
    unlink(threads_path.c_str());
}

void BM_trace_threads_kelp(benchmark::State &state) {
    long n = 0;
    for (auto _ : state)
        dbgtrc(3, 0, "bench: record %ld of the held stream (%s)", ++n, "payload");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trace_threads_kelp)
    ->Setup(kelp_threads_open)
    ->Teardown(kelp_threads_close)
    ->ThreadRange(1, 8)
    ->UseRealTime();

// The peers' file, opened for appending as the trace opens its own.
int peer_fd = -1;
std::unique_ptr<trace_peers::MutexWriter> mutex_writer;
std::unique_ptr<trace_peers::QueueWriter> queue_writer;

void peer_open(const char *what) {
    threads_path = bench_file(what);
    peer_fd = open(threads_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

void peers_close(const benchmark::State &) {
    mutex_writer.reset();
    queue_writer.reset();
    close(peer_fd);
    unlink(threads_path.c_str());
}

template <typename Writer>
void peer_threads(benchmark::State &state, Writer &writer) {
    long n = 0;
    char buf[1024];
    for (auto _ : state)
        writer.put(trace_peers::format_record(buf, ++n));
    state.SetItemsProcessed(state.iterations());
}

void BM_trace_threads_mutex(benchmark::State &state) {
    peer_threads(state, *mutex_writer);
}
BENCHMARK(BM_trace_threads_mutex)
    ->Setup([](const benchmark::State &) {
        peer_open("mutex");
        mutex_writer = std::make_unique<trace_peers::MutexWriter>(peer_fd);
    })
    ->Teardown(peers_close)
    ->ThreadRange(1, 8)
    ->UseRealTime();

void BM_trace_threads_queue(benchmark::State &state) {
    peer_threads(state, *queue_writer);
}
BENCHMARK(BM_trace_threads_queue)
    ->Setup([](const benchmark::State &) {
        peer_open("queue");
        queue_writer = std::make_unique<trace_peers::QueueWriter>(peer_fd);
    })
    ->Teardown(peers_close)
    ->ThreadRange(1, 8)
    ->UseRealTime();

#ifdef KELP_HAVE_SPDLOG
std::shared_ptr<spdlog::logger> threads_logger;

void spdlog_threads_open(const benchmark::State &) {
    threads_path = bench_file("spdlog-threads");
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(threads_path, true);
    threads_logger = std::make_shared<spdlog::logger>("bench-threads", sink);
    threads_logger->set_pattern("%Y%m%d-%H:%M:%S.%e (%l-%P): %v");
    threads_logger->flush_on(spdlog::level::trace);
}

void spdlog_threads_close(const benchmark::State &) {
    threads_logger.reset();
    unlink(threads_path.c_str());
}

void BM_trace_threads_spdlog(benchmark::State &state) {
    long n = 0;
    for (auto _ : state)
        threads_logger->info("bench: record {} of the held stream ({})", ++n, "payload");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_trace_threads_spdlog)
    ->Setup(spdlog_threads_open)
    ->Teardown(spdlog_threads_close)
    ->ThreadRange(1, 8)
    ->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
