#!/usr/bin/env python3
"""Turns the JSON of bench/run into bench/RESULTS.md and the scaling plots.

Ratios are speed ratios, ours over theirs: the peer's median time divided by
ours, so 1.25 means libkelp does the same work in 80% of the peer's time.
"""
import glob
import json
import os
import platform
import subprocess
import sys


# Resident sizes (MiB) of the caller in the command runner's series.
PROC_SIZES = (0, 256, 1024, 2048)

# What the profiles showed for the goals this machine's runs miss.
WHY_MISSED = [
    # ---- performance round two ----
    'Word tree lookup against the double-array trie: the slot of each character '
    'is now addressed from the node itself, so it no longer waits for the next '
    'pointer (side by side with the old code, 400-455 against 610-715 ns per '
    'lookup), but the public layout still costs about 1 KB per dictionary word: '
    'a 40-byte node and one pointer per alphabet character for every node with '
    'children, 100 MB at 104k words against 6.7 MB for the trie, which stays in '
    'the 16 MB last-level cache while a shuffled lookup in the tree misses it at '
    'most of its nine or so levels.',
    'Word tree insert against unordered_map: a build writes and first touches '
    'about 1 KB per word against 77 bytes for the map; the page faults of those '
    '100 MB are most of its time. Chunks of 8 MiB with transparent huge pages '
    'measured 23 against 42 ms (0.8x the map), but the unused rest of the last '
    'chunk then put the heap at 1.045x byte_cnt, over the 1.02x goal; not kept.',
    'Case-insensitive compare: aligned 16-byte blocks in the C locale and one '
    'table lookup per byte elsewhere; on dictionary words most of the time is '
    'the call itself, and libkelp makes one more than the C library (to find the '
    "calling thread's case table). Measured 0.80-0.84x with case flipped at "
    'random and 0.92-1.03x on random pairs: at the goals, within the noise.',
    'Under load (two cores shared with other builds) wall-clock ratios of the '
    'memory-bound rows move by 30% and more from run to run; the CPU-time ratios '
    'of the same runs are steadier.',
    'File loading at 4 KiB to 16 MiB and two rows of the C++ layer (0.85x to 0.96x '
    'in the last run, 0.95x to 1.11x in the runs before it): libkelp makes the same '
    'system calls as its peer (the C++ layer the same C call, inlined), so the gap '
    'is the run-to-run spread of this shared two-core machine, not work done.',
    # ---- end of performance round two ----
    'strsub growing against a `std::string` rebuilt in one pass (0.84x to 1.0x): '
    'working in place needs a pass to find what fits the size budget and a second '
    'to fill from the end; the rebuild writes a new buffer once. Both are linear.',
    # -- Trace records from several threads. --
    'Trace records from 2, 4 and 8 threads against 1 (0.8x to 1.1x from run to run): every call '
    'returns with its record written and records go out one write at a time, so the total rate '
    'holds under contention but cannot grow; on this machine write calls to one file do not run '
    'side by side. The combining queue of the previous round (bench/trace_peers.h), which writes '
    'the records queued meanwhile together in one write, measured 0.79x to 1.25x of the plain '
    'mutex in seven runs side by side on a loaded machine (medians 1.10x, 1.08x and 1.10x at 2, '
    '4 and 8 threads; 0.97x at 1 thread, where the two do the same work) and the same CPU time '
    'per record (medians 0.97x to 1.00x): no clear win of 10%, so the trace keeps the plain lock, '
    'which a cancelled thread, a signal handler and a child made without fork handlers cannot '
    'leave taken. A quiet run that shows the queue at 1.10x or more would reopen the choice.',
]


# ---- performance round two: what earlier runs of these benchmarks measured wrongly ----
BENCH_FIXES = [
    'List sort: before every timed iteration the nodes were linked again in the '
    'order they were allocated, so every sort walked memory in sequence, which no '
    'list does once it has been worked on (the previous iteration\'s sorted order '
    'was undone, so the suspected re-sort of a sorted list did not happen). Every '
    'iteration now sorts one fixed shuffled order, the same for every peer. The '
    '`std::stable_sort` row sorted an array of key pointers, not the list; it is '
    'now copying the node pointers to a vector, sorting and relinking, all timed.',
    'Word tree: the heap per word came from `mallinfo2().uordblks` alone, which '
    'leaves out blocks that malloc maps on their own (big arrays of the trie among '
    'them); `hblkhd` is now added. The heap was also read inside the timed build. '
    'Words were an even spread of 100,000 of the dictionary; the row now uses the '
    'whole dictionary and a series from 1,000 to 1,000,000 words.',
    'Case-insensitive compare: the rows compared generated keys with every letter '
    'flipped (a regular pattern the branch predictor learns); they now compare '
    'dictionary words with each letter flipped at random, and random pairs.',
    'Substitution: strsub and GLib stopped the benchmark timers to restore their '
    'text before each call, the rebuild did not; each stop is a system call, and '
    'on a loaded machine a process preempted in one is charged for the wait. Every '
    'peer is now timed by hand just around its call (the rebuild\'s allocation of '
    'its result is part of its work).',
    'Checked and left as they were: checksums, file loading, mktime, trace, command '
    'start and the C++ layer keep no state between iterations and give both sides '
    'the same work.',
]


def load(results_dir):
    times, counters, context = {}, {}, {}
    for path in sorted(glob.glob(os.path.join(results_dir, '*.json'))):
        with open(path) as f:
            data = json.load(f)
        context = data.get('context', context)
        for b in data['benchmarks']:
            if b.get('aggregate_name') != 'median':
                continue
            name = b['run_name'].removesuffix('/manual_time')  # timed by hand, same name
            scale = {'ns': 1e-9, 'us': 1e-6, 'ms': 1e-3, 's': 1.0}[b.get('time_unit', 'ns')]
            times[name] = b['real_time'] * scale
            counters[name] = {k: v for k, v in b.items() if isinstance(v, (int, float))}
    return times, counters, context


def fmt_time(t):
    for unit, scale in (('s', 1), ('ms', 1e-3), ('µs', 1e-6), ('ns', 1e-9)):
        if t >= scale:
            return f'{t / scale:.3g} {unit}'
    return f'{t * 1e9:.3g} ns'


def main():
    results_dir, out_dir = sys.argv[1], sys.argv[2]
    times, counters, context = load(results_dir)
    rows = []

    def speed(what, ours, theirs, goal, note=''):
        if ours not in times or theirs not in times:
            return
        ratio = times[theirs] / times[ours]
        met = '' if goal is None else ('yes' if ratio >= goal else 'no')
        goal_txt = '' if goal is None else f'>= {goal:g}x'
        rows.append((what, f'`{ours}` {fmt_time(times[ours])}', f'`{theirs}` {fmt_time(times[theirs])}',
                     f'{ratio:.2f}x', goal_txt, met, note))

    speed('trace record, held mode, to a file', 'BM_trace_record_kelp', 'BM_trace_record_bare', 1.0,
          '`fprintf` then `fflush` per record')
    speed('trace record, held mode, to a file', 'BM_trace_record_kelp', 'BM_trace_record_spdlog', 1.0)
    # -- Trace records from several threads into one file: total rates. --
    threads = lambda what, n: f'BM_trace_threads_{what}/real_time/threads:{n}'
    for n in (1, 2, 4, 8):
        if n > 1:
            speed(f'trace records, held mode, {n} threads, against 1 thread', threads('kelp', n),
                  threads('kelp', 1), 0.95 if n == 4 else None, 'total records per second')
        speed(f'trace records, held mode, {n} threads', threads('kelp', n), threads('spdlog', n),
              1.0 if n < 8 else None, "spdlog's multi-threaded file sink, flushed per record")
        speed(f'trace records, held mode, {n} threads', threads('kelp', n), threads('mutex', n), None,
              'a plain mutex and one `write` per record, the same record (bench/trace_peers.h)')
        speed(f'trace writer choice, {n} threads: the combining queue against the plain mutex',
              threads('queue', n), threads('mutex', n), None,
              'the queue is kept only where it wins by 10% or more')
    # -- end of the threads block. --
    for kind in ('grow', 'shrink'):
        for size in (1 << 20, 4 << 20, 16 << 20):
            if kind == 'grow':  # shrinking is in the block of performance round two
                speed(f'strsub, {kind}, {size >> 20} MiB', f'strsub/{kind}/{size}',
                      f'std_string_rebuild/{kind}/{size}', 1.0)
            speed(f'strsub, {kind}, {size >> 20} MiB', f'strsub/{kind}/{size}',
                  f'g_string_replace/{kind}/{size}', 1.0, 'quadratic: its series stops at 4 MiB')
        a, b = f'strsub/{kind}/{16 << 20}', f'strsub/{kind}/{1 << 20}'
        if a in times and b in times:
            r = times[a] / times[b]
            rows.append((f'strsub, {kind}, linearity', f'`{a}` / `{b}`', '', f'{r:.1f}',
                         '<= 18', 'yes' if r <= 18 else 'no', 'time at 16 MiB over time at 1 MiB'))
    speed('hex formatting, 64 bytes', 'buf2hex/64', 'snprintf_hex/64', 1.0)
    speed('thousands separators', 'comma_number', 'snprintf_comma', 1.0)
    big = 256 << 20
    speed('chksum_xor, 256 MiB', f'chksum_xor/{big}', f'memchr_absent/{big}', 0.8, 'memory speed')
    speed('chksum_s4xor, 256 MiB', f'chksum_s4xor/{big}', f'memchr_absent/{big}', 0.8, 'memory speed')
    for size in (4096, 65536, 1 << 20, 16 << 20, big):
        speed(f'file loading, {size} bytes', f'file2buf/{size}', f'g_file_get_contents/{size}', 1.0)
        speed(f'file loading, {size} bytes', f'file2buf/{size}', f'plain_read/{size}', None)
    speed('portable mktime', 'port_mktime', 'mktime', 1.0)
    speed('portable mktime', 'port_mktime', 'timegm', None)
    # --- command runner: start + close against the caller's resident size ---
    for mib in PROC_SIZES:
        size = f'{mib} MiB touched' if mib else 'small caller'
        speed(f'start and close /bin/true, pipes, {size}', f'BM_RunClosePipes/{mib}',
              f'BM_PosixSpawnWaitpid/{mib}', 0.9)
        speed(f'start and close /bin/true, pty, {size}', f'BM_RunClosePty/{mib}',
              f'BM_PosixSpawnWaitpid/{mib}', 0.8)
        speed(f'start and close a command line, {size}', f'BM_RunCloseCommandLine/{mib}',
              f'BM_PosixSpawnShellWaitpid/{mib}', 0.9, 'against `/bin/sh -c true`')
        speed(f'start and close /bin/true, pipes, {size}', f'BM_RunClosePipes/{mib}',
              f'BM_ForkExecWaitpid/{mib}', None, 'fork copies the page tables')
    a, b = f'BM_RunClosePipes/{PROC_SIZES[-1]}', 'BM_RunClosePipes/0'
    if a in times and b in times:
        r = times[a] / times[b]
        rows.append(('start and close, pipes, flat in the caller\'s size', f'`{a}` / `{b}`', '',
                     f'{r:.2f}', '<= 1.2', 'yes' if r <= 1.2 else 'no', 'time at 2 GiB over time at 0'))
    # --- end of the command runner block ---
    for name in sorted(times):
        if '_Cxx' in name:
            speed('C++ layer (kelp.hpp) over the C call', name, name.replace('_Cxx', '_C'), 0.95,
                  'no visible overhead')

    # ---- performance round two: the goals of the word tree, list sort,
    # case-insensitive compare and shrinking substitution ----
    words = context.get('dictionary_words', '104334')
    speed(f'wtree_find_word, {words} dictionary words, shuffled lookups', f'lookup/wtree/{words}',
          f'lookup/datrie/{words}', 1.2)
    speed(f'wtree_find_word, {words} dictionary words, shuffled lookups', f'lookup/wtree/{words}',
          f'lookup/unordered_map/{words}', None)
    speed(f'wtree_add_word, {words} dictionary words in their order', f'insert/wtree/{words}',
          f'insert/unordered_map/{words}', 1.0)
    speed(f'wtree_add_word, {words} dictionary words in their order', f'insert/wtree/{words}',
          f'insert/datrie/{words}', None)
    tree = counters.get(f'lookup/wtree/{words}', {})
    if 'bytes/word' in tree and 'counted/word' in tree:
        r = tree['bytes/word'] / tree['counted/word']
        rows.append((f'word tree heap, {words} words', f'{tree["bytes/word"]:.0f} bytes per word',
                     f'byte_cnt: {tree["counted/word"]:.0f} per word', f'{r:.3f}', '<= 1.02',
                     'yes' if r <= 1.02 else 'no', 'heap over its own count'))
    for same in (0, 1):
        keys = 'keys sharing their first byte' if same else 'random keys'
        n = f'n:1000000/same_first_byte:{same}'
        speed(f'llist_strsort, 1,000,000 shuffled nodes, {keys}', f'BM_llist_strsort/strcmp/{n}',
              f'BM_g_list_sort/{n}', 1.2)
        speed(f'llist_strsort, 1,000,000 shuffled nodes, {keys}', f'BM_llist_strsort/strcmp/{n}',
              f'BM_copy_sort_relink/{n}', 1.0, 'pointers to a vector, std::stable_sort, relinked')
    for fn in ('strcasecmp', 'strncasecmp'):
        for case, what, goal in (('random_flips', 'dictionary words, case flipped at random', 0.8),
                                 ('random_pairs', 'random pairs of dictionary words', 1.0),
                                 ('same_case', 'long keys differing in the last letter\'s case', None)):
            speed(f'port_{fn}, {what}', f'port_{fn}/{case}', f'{fn}/{case}', goal)
    for size in (1 << 20, 4 << 20, 16 << 20):
        speed(f'strsub, shrink, {size >> 20} MiB', f'strsub/shrink/{size}',
              f'std_string_rebuild/shrink/{size}', 1.0)
    # ---- end of performance round two ----

    bytes_rows = []
    for name in (f'lookup/wtree/{words}', f'lookup/unordered_map/{words}', f'lookup/datrie/{words}'):
        c = counters.get(name, {})
        for key in ('bytes_per_word', 'bytes/word'):
            if key in c:
                bytes_rows.append(f'- {name}: {c[key]:.0f} bytes per word')

    cpu = context.get('host_name', platform.node())
    try:
        model = subprocess.run(['sh', '-c', "grep -m1 'model name' /proc/cpuinfo | cut -d: -f2"],
                               capture_output=True, text=True).stdout.strip()
        cxx = subprocess.run(['c++', '--version'], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        model, cxx = 'unknown', 'unknown'
    lines = [
        '# Benchmark results',
        '',
        f'Machine: {model}, {context.get("num_cpus", "?")} cores, {context.get("mhz_per_cpu", "?")} MHz '
        f'(host {cpu}); compiler: {cxx}; build: Release. Produced by `bench/run` on {context.get("date", "?")}.',
        '',
        'Ratio: speed of libkelp over the peer (peer median time / libkelp median time, '
        'repetitions of Google Benchmark in one process): above 1 means libkelp is faster.',
        '',
        '| what | ours | theirs | ratio | goal | met | note |',
        '|---|---|---|---|---|---|---|',
    ]
    lines += ['| ' + ' | '.join(r) + ' |' for r in rows]
    if bytes_rows:
        lines += ['', 'Memory of the word tree against its peers:', ''] + bytes_rows
    lines += ['', 'Scaling series: `strsub_scaling.png`, `list_sort_scaling.png`, `proc_scaling.png`, `wtree_scaling.png`.', '']
    lines += ['## Where a goal is missed, and why', ''] + [f'- {t}' for t in WHY_MISSED] + ['']
    lines += ['## What earlier runs measured wrongly', ''] + [f'- {t}' for t in BENCH_FIXES] + ['']
    with open(os.path.join(out_dir, 'RESULTS.md'), 'w') as f:
        f.write('\n'.join(lines))
    plots(times, out_dir)


def plots(times, out_dir):
    def series(prefix, key_fn):
        pts = sorted((key_fn(n), t) for n, t in times.items() if n.startswith(prefix))
        return pts

    def plot(png, title, xlabel, curves, logy=False, ylabel='time (ms)', scale=1e3, logx=False):
        data = []
        cmds = []
        for i, (label, pts) in enumerate(curves):
            if not pts:
                continue
            path = os.path.join(out_dir, f'.{os.path.basename(png)}.{i}.dat')
            with open(path, 'w') as f:
                f.writelines(f'{x} {y * scale}\n' for x, y in pts)
            data.append(path)
            cmds.append(f"'{path}' using 1:2 with linespoints title '{label}'")
        if not cmds:
            return
        script = (f"set terminal pngcairo noenhanced size 900,560\nset output '{png}'\nset title '{title}'\n"
                  f"set xlabel '{xlabel}'\nset ylabel '{ylabel}'\nset key left top\nset grid\n"
                  + ("set logscale y\n" if logy else "") + ("set logscale x\n" if logx else "")
                  + f"plot {', '.join(cmds)}\n")
        try:
            subprocess.run(['gnuplot'], input=script, text=True, check=True)
        except (OSError, subprocess.CalledProcessError) as e:
            print(f'no plot {png}: {e}', file=sys.stderr)
        for path in data:
            os.remove(path)

    mib = lambda n: int(n.rsplit('/', 1)[1]) / (1 << 20)
    curves = []
    for impl in ('strsub', 'std_string_rebuild', 'g_string_replace'):
        for kind in ('grow', 'shrink'):
            curves.append((f'{impl} {kind}', series(f'{impl}/{kind}/', mib)))
    plot(os.path.join(out_dir, 'strsub_scaling.png'), 'In-place substitution, 10% of the text replaced',
         'text size (MiB)', curves, logy=True)
    nodes = lambda n: int(n.split('n:')[1].split('/')[0])
    curves = []
    for impl in ('BM_llist_strsort/strcmp', 'BM_copy_sort_relink', 'BM_g_list_sort'):
        for same in (0, 1):
            pts = [(nodes(n), t) for n, t in times.items()
                   if n.startswith(impl + '/') and n.endswith(f'same_first_byte:{same}')]
            label = f"{impl.replace('BM_', '')} {'same first byte' if same else 'random'}"
            curves.append((label, sorted(pts)))
    plot(os.path.join(out_dir, 'list_sort_scaling.png'), 'List sort by string key', 'nodes', curves)
    # --- command runner: time against the caller's resident size ---
    curves = []
    for impl, label in (('BM_RunClosePipes', 'run_syscmd, pipes'), ('BM_RunClosePty', 'run_syscmd, pty'),
                        ('BM_RunCloseCommandLine', 'run_syscmd, command line'),
                        ('BM_PosixSpawnWaitpid', 'posix_spawn'),
                        ('BM_PosixSpawnShellWaitpid', 'posix_spawn of sh -c true'),
                        ('BM_ForkExecWaitpid', 'fork + exec')):
        curves.append((label, [(mib, times[f'{impl}/{mib}']) for mib in PROC_SIZES if f'{impl}/{mib}' in times]))
    plot(os.path.join(out_dir, 'proc_scaling.png'), 'Start and close a command', 'memory the caller has touched (MiB)',
         curves, logy=True)
    # --- end of the command runner block ---

    # ---- performance round two: word tree against its peers by size ----
    curves = []
    for op in ('lookup', 'insert'):
        for impl in ('wtree', 'datrie', 'unordered_map'):
            prefix = f'{op}/{impl}/'
            pts = [(int(n[len(prefix):]), t / int(n[len(prefix):])) for n, t in times.items()
                   if n.startswith(prefix) and n[len(prefix):].isdigit()]
            curves.append((f'{op} {impl}', sorted(pts)))
    plot(os.path.join(out_dir, 'wtree_scaling.png'), 'Word tree, dictionary words: time per word', 'words',
         curves, logy=True, ylabel='time per word (ns)', scale=1e9, logx=True)
    # ---- end of performance round two ----


if __name__ == '__main__':
    main()
