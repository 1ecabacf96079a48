// Starting and closing /bin/true: run_syscmd + close_syscmd over pipes and
// over a pseudo-terminal, against posix_spawn + waitpid with nothing wired.
#include <kelp.h>

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>

extern char **environ;

namespace {

char *true_argv[] = {const_cast<char *>("/bin/true"), nullptr};

void run_close(benchmark::State &state, int flags) {
    for (auto _ : state) {
        int rfd, wfd, pid;
        if (run_syscmd(nullptr, true_argv, &rfd, &wfd, &pid, nullptr, nullptr, flags) != 0) {
            state.SkipWithError(gnl_usrmsg);
            break;
        }
        int rc = close_syscmd(rfd, wfd, pid);
        benchmark::DoNotOptimize(rc);
    }
}

void BM_RunClosePipes(benchmark::State &state) {
    run_close(state, 0);
}
void BM_RunClosePty(benchmark::State &state) {
    run_close(state, RUN_PTY);
}

void BM_PosixSpawnWaitpid(benchmark::State &state) {
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, true_argv[0], nullptr, nullptr, true_argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGCHLD, SIG_DFL);  // close_syscmd needs the child's status
    // A process start costs milliseconds: the smoke run takes a few of each.
    bool smoke = std::getenv("KELP_BENCH_SMOKE") != nullptr;
    for (auto *b : {benchmark::RegisterBenchmark("BM_PosixSpawnWaitpid", BM_PosixSpawnWaitpid),
                    benchmark::RegisterBenchmark("BM_RunClosePipes", BM_RunClosePipes),
                    benchmark::RegisterBenchmark("BM_RunClosePty", BM_RunClosePty)}) {
        b->Unit(benchmark::kMillisecond);
        if (smoke)
            b->Iterations(3);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
