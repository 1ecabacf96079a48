// Starting and closing a command against the caller's resident size:
// run_syscmd + close_syscmd of /bin/true over pipes, over a pseudo-terminal
// and as a command line, against posix_spawn + waitpid (of /bin/true and of
// /bin/sh -c true) and fork + exec + waitpid, with nothing wired. The
// argument is the memory the caller has touched, in MiB.
#include <kelp.h>

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <cstdlib>

extern char **environ;

namespace {

char *true_argv[] = {const_cast<char *>("/bin/true"), nullptr};
char *sh_true_argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                        const_cast<char *>("true"), nullptr};

// Private memory of the given size, every page written: what a fork has to
// map anew, as for a server's heap.
void hold_resident(int64_t mib) {
    static void *held = nullptr;
    static size_t held_bytes = 0;
    const size_t bytes = static_cast<size_t>(mib) << 20;
    if (bytes == held_bytes)
        return;
    if (held != nullptr)
        munmap(held, held_bytes);
    held = nullptr;
    held_bytes = 0;
    if (bytes == 0)
        return;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return;
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (size_t at = 0; at < bytes; at += page)
        static_cast<volatile char *>(p)[at] = 1;
    held = p;
    held_bytes = bytes;
}

void run_close(benchmark::State &state, const char *command, char **argv, int flags) {
    hold_resident(state.range(0));
    for (auto _ : state) {
        int rfd, wfd, pid;
        if (run_syscmd(command, argv, &rfd, &wfd, &pid, nullptr, nullptr, flags) != 0) {
            state.SkipWithError(gnl_usrmsg);
            break;
        }
        int rc = close_syscmd(rfd, wfd, pid);
        benchmark::DoNotOptimize(rc);
    }
}

void BM_RunClosePipes(benchmark::State &state) {
    run_close(state, nullptr, true_argv, 0);
}
void BM_RunClosePty(benchmark::State &state) {
    run_close(state, nullptr, true_argv, RUN_PTY);
}
void BM_RunCloseCommandLine(benchmark::State &state) {
    run_close(state, "true", nullptr, 0);
}

void posix_spawn_wait(benchmark::State &state, const char *path, char **argv) {
    hold_resident(state.range(0));
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}

void BM_PosixSpawnWaitpid(benchmark::State &state) {
    posix_spawn_wait(state, true_argv[0], true_argv);
}
void BM_PosixSpawnShellWaitpid(benchmark::State &state) {
    posix_spawn_wait(state, "/bin/sh", sh_true_argv);
}

void BM_ForkExecWaitpid(benchmark::State &state) {
    hold_resident(state.range(0));
    for (auto _ : state) {
        pid_t pid = fork();
        if (pid == 0) {
            execv(true_argv[0], true_argv);
            _exit(127);
        }
        if (pid < 0) {
            state.SkipWithError("fork failed");
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
    // A process start costs a millisecond: the smoke run takes a few of each,
    // from a small caller only.
    const bool smoke = std::getenv("KELP_BENCH_SMOKE") != nullptr;
    const struct {
        const char *name;
        void (*fn)(benchmark::State &);
    } runs[] = {
        {"BM_PosixSpawnWaitpid", BM_PosixSpawnWaitpid},
        {"BM_RunClosePipes", BM_RunClosePipes},
        {"BM_RunClosePty", BM_RunClosePty},
        {"BM_PosixSpawnShellWaitpid", BM_PosixSpawnShellWaitpid},
        {"BM_RunCloseCommandLine", BM_RunCloseCommandLine},
        {"BM_ForkExecWaitpid", BM_ForkExecWaitpid},
    };
    // One size after the other, so that each is touched once.
    for (int64_t mib : {0, 256, 1024, 2048}) {
        if (smoke && mib != 0)
            break;
        for (const auto &r : runs) {
            auto *b = benchmark::RegisterBenchmark(r.name, r.fn)->Arg(mib);
            b->Unit(benchmark::kMillisecond);
            if (smoke)
                b->Iterations(3);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
