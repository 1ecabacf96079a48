// The command children that close_syscmd has not taken back yet: the status
// of a child that another thread's close reaped, kept for its owner, and
// whether a child's end gets a record.
#include "proc/proc.h"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <mutex>

namespace kelp::proc {
namespace {

struct Child {
    pid_t pid;
    pid_t starter;  // the thread that started it; 0 for an orphan
    int status;     // once kept
    bool pty;
    bool records_end;
    bool kept;  // reaped by another thread's close: status is its own
};

// A child's end, recorded once the table is unlocked.
struct End {
    pid_t pid = 0;
    bool pty = false;
    int status = 0;
};

// Under mu:
// - reaping and entering what was reaped happen together, so a thread that
//   finds its child ended finds it reaped by itself, kept by another thread,
//   or gone without the library (the program reaped it, or SIGCHLD is
//   ignored);
// - spawn_begin makes room before a clone and spawn_end enters its child
//   after: entering never fails, whatever the number of children;
// - a clone in flight may have a child that ended and was reaped already:
//   a reaped pid missing from the table is kept as an orphan (starter 0)
//   for its spawn_end to claim; orphans go once no clone is in flight.
struct Table {
    std::mutex mu;
    Child *child = nullptr;
    size_t used = 0;
    size_t room = 0;
    size_t in_flight = 0;

    bool reserve(size_t n) {
        if (n <= room)
            return true;
        size_t more = room < 16 ? 16 : 2 * room;
        if (more < n)
            more = n;
        void *p = realloc(child, more * sizeof(Child));
        if (p == nullptr)
            return false;
        child = static_cast<Child *>(p);
        room = more;
        return true;
    }
    // An entry of pid that match accepts, the calling thread's first: a pid
    // reused while a kept status waits can have two.
    template <class Match>
    Child *find(pid_t pid, Match match) {
        Child *found = nullptr;
        const pid_t me = gettid();
        for (size_t i = 0; i < used; ++i) {
            Child &c = child[i];
            if (c.pid != pid || !match(c))
                continue;
            if (c.starter == me)
                return &c;
            if (found == nullptr)
                found = &c;
        }
        return found;
    }
    void remove(Child *c) { *c = child[--used]; }

    // waitpid gave pid while the calling thread waited for waited_for.
    void reaped(pid_t pid, int status, pid_t waited_for, End *end) {
        Child *c = find(pid, [](const Child &e) { return !e.kept; });
        if (c == nullptr) {
            if (in_flight > 0 && reserve(used + in_flight + 1))
                child[used++] = Child{pid, 0, status, false, false, true};
            return;
        }
        // A thread's own commands reap each other as wait() always did.
        if (pid != waited_for && c->starter != gettid()) {
            c->status = status;
            c->kept = true;
            return;
        }
        if (c->records_end)
            *end = End{pid, c->pty, status};
        remove(c);
    }
    bool take_kept(pid_t pid, int *status, End *end) {
        Child *c = find(pid, [](const Child &e) { return e.kept && e.starter != 0; });
        if (c == nullptr)
            return false;
        *status = c->status;
        if (c->records_end)
            *end = End{pid, c->pty, c->status};
        remove(c);
        return true;
    }
};

Table table;

// A child forked while another thread holds the table would find it locked
// for good; and its parent's children are not its own.
[[maybe_unused]] const int fork_guard = pthread_atfork([] { table.mu.lock(); },
                                                       [] { table.mu.unlock(); },
                                                       [] {
                                                           table.used = 0;
                                                           table.in_flight = 0;
                                                           table.mu.unlock();
                                                       });

}  // namespace

bool spawn_begin() {
    std::lock_guard<std::mutex> lock(table.mu);
    if (!table.reserve(table.used + table.in_flight + 1)) {
        errno = ENOMEM;
        return false;
    }
    ++table.in_flight;
    return true;
}

void spawn_end(pid_t pid, bool pty, bool records_end) {
    std::lock_guard<std::mutex> lock(table.mu);
    --table.in_flight;
    if (pid > 0) {
        Child *c = table.find(pid, [](const Child &e) { return e.starter == 0; });
        if (c != nullptr) {  // ended and reaped already: kept for its starter
            c->starter = gettid();
            c->pty = pty;
            c->records_end = records_end;
        } else {
            // A live entry of the same pid is stale: its child went without
            // the library, and the pid is free again.
            c = table.find(pid, [](const Child &e) { return !e.kept; });
            if (c == nullptr)
                c = &table.child[table.used++];
            *c = Child{pid, gettid(), 0, pty, records_end, false};
        }
    }
    if (table.in_flight == 0) {  // no clone is left to claim an orphan
        for (size_t i = 0; i < table.used;)
            if (table.child[i].starter == 0)
                table.remove(&table.child[i]);
            else
                ++i;
    }
}

void trace_end(pid_t pid, bool pty, int code) {
    trace_as(pid, lvl_dbg,
             pty ? "run_pty_app: run_pty_child() returned %d"
                 : "run_pipe_app: run_pipe_child() returned %d",
             code);
}

pid_t reap(pid_t pid, int *status) {
    End end;
    pid_t r;
    {
        std::lock_guard<std::mutex> lock(table.mu);
        if (pid > 0 && table.take_kept(pid, status, &end)) {
            r = pid;
        } else {
            r = waitpid(-1, status, WNOHANG);
            if (r > 0)
                table.reaped(r, *status, pid, &end);
        }
    }
    if (end.pid > 0)
        trace_end(end.pid, end.pty, end.status >> 8);
    return r;
}

bool forget(pid_t pid) {
    std::lock_guard<std::mutex> lock(table.mu);
    Child *c = table.find(pid, [](const Child &e) { return e.starter != 0; });
    if (c == nullptr)
        return false;
    const bool kept = c->kept;
    table.remove(c);
    return kept;
}

}  // namespace kelp::proc
