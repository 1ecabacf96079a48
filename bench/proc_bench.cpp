// Starting and closing a command against the caller's resident size:
// run_syscmd + close_syscmd of /bin/true over pipes, over a pseudo-terminal
// and as a command line, against posix_spawn + waitpid (of /bin/true and of
// /bin/sh -c true) and fork + exec + waitpid, with nothing wired. The
// argument is the memory the caller has touched, in MiB. Then the close
// alone: close_syscmd of a command that has ended, against closing its two
// descriptors and waitpid.
#include <kelp.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
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

// Until pid has ended, without reaping it.
void until_ended(pid_t pid) {
    siginfo_t info;
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
}

// Seconds that fn takes: each side is timed by hand just around its close,
// so that starting the child stays out of the timing without stopping the
// benchmark's timers.
template <class Fn>
double seconds_of(Fn fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Each iteration closes a /bin/true that has ended, both descriptors of its
// pipes open; the child is made by run_syscmd here and by posix_spawn with
// the same pipes for the peer (a child of run_syscmd that close_syscmd never
// sees would stay in its table).
void BM_CloseSyscmdEnded(benchmark::State &state) {
    for (auto _ : state) {
        int rfd, wfd, pid;
        if (run_syscmd(nullptr, true_argv, &rfd, &wfd, &pid, nullptr, nullptr, 0) != 0) {
            state.SkipWithError(gnl_usrmsg);
            break;
        }
        until_ended(pid);
        state.SetIterationTime(seconds_of([&] {
            int rc = close_syscmd(rfd, wfd, pid);
            benchmark::DoNotOptimize(rc);
        }));
    }
}

void BM_CloseWaitpidEnded(benchmark::State &state) {
    for (auto _ : state) {
        int out[2], in[2];
        posix_spawn_file_actions_t wiring;
        posix_spawn_file_actions_init(&wiring);
        pid_t pid = -1;
        if (pipe2(out, O_CLOEXEC) == 0 && pipe2(in, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&wiring, in[0], 0);
            posix_spawn_file_actions_adddup2(&wiring, out[1], 1);
            if (posix_spawn(&pid, true_argv[0], &wiring, nullptr, true_argv, environ) != 0)
                pid = -1;
            close(in[0]);
            close(out[1]);
        }
        posix_spawn_file_actions_destroy(&wiring);
        if (pid < 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        until_ended(pid);
        state.SetIterationTime(seconds_of([&] {
            close(out[0]);
            close(in[1]);
            int status;
            waitpid(pid, &status, 0);
            benchmark::DoNotOptimize(status);
        }));
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
    // Starting the child takes most of each iteration, outside the timing:
    // a fixed number of them keeps the run short.
    for (auto fn : {BM_CloseWaitpidEnded, BM_CloseSyscmdEnded}) {
        auto *b = benchmark::RegisterBenchmark(fn == BM_CloseSyscmdEnded ? "BM_CloseSyscmdEnded"
                                                                         : "BM_CloseWaitpidEnded",
                                               fn);
        b->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(smoke ? 3 : 3000);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
