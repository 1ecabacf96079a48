// The command children that close_syscmd has not taken back yet: what ends a
// command line's record, and the status of a child that another thread's
// wait() reaped.
#include "proc/proc.h"

#include <unistd.h>
#include <condition_variable>
#include <mutex>

namespace kelp::proc {
namespace {

// Each open command holds one or two descriptors, so the usual descriptor
// limit stops a process well before this. A child beyond it is not tracked:
// it runs and closes as any other, without its end record.
constexpr int max_children = 1024;

struct Child {
    pid_t pid;
    pid_t starter;  // the thread that started it
    int status;
    Kind kind;
    bool kept;  // reaped by another thread's wait(); status is its own
};

struct Table {
    std::mutex mu;
    std::condition_variable spawned;
    int in_flight = 0;  // clones whose pid is not entered yet
    int used = 0;
    Child child[max_children];

    int find(pid_t pid) const {
        for (int i = 0; i < used; ++i)
            if (child[i].pid == pid)
                return i;
        return -1;
    }
    void remove(int i) { child[i] = child[--used]; }
};

Table table;

void end_record(pid_t pid, Kind kind, int status) {
    if (kind == Kind::pipe_shell)
        trace_as(pid, lvl_dbg, "run_pipe_app: run_pipe_child() returned %d", status >> 8);
    else if (kind == Kind::pty_shell)
        trace_as(pid, lvl_dbg, "run_pty_app: run_pty_child() returned %d", status >> 8);
}

}  // namespace

void spawn_begin() {
    std::lock_guard<std::mutex> lock(table.mu);
    ++table.in_flight;
}

void spawn_end(pid_t pid, Kind kind) {
    {
        std::lock_guard<std::mutex> lock(table.mu);
        --table.in_flight;
        if (pid > 0) {
            // A pid still in the table belonged to a child that someone
            // else reaped: this one is new.
            int i = table.find(pid);
            if (i < 0 && table.used < max_children)
                i = table.used++;
            if (i >= 0)
                table.child[i] = Child{pid, gettid(), 0, kind, false};
        }
    }
    table.spawned.notify_all();
}

void reaped(pid_t pid, int status, pid_t waited_for) {
    Kind kind;
    {
        std::unique_lock<std::mutex> lock(table.mu);
        int i;
        // A child whose clone has not returned yet is not entered yet.
        while ((i = table.find(pid)) < 0 && table.in_flight > 0)
            table.spawned.wait(lock);
        if (i < 0)
            return;
        kind = table.child[i].kind;
        // One thread's own commands reap each other as wait() always did.
        if (pid != waited_for && table.child[i].starter != gettid()) {
            table.child[i].status = status;
            table.child[i].kept = true;
        } else {
            table.remove(i);
        }
    }
    end_record(pid, kind, status);
}

bool take_kept(pid_t pid, int *status) {
    std::lock_guard<std::mutex> lock(table.mu);
    int i = table.find(pid);
    if (i < 0 || !table.child[i].kept)
        return false;
    *status = table.child[i].status;
    table.remove(i);
    return true;
}

void forget(pid_t pid) {
    std::lock_guard<std::mutex> lock(table.mu);
    int i = table.find(pid);
    if (i >= 0)
        table.remove(i);
}

}  // namespace kelp::proc
