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
    'Case-insensitive compare: the C library loads aligned 16- or 32-byte blocks '
    'that run past the terminator; libkelp never reads past either terminator '
    '(its tests put strings against an unreadable page and the sanitizer flags any '
    'over-read), which leaves one load per byte of each string. The loop is at about '
    'one cycle per byte; four other loop shapes measured no better.',
    'Word tree lookup: the public node layout gives two dependent loads per character '
    '(the node, then a slot of its next array of one pointer per alphabet character: '
    '560 bytes per full node with a 70-character alphabet, about 1 KB per word). '
    'cachegrind counts about 155 instructions and 14.6 first-level data misses per '
    'lookup (one read in three misses) in `wtree_find_word`; 100,000 words make a '
    '100 MB tree, so shuffled lookups wait on memory. A hash table touches two lines.',
    'strsub growing against a `std::string` rebuilt in one pass (0.9x to 1.0x): '
    'working in place needs a pass to find what fits the size budget and a second '
    'to fill from the end; the rebuild writes a new buffer once. Both are linear.',
    # -- Trace records from several threads. --
    'Trace records from 2 and 4 threads against 1 (about 1.0x, either side of it from run to '
    'run): every call returns with its record written, so a thread\'s record shares a write '
    'only with records queued while another write is under way, and the threads format in '
    'parallel but write one at a time. On this machine write calls do not run side by side at '
    'all: 100-byte writes from 2 or 4 threads, even to separate files, come to no more per '
    'second than from one thread. The rate holds under contention; it cannot grow.',
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
            name = b['run_name']
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

    speed('trace record, held mode, to a file', 'BM_trace_record_kelp', 'BM_trace_record_bare', 0.9,
          'the bare loop is the limit')
    speed('trace record, held mode, to a file', 'BM_trace_record_kelp', 'BM_trace_record_spdlog', 1.0)
    # -- Trace records from several threads into one file: total rates. --
    one_thread = 'BM_trace_threads_kelp/real_time/threads:1'
    for n in (1, 2, 4):
        ours = f'BM_trace_threads_kelp/real_time/threads:{n}'
        if n > 1:
            speed(f'trace records, held mode, {n} threads, against 1 thread', ours, one_thread, 1.0,
                  'total records per second; no collapse under contention')
        speed(f'trace records, held mode, {n} threads', ours, f'BM_trace_threads_spdlog/real_time/threads:{n}',
              1.0, "spdlog's multi-threaded file sink, flushed per record")
    # -- end of the threads block. --
    for kind in ('grow', 'shrink'):
        for size in (1 << 20, 4 << 20, 16 << 20):
            speed(f'strsub, {kind}, {size >> 20} MiB', f'strsub/{kind}/{size}',
                  f'std_string_rebuild/{kind}/{size}', 1.0)
            speed(f'strsub, {kind}, {size >> 20} MiB', f'strsub/{kind}/{size}',
                  f'g_string_replace/{kind}/{size}', 1.0, 'quadratic: its series stops at 4 MiB')
        a, b = f'strsub/{kind}/{16 << 20}', f'strsub/{kind}/{1 << 20}'
        if a in times and b in times:
            r = times[a] / times[b]
            rows.append((f'strsub, {kind}, linearity', f'`{a}` / `{b}`', '', f'{r:.1f}',
                         '<= 18', 'yes' if r <= 18 else 'no', 'time at 16 MiB over time at 1 MiB'))
    for fn in ('strcasecmp', 'strncasecmp'):
        for case, what in (('flipped', 'case differs throughout'), ('same_case', 'same case'),
                           ('short', '8 to 16 bytes')):
            speed(f'case-insensitive compare, {what}', f'port_{fn}/{case}', f'{fn}/{case}', 1.0,
                  'never reads past a terminator')
    speed('hex formatting, 64 bytes', 'buf2hex/64', 'snprintf_hex/64', 1.0)
    speed('thousands separators', 'comma_number', 'snprintf_comma', 1.0)
    for same in (0, 1):
        keys = 'keys sharing their first byte' if same else 'random keys'
        n = f'n:1000000/same_first_byte:{same}'
        speed(f'list sort, 1,000,000 nodes, {keys}', f'BM_llist_strsort/strcmp/{n}', f'BM_g_list_sort/{n}', 1.0)
        speed(f'list sort, 1,000,000 nodes, {keys}', f'BM_llist_strsort/strcmp/{n}', f'BM_std_stable_sort/{n}',
              None, 'over an array of pointers')
    speed('word tree lookup, ~100,000 words', 'lookup/wtree', 'lookup/unordered_map', 2.0)
    speed('word tree lookup, ~100,000 words', 'lookup/wtree', 'lookup/datrie', 1.0)
    speed('word tree insert, ~100,000 words', 'insert/wtree', 'insert/unordered_map', None)
    speed('word tree insert, ~100,000 words', 'insert/wtree', 'insert/datrie', None)
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

    bytes_rows = []
    for name in ('lookup/wtree', 'lookup/unordered_map', 'lookup/datrie'):
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
    lines += ['', 'Scaling series: `strsub_scaling.png`, `list_sort_scaling.png`, `proc_scaling.png`.', '']
    lines += ['## Where a goal is missed, and why', ''] + [f'- {t}' for t in WHY_MISSED] + ['']
    with open(os.path.join(out_dir, 'RESULTS.md'), 'w') as f:
        f.write('\n'.join(lines))
    plots(times, out_dir)


def plots(times, out_dir):
    def series(prefix, key_fn):
        pts = sorted((key_fn(n), t) for n, t in times.items() if n.startswith(prefix))
        return pts

    def plot(png, title, xlabel, curves, logy=False):
        data = []
        cmds = []
        for i, (label, pts) in enumerate(curves):
            if not pts:
                continue
            path = os.path.join(out_dir, f'.{os.path.basename(png)}.{i}.dat')
            with open(path, 'w') as f:
                f.writelines(f'{x} {y * 1e3}\n' for x, y in pts)
            data.append(path)
            cmds.append(f"'{path}' using 1:2 with linespoints title '{label}'")
        if not cmds:
            return
        script = (f"set terminal pngcairo noenhanced size 900,560\nset output '{png}'\nset title '{title}'\n"
                  f"set xlabel '{xlabel}'\nset ylabel 'time (ms)'\nset key left top\nset grid\n"
                  + ("set logscale y\n" if logy else "")
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
    for impl in ('BM_llist_strsort/strcmp', 'BM_std_stable_sort', 'BM_g_list_sort'):
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


if __name__ == '__main__':
    main()
