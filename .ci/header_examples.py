#!/usr/bin/env python3
"""Compiles every example in the comments of the public headers.

An example is a block between @code and @endcode (or \\code and \\endcode)
in a comment of include/kelp.h, include/kelp.hpp or include/kelp/*.h{,pp}:
C in a .h, C++20 in a .hpp. A block with main() is a whole program; any
other block must compile either as the body of a function or at file scope,
after its own #include lines. Each is compiled with -Wall -Wextra -Werror
(-O2, for the warnings that need the optimiser) against the source tree's
include/ alone, and its diagnostics point into the header.

Usage: header_examples.py <source tree>. Prints one line per example, the
compiler's words for those that fail; exit 1 on any failure.
"""
import glob
import os
import re
import subprocess
import sys

COMMENT = re.compile(r'^\s*(?:/\*\*|/\*!|\*(?!/)|//[/!]?)\s?(.*)$')
OPEN = re.compile(r'^[@\\]code\b')
CLOSE = re.compile(r'^[@\\]endcode\b')


def examples(path):
    """(first line number, text) of each example block in the header."""
    block, start = None, 0
    for number, line in enumerate(open(path), 1):
        m = COMMENT.match(line.rstrip('\n'))
        text = m.group(1) if m else None
        if block is None:
            if text is not None and OPEN.match(text.strip()):
                block, start = [], number + 1
        elif text is not None and CLOSE.match(text.strip()):
            yield start, '\n'.join(block) + '\n'
            block = None
        else:
            # A blank line inside a comment block may come without its '*'.
            block.append(text if text is not None else '')
    if block is not None:
        raise SystemExit('%s:%d: @code without @endcode' % (path, start - 1))


def compile_ok(source, cxx, include):
    compiler = os.environ.get('CXX' if cxx else 'CC', 'c++' if cxx else 'cc')
    std = '-std=c++20' if cxx else '-std=c99'
    run = subprocess.run([compiler, std, '-Wall', '-Wextra', '-Werror', '-O2', '-I', include,
                          '-x', 'c++' if cxx else 'c', '-c', '-o', os.devnull, '-'],
                         input=source, capture_output=True, text=True)
    return run.returncode == 0, run.stderr


def forms(header, rel, start, block, cxx):
    """The ways the block may be read: a program, a function body, file scope."""
    includes = [l for l in block.splitlines() if l.lstrip().startswith('#include')]
    # Included lines become empty, so that the line numbers stay right.
    body = ''.join('\n' if l.lstrip().startswith('#include') else l + '\n'
                   for l in block.splitlines())
    head = '#include <%s>\n%s\n' % (header, '\n'.join(includes))
    at = '#line %d "%s"\n' % (start, rel)
    if re.search(r'\bmain\s*\(', block):
        return [('program', head + at + body)]
    void = '' if cxx else 'void'
    function = ('void kelp_example(%s);\nvoid kelp_example(%s)\n{\n' % (void, void)
                + at + body + '}\n')
    return [('function body', head + function), ('file scope', head + at + body)]


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else '.')
    include = os.path.join(root, 'include')
    headers = sorted(glob.glob(os.path.join(include, '*.h*')) +
                     glob.glob(os.path.join(include, 'kelp', '*.h*')))
    failed = count = 0
    for path in headers:
        rel = os.path.relpath(path, root)
        header = os.path.relpath(path, include)
        cxx = path.endswith('.hpp')
        for start, block in examples(path):
            count += 1
            tried = []
            for kind, source in forms(header, rel, start, block, cxx):
                ok, err = compile_ok(source, cxx, include)
                if ok:
                    print('header example %s:%d: compiles as a %s' % (rel, start, kind))
                    break
                tried.append('as a %s:\n%s' % (kind, err))
            else:
                failed += 1
                print('header example %s:%d: FAILS\n%s' % (rel, start, ''.join(tried)))
    if count == 0:
        print('header examples: none found')
        return 1
    print('header examples: %d of %d compile warning-free' % (count - failed, count))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
